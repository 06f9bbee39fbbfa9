#pragma once

#include "base/instant.h"

namespace sidecar {

// The system's monotonic clock (it starts at boot and never goes back).
Instant read_monotonic_clock();
// The real-time clock: time since the Unix epoch, negative when set before it.
Instant read_wall_clock();
// Sleeps one full second on the monotonic clock; a signal that interrupts the sleep does not
// shorten it.
void sleep_one_second();

}  // namespace sidecar
