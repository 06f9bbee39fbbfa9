#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct ifaddrs;

namespace sidecar {

// A network hardware address, in the order the system reports its bytes; the first three are
// the vendor prefix.
struct MacAddress {
  std::array<std::uint8_t, 6> bytes{};

  // Six upper-case two-digit hexadecimal groups joined by colons: 08:00:27:0A:1B:2C.
  std::string to_string() const;
  friend bool operator==(const MacAddress&, const MacAddress&) = default;
};

// The first link-layer address of the list whose first six bytes are not all zero, whatever
// length the record states; interface names and flags play no part.
std::optional<MacAddress> pick_mac_address(const ifaddrs* list);

// A fresh query of the interface list on every call; nothing when the list cannot be obtained or
// holds no usable address.
std::optional<MacAddress> get_mac_address();

}  // namespace sidecar
