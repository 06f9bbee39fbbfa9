#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/instant.h"

namespace sidecar {

// Per-finding cooldown. A key is allowed when it has never been allowed or its last allowance is
// at least `cooldown` old; an allowance is recorded at once, a refusal leaves no trace. Keys are
// exact byte strings.
class EmitGate {
 public:
  static constexpr Duration default_cooldown{60, 0};

  explicit EmitGate(Duration cooldown = default_cooldown);

  // `now` is one reading of the monotonic clock, used both to compare and to record.
  bool allow(std::string_view key, Instant now);
  // What `allow` would answer, recording nothing.
  bool would_allow(std::string_view key, Instant now) const;

 private:
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const {
      return std::hash<std::string_view>{}(key);
    }
  };

  std::unordered_map<std::string, Instant, KeyHash, std::equal_to<>> last_allowed;
  Duration cooldown;
};

}  // namespace sidecar
