#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/instant.h"
#include "host/platform.h"
#include "watchdog/linux/view_check.h"

namespace sidecar::testing {

// A physical machine with a fake monotonic clock `mono`: no hypervisor flag, no network card, no
// firmware files, and the process table of `proc_root`, taken to be proc in the initial PID
// namespace with a mount table that never changes. Tests spoil single members.
inline Platform physical_machine(const std::filesystem::path& proc_root, Instant& mono) {
  Platform platform;
  platform.file_system_type = [](const std::string&) { return proc_super_magic; };
  platform.inode_of = [](const std::string&) { return initial_pid_namespace; };
  platform.mount_table_changed = [](int) { return false; };
  platform.own_pid = [] { return 42U; };
  platform.proc_root = proc_root;
  platform.sys_root = proc_root / "no-sys";
  platform.cpuid = [](std::uint32_t) { return std::optional<CpuidLeaf>(CpuidLeaf{1, 0, 0, 0}); };
  platform.mac_address = [] { return std::optional<MacAddress>(); };
  platform.monotonic_now = [&mono] { return mono; };
  platform.wall_now = [] { return Instant{1'765'319'742, 123'000'000}; };
  return platform;
}

}  // namespace sidecar::testing
