#pragma once

#include <functional>
#include <optional>

#include "base/instant.h"
#include "events/watchdog_event.h"

namespace sidecar {

inline constexpr Duration heartbeat_interval{5, 0};

// Whole milliseconds from the Unix epoch to `wall`; 0 for a reading before the epoch.
u128 epoch_millis(Instant wall);

// Whether `heartbeat_interval` has passed since `last_heartbeat` at `now`.
bool heartbeat_due(Instant last_heartbeat, Instant now);

// Nothing until `heartbeat_interval` has passed since `last_heartbeat`. Then `last_heartbeat`
// moves to a fresh monotonic reading and the payload carries the wall-clock time.
std::optional<HeartbeatPayload> heartbeat_step(Instant& last_heartbeat,
                                               const std::function<Instant()>& monotonic_now,
                                               const std::function<Instant()>& wall_now);

}  // namespace sidecar
