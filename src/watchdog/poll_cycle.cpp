#include "watchdog/poll_cycle.h"

#include <string_view>
#include <utility>

#include "watchdog/detection/emit_gate.h"

namespace sidecar {
namespace {

constexpr float vm_confidence = 0.8F;

enum Step : std::size_t {
  tracer_step,
  view_step,
  vm_step,
  process_step,
  assistant_step,
  beat_step
};

StealthOverlayPayload overlay_payload(AiAssistantMatch match) {
  StealthOverlayPayload payload;
  payload.severity = "high";
  payload.reason = "running process matches AI-assistant denylist: '" + match.name + "'";
  payload.owner_name = std::move(match.name);
  payload.owner_pid = match.pid;
  payload.window_layer = 0;
  payload.window_alpha = 1.0F;
  payload.matched_list = "denylist";
  payload.capture_excluded = false;
  payload.method = "process_name";
  return payload;
}

// A step's finding that the gate would allow now, with its key.
struct Candidate {
  std::string key;
  WatchdogEvent event;
};

// The first of `matches` whose key the gate would allow.
template <typename Match, typename Key, typename Make>
std::optional<Candidate> first_allowed(std::vector<Match>& matches, const EmitGate& gate,
                                       Instant now, Key key_of, Make make) {
  for (auto& match : matches) {
    std::string key = key_of(match);
    if (gate.would_allow(key, now)) return Candidate{std::move(key), make(std::move(match))};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> StepTurns::pick(const std::array<bool, step_count>& ready) {
  ++poll;
  std::optional<std::size_t> chosen;
  for (std::size_t step = 0; step < step_count; ++step) {
    if (!ready[step]) {
      waiting_since[step].reset();
      continue;
    }
    if (!waiting_since[step]) waiting_since[step] = poll;
    if (!chosen || *waiting_since[step] < *waiting_since[*chosen]) chosen = step;
  }
  if (chosen) waiting_since[*chosen].reset();
  return chosen;
}

std::optional<WatchdogEvent> run_poll_cycle(PollSteps& steps, EmitGate& gate, StepTurns& turns) {
  steps.refresh();
  const Instant now = steps.monotonic_now();
  const auto if_allowed = [&](bool found, std::string key, auto make) -> std::optional<Candidate> {
    if (!found || !gate.would_allow(key, now)) return std::nullopt;
    return Candidate{std::move(key), make()};
  };

  std::array<std::optional<Candidate>, StepTurns::step_count> candidates;
  candidates[tracer_step] = if_allowed(steps.traced(), "debugger", [&]() -> WatchdogEvent {
    return SuspiciousProcessDetected{
        {steps.own_pid(), "self", "Process is being traced (status/TracerPid)"}};
  });
  const auto reason = steps.blind();
  candidates[view_step] = if_allowed(reason.has_value(), "blind", [&]() -> WatchdogEvent {
    return SuspiciousProcessDetected{{steps.own_pid(), "self", std::string(*reason)}};
  });
  auto indicators = steps.vm_indicators();
  candidates[vm_step] = if_allowed(!indicators.empty(), "vm", [&]() -> WatchdogEvent {
    return VmDetected{{true, vm_confidence, std::move(indicators)}};
  });
  auto records = steps.suspicious_processes();
  candidates[process_step] = first_allowed(
      records, gate, now, [](const auto& record) { return "suspicious:" + record.name; },
      [](SuspiciousProcessPayload record) -> WatchdogEvent {
        return SuspiciousProcessDetected{std::move(record)};
      });
  auto matches = steps.ai_assistants();
  candidates[assistant_step] = first_allowed(
      matches, gate, now, [](const auto& match) { return "overlay:" + match.name; },
      [](AiAssistantMatch match) -> WatchdogEvent {
        return StealthOverlayDetected{overlay_payload(std::move(match))};
      });

  std::array<bool, StepTurns::step_count> ready{};
  for (std::size_t step = 0; step < beat_step; ++step) ready[step] = candidates[step].has_value();
  ready[beat_step] = steps.heartbeat_due();
  const auto chosen = turns.pick(ready);
  if (!chosen) return std::nullopt;
  if (*chosen == beat_step) {
    if (auto beat = steps.heartbeat()) return Heartbeat{*beat};
    return std::nullopt;
  }
  Candidate& served = *candidates[*chosen];
  gate.allow(served.key, now);
  return std::move(served.event);
}

}  // namespace sidecar
