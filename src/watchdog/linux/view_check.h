#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/platform.h"
#include "host/proc_parse.h"

namespace sidecar {

class System;

// Why the sidecar cannot trust what it sees of the machine. A table that looks clean proves
// nothing when the sidecar is shown only part of it, so each of these is a finding of its own.
inline constexpr std::string_view unreadable_table_reason =
    "Process cannot read the process table (proc)";
inline constexpr std::string_view pid_namespace_reason =
    "Process runs in a separate PID namespace (ns/pid)";
inline constexpr std::string_view masked_table_reason = "Process table is masked (proc mounts)";
inline constexpr std::string_view seccomp_reason =
    "Process runs under a seccomp filter (status/Seccomp)";

// The PID namespace every process starts in; its inode number is fixed by the kernel.
inline constexpr std::uint64_t initial_pid_namespace = 4026531836;
// statfs's magic number of the proc file system.
inline constexpr std::uint64_t proc_super_magic = 0x9fa0;

// Whether a mount table (the text of a mountinfo file) hides processes from a reader of the proc
// file system mounted at `proc_path`: nothing or something other than proc mounted there, more
// than one mount there, a proc mount with hidepid or subset, or anything mounted on or under a
// process's folder. Mounts elsewhere under it (binfmt_misc, say) are the system's own.
bool mount_table_masks(std::string_view mountinfo, std::string_view proc_path);

// The view check of the poll. It watches the mount table for changes through a descriptor kept
// open for the sidecar's life (the platform's `mount_table_changed`), so a steady poll costs one
// poll(2) call beside the status file that the tracer check reads anyway.
class ViewCheck {
 public:
  explicit ViewCheck(const Platform& platform);
  ~ViewCheck();
  ViewCheck(ViewCheck&& other) noexcept;
  ViewCheck& operator=(ViewCheck&&) = delete;
  ViewCheck(const ViewCheck&) = delete;
  ViewCheck& operator=(const ViewCheck&) = delete;

  // The reason of the first condition that holds, or nothing when the view can be trusted.
  // `status` is this poll's own status file, nothing when it could not be read.
  std::optional<std::string_view> check(const System& system, std::uint32_t own_pid,
                                        const std::optional<StatusRecord>& status);

 private:
  // The verdict on the mount table, worked out again when it has changed since the last look.
  bool mounts_masked();

  std::string proc_root;
  std::function<std::optional<std::uint64_t>(const std::string&)> file_system_type;
  std::function<bool(int)> mount_table_changed;
  // The namespace of a process never changes: read once.
  bool foreign_namespace = false;
  int mount_table = -1;
  bool masked = true;
};

}  // namespace sidecar
