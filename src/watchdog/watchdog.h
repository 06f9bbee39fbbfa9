#pragma once

#include <optional>

#include "events/watchdog_event.h"

namespace sidecar {

// A platform watchdog: created once, then polled once per loop turn. Each poll inspects the host
// and returns at most one event, which the caller owns. A poll never fails and writes nothing.
class Watchdog {
 public:
  virtual ~Watchdog() = default;
  virtual std::optional<WatchdogEvent> poll() = 0;
};

}  // namespace sidecar
