#include "watchdog/linux/heartbeat.h"

namespace sidecar {

u128 epoch_millis(Instant wall) {
  if (wall.sec < 0) return 0;
  return static_cast<u128>(wall.sec) * 1000 + static_cast<u128>(wall.nsec / 1'000'000);
}

bool heartbeat_due(Instant last_heartbeat, Instant now) {
  return elapsed_since(last_heartbeat, now) >= heartbeat_interval;
}

std::optional<HeartbeatPayload> heartbeat_step(Instant& last_heartbeat,
                                               const std::function<Instant()>& monotonic_now,
                                               const std::function<Instant()>& wall_now) {
  if (!heartbeat_due(last_heartbeat, monotonic_now())) return std::nullopt;
  // The next interval counts from the moment the heartbeat is made, not from when it fell due.
  last_heartbeat = monotonic_now();
  return HeartbeatPayload{epoch_millis(wall_now())};
}

}  // namespace sidecar
