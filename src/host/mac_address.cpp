#include "host/mac_address.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace sidecar {

std::string MacAddress::to_string() const {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(17);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ':';
    text += hex[bytes[i] >> 4];
    text += hex[bytes[i] & 0x0F];
  }
  return text;
}

std::optional<MacAddress> pick_mac_address(const ifaddrs* list) {
  for (const ifaddrs* record = list; record != nullptr; record = record->ifa_next) {
    if (record->ifa_addr == nullptr || record->ifa_addr->sa_family != AF_PACKET) continue;
    sockaddr_ll link{};
    std::memcpy(&link, record->ifa_addr, sizeof link);
    MacAddress address;
    std::copy_n(link.sll_addr, address.bytes.size(), address.bytes.begin());
    // The loopback interface reports an address of zeros.
    if (std::all_of(address.bytes.begin(), address.bytes.end(), [](auto b) { return b == 0; })) {
      continue;
    }
    return address;
  }
  return std::nullopt;
}

std::optional<MacAddress> get_mac_address() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  const auto address = pick_mac_address(list);
  freeifaddrs(list);
  return address;
}

}  // namespace sidecar
