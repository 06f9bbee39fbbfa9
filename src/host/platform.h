#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/instant.h"
#include "host/clock.h"
#include "host/cpuid.h"
#include "host/files.h"
#include "host/mac_address.h"
#include "host/process_control.h"

namespace sidecar {

// The machine as a poll sees it. Every member defaults to the real source; tests swap single
// members for fixtures and fake clocks.
struct Platform {
  std::filesystem::path proc_root = "/proc";
  std::filesystem::path sys_root = "/sys";
  std::function<Instant()> monotonic_now = read_monotonic_clock;
  std::function<Instant()> wall_now = read_wall_clock;
  std::function<std::uint32_t()> own_pid = read_own_pid;
  std::function<std::optional<CpuidLeaf>(std::uint32_t)> cpuid = execute_cpuid;
  std::function<std::optional<MacAddress>()> mac_address = get_mac_address;
  // What a path's file system is, and which inode a path leads to: fixtures stand in for proc
  // and its namespace links.
  std::function<std::optional<std::uint64_t>(const std::string&)> file_system_type =
      read_file_system_type;
  std::function<std::optional<std::uint64_t>(const std::string&)> inode_of = read_inode;
  // Whether the mount table open at a descriptor has changed since it was last read.
  std::function<bool(int)> mount_table_changed = sidecar::mount_table_changed;
};

}  // namespace sidecar
