#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/instant.h"
#include "host/platform.h"
#include "host/system.h"
#include "watchdog/detection/emit_gate.h"
#include "watchdog/linux/view_check.h"
#include "watchdog/poll_cycle.h"
#include "watchdog/watchdog.h"

namespace sidecar {

// The Linux watchdog. Its whole memory between polls is the process table, the gate's record of
// allowed findings, which steps wait for their turn, the time of the last heartbeat and what it
// knows of its own view (its PID namespace and the mount table's verdict, watched for changes).
class LinuxWatchdog final : public Watchdog, private PollSteps {
 public:
  LinuxWatchdog();
  // The door for tests: the same watchdog, looking at the machine through `platform`.
  explicit LinuxWatchdog(Platform platform);

  std::optional<WatchdogEvent> poll() override;

 private:
  void refresh() override;
  bool traced() override;
  std::optional<std::string_view> blind() override;
  std::vector<std::string> vm_indicators() override;
  std::vector<SuspiciousProcessPayload> suspicious_processes() override;
  std::vector<AiAssistantMatch> ai_assistants() override;
  bool heartbeat_due() override;
  std::optional<HeartbeatPayload> heartbeat() override;
  std::uint32_t own_pid() override;
  Instant monotonic_now() override;

  Platform platform;
  System system;
  ViewCheck view_check;
  // This poll's own status file, read and parsed once for the tracer and the view checks.
  std::optional<StatusRecord> own_status;
  // Starts ten seconds back, so the first poll that reaches the heartbeat step reports one.
  Instant last_heartbeat;
  EmitGate emit_gate;
  StepTurns turns;
};

}  // namespace sidecar
