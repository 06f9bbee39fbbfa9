#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/instant.h"
#include "events/watchdog_event.h"
#include "watchdog/detection/detection_utils.h"

namespace sidecar {

class EmitGate;

// The checks of one poll. The cycle calls them in a fixed order and stops at the first finding
// the gate allows, so a step is asked only when every earlier one has been passed.
class PollSteps {
 public:
  virtual ~PollSteps() = default;

  // Brings the process table up to date; runs first in every poll.
  virtual void refresh() = 0;
  virtual bool traced() = 0;
  // Why the sidecar cannot trust its view of the machine, or nothing when it can.
  virtual std::optional<std::string_view> blind() = 0;
  virtual std::vector<std::string> vm_indicators() = 0;
  virtual std::vector<SuspiciousProcessPayload> suspicious_processes() = 0;
  virtual std::vector<AiAssistantMatch> ai_assistants() = 0;
  // Not gated: it keeps its own spacing.
  virtual std::optional<HeartbeatPayload> heartbeat() = 0;

  virtual std::uint32_t own_pid() = 0;
  virtual Instant monotonic_now() = 0;
};

// One poll: refresh, then tracer ("debugger"), a view that cannot be trusted ("blind"), virtual
// machine ("vm"), suspicious processes ("suspicious:" + name), AI assistants ("overlay:" + name)
// and the heartbeat. A step with several matches offers them in order until the gate allows
// one, so a cooling match never hides another; a finding the gate refuses is dropped and the
// next match, or step, is tried.
std::optional<WatchdogEvent> run_poll_cycle(PollSteps& steps, EmitGate& gate);

}  // namespace sidecar
