#include "watchdog/linux/linux_watchdog.h"

#include <utility>

#include "host/files.h"
#include "watchdog/detection/detection_utils.h"
#include "watchdog/linux/heartbeat.h"
#include "watchdog/linux/tracer.h"
#include "watchdog/linux/vm_check.h"

namespace sidecar {

LinuxWatchdog::LinuxWatchdog() : LinuxWatchdog(Platform{}) {}

LinuxWatchdog::LinuxWatchdog(Platform platform_in)
    : platform(std::move(platform_in)),
      system(System::new_all(platform.proc_root, &DetectionUtils::judge())),
      view_check(platform),
      last_heartbeat(seconds_before(platform.monotonic_now(), 10)) {}

std::optional<WatchdogEvent> LinuxWatchdog::poll() {
  return run_poll_cycle(*this, emit_gate, turns);
}

void LinuxWatchdog::refresh() {
  system.refresh_all();
  const auto status = read_whole_file((platform.proc_root / "self" / "status").string());
  own_status = status ? std::optional<StatusRecord>(parse_status(*status)) : std::nullopt;
}

bool LinuxWatchdog::traced() {
  return is_traced(system.process(static_cast<Pid>(platform.own_pid())), own_status);
}

std::optional<std::string_view> LinuxWatchdog::blind() {
  return view_check.check(system, platform.own_pid(), own_status);
}

std::vector<std::string> LinuxWatchdog::vm_indicators() { return sidecar::vm_indicators(platform); }

std::vector<SuspiciousProcessPayload> LinuxWatchdog::suspicious_processes() {
  return DetectionUtils::check_suspicious_processes(system.entries());
}

std::vector<AiAssistantMatch> LinuxWatchdog::ai_assistants() {
  return DetectionUtils::check_ai_assistants(system.entries());
}

bool LinuxWatchdog::heartbeat_due() {
  return sidecar::heartbeat_due(last_heartbeat, platform.monotonic_now());
}

std::optional<HeartbeatPayload> LinuxWatchdog::heartbeat() {
  return heartbeat_step(last_heartbeat, platform.monotonic_now, platform.wall_now);
}

std::uint32_t LinuxWatchdog::own_pid() { return platform.own_pid(); }

Instant LinuxWatchdog::monotonic_now() { return platform.monotonic_now(); }

}  // namespace sidecar
