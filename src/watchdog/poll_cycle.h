#pragma once

#include <array>
#include <cstddef>
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

// The checks of one poll, asked in a fixed order on every poll.
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
  // Not gated: it keeps its own spacing. `heartbeat_due` only looks; `heartbeat` makes one and
  // starts the next interval.
  virtual bool heartbeat_due() = 0;
  virtual std::optional<HeartbeatPayload> heartbeat() = 0;

  virtual std::uint32_t own_pid() = 0;
  virtual Instant monotonic_now() = 0;
};

// Which steps of the poll have had something to report that was not served, and since which
// poll: the step waiting longest is served next, so that no stream of findings from one step
// keeps another's out, nor the heartbeat.
class StepTurns {
 public:
  static constexpr std::size_t step_count = 6;  // tracer, view, vm, processes, assistants, beat

  // The step to serve this poll among those that have something (`ready`): the one waiting
  // longest, earlier steps first among equals; nothing when none is ready. Every other ready step
  // waits on; a step that is not ready waits no more.
  std::optional<std::size_t> pick(const std::array<bool, step_count>& ready);

 private:
  std::uint64_t poll = 0;
  std::array<std::optional<std::uint64_t>, step_count> waiting_since{};
};

// One poll: refresh, then tracer ("debugger"), a view that cannot be trusted ("blind"), virtual
// machine ("vm"), suspicious processes ("suspicious:" + name), AI assistants ("overlay:" + name)
// and the heartbeat. Every step is asked; a step with several matches offers the first that the
// gate would allow, so a cooling match never hides another. One of the steps that have something
// is served, as `turns` decides, and only its finding is recorded by the gate.
std::optional<WatchdogEvent> run_poll_cycle(PollSteps& steps, EmitGate& gate, StepTurns& turns);

}  // namespace sidecar
