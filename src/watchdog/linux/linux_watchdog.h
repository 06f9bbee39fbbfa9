#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/instant.h"
#include "host/platform.h"
#include "host/system.h"
#include "watchdog/detection/emit_gate.h"
#include "watchdog/poll_cycle.h"
#include "watchdog/watchdog.h"

namespace sidecar {

// The Linux watchdog. Its whole memory between polls is the process table, the gate's record of
// allowed findings and the time of the last heartbeat.
class LinuxWatchdog final : public Watchdog, private PollSteps {
 public:
  LinuxWatchdog();
  // The door for tests: the same watchdog, looking at the machine through `platform`.
  explicit LinuxWatchdog(Platform platform);

  std::optional<WatchdogEvent> poll() override;

 private:
  void refresh() override;
  bool traced() override;
  std::vector<std::string> vm_indicators() override;
  std::vector<SuspiciousProcessPayload> suspicious_processes() override;
  std::optional<AiAssistantMatch> ai_assistant() override;
  std::optional<HeartbeatPayload> heartbeat() override;
  std::uint32_t own_pid() override;
  Instant monotonic_now() override;

  Platform platform;
  System system;
  // Starts ten seconds back, so the first poll that reaches the heartbeat step reports one.
  Instant last_heartbeat;
  EmitGate emit_gate;
};

}  // namespace sidecar
