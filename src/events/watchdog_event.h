#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sidecar {

// Heartbeat timestamps are unsigned 128-bit on the wire; the values produced fit in 64 bits, but
// the writer handles the whole range.
__extension__ using u128 = unsigned __int128;

struct ScreenSharePayload {
  bool is_active = false;
  std::string method;
};

struct VmPayload {
  bool is_vm = false;
  float confidence = 0.0F;
  std::vector<std::string> indicators;
};

struct SuspiciousProcessPayload {
  std::uint32_t pid = 0;
  std::string name;
  std::string reason;

  friend bool operator==(const SuspiciousProcessPayload&,
                         const SuspiciousProcessPayload&) = default;
};

struct StealthOverlayPayload {
  std::string severity;
  std::string owner_name;
  std::uint32_t owner_pid = 0;
  std::optional<std::string> bundle_id;
  std::int64_t window_layer = 0;
  float window_alpha = 0.0F;
  std::string matched_list;
  bool capture_excluded = false;
  std::string method;
  std::string reason;
  std::optional<std::string> os_note;
};

struct HeartbeatPayload {
  u128 timestamp = 0;
};

// The six kinds of event, in their fixed declaration order. Each owns its payload.
struct ScreenShareDetected {
  ScreenSharePayload payload;
};
struct VmDetected {
  VmPayload payload;
};
struct SuspiciousProcessDetected {
  SuspiciousProcessPayload payload;
};
struct StealthOverlayDetected {
  StealthOverlayPayload payload;
};
struct Heartbeat {
  HeartbeatPayload payload;
};
struct Error {
  std::string message;
};

using WatchdogEvent = std::variant<ScreenShareDetected, VmDetected, SuspiciousProcessDetected,
                                   StealthOverlayDetected, Heartbeat, Error>;

}  // namespace sidecar
