#include "watchdog/detection/emit_gate.h"

namespace sidecar {

EmitGate::EmitGate(Duration cooldown_period) : cooldown(cooldown_period) {}

bool EmitGate::would_allow(std::string_view key, Instant now) const {
  const auto found = last_allowed.find(key);
  return found == last_allowed.end() || elapsed_since(found->second, now) >= cooldown;
}

bool EmitGate::allow(std::string_view key, Instant now) {
  const auto found = last_allowed.find(key);
  if (found == last_allowed.end()) {
    last_allowed.emplace(std::string(key), now);
    return true;
  }
  if (elapsed_since(found->second, now) < cooldown) return false;
  found->second = now;
  return true;
}

}  // namespace sidecar
