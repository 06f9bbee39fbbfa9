#include "watchdog/poll_cycle.h"

#include <string_view>
#include <utility>

#include "watchdog/detection/emit_gate.h"

namespace sidecar {
namespace {

constexpr float vm_confidence = 0.8F;

bool gate_allows(PollSteps& steps, EmitGate& gate, std::string_view key) {
  return gate.allow(key, steps.monotonic_now());
}

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

}  // namespace

std::optional<WatchdogEvent> run_poll_cycle(PollSteps& steps, EmitGate& gate) {
  steps.refresh();

  if (steps.traced() && gate_allows(steps, gate, "debugger")) {
    return SuspiciousProcessDetected{
        {steps.own_pid(), "self", "Process is being traced (status/TracerPid)"}};
  }

  if (const auto reason = steps.blind(); reason && gate_allows(steps, gate, "blind")) {
    return SuspiciousProcessDetected{{steps.own_pid(), "self", std::string(*reason)}};
  }

  if (auto indicators = steps.vm_indicators();
      !indicators.empty() && gate_allows(steps, gate, "vm")) {
    return VmDetected{{true, vm_confidence, std::move(indicators)}};
  }

  for (auto& record : steps.suspicious_processes()) {
    if (gate_allows(steps, gate, "suspicious:" + record.name)) {
      return SuspiciousProcessDetected{std::move(record)};
    }
  }

  for (auto& match : steps.ai_assistants()) {
    if (gate_allows(steps, gate, "overlay:" + match.name)) {
      return StealthOverlayDetected{overlay_payload(std::move(match))};
    }
  }

  if (auto beat = steps.heartbeat()) return Heartbeat{*beat};
  return std::nullopt;
}

}  // namespace sidecar
