#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>

#include "host/clock.h"
#include "host/process_control.h"
#include "watchdog/event_loop.h"
#include "watchdog/linux/linux_watchdog.h"

namespace {

constexpr int fatal_status = 101;
constexpr int stdout_fd = 1;
constexpr int stderr_fd = 2;

[[noreturn]] void die(std::string_view message) {
  sidecar::write_all(stderr_fd, std::string(message) + "\n");
  std::_Exit(fatal_status);
}

void announce(std::string_view prefix, std::string_view message) {
  if (!sidecar::write_all(stderr_fd, std::string(prefix) + std::string(message) + "\n")) {
    const std::string reason = std::error_code(errno, std::system_category()).message();
    die("failed printing to stderr: " + reason);
  }
}

}  // namespace

int main() {
  const std::int32_t parent = sidecar::read_parent_pid();
  sidecar::end_on_termination_signals();
  sidecar::end_with_parent(parent);
  sidecar::reopen_missing_standard_descriptors();
  sidecar::ignore_sigpipe();
  try {
    announce("[sidecar] ", "Starting Watchdog Sidecar...");
    sidecar::LinuxWatchdog watchdog;
    announce("[linux-watchdog] ", "LinuxWatchdog started monitoring.");
    sidecar::run_event_loop(
        watchdog, [](std::string_view line) { sidecar::write_all(stdout_fd, line); },
        sidecar::sleep_one_second);
  } catch (const std::exception& error) {
    die(std::string("fatal error: ") + error.what());
  } catch (...) {
    die("fatal error");
  }
}
