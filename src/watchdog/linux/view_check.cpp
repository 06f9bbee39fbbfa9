#include "watchdog/linux/view_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "base/lines.h"
#include "host/files.h"
#include "host/system.h"

namespace sidecar {
namespace {

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a comma-separated option list restricts what a proc mount shows.
bool hides_processes(std::string_view options) {
  while (!options.empty()) {
    const std::size_t end = options.find(',');
    const std::string_view option = options.substr(0, end);
    if (option.starts_with("subset=")) return true;
    if (option.starts_with("hidepid=")) {
      const std::string_view value = option.substr(8);
      if (value != "0" && value != "off") return true;
    }
    if (end == std::string_view::npos) break;
    options.remove_prefix(end + 1);
  }
  return false;
}

std::string_view without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

bool mount_table_masks(std::string_view mountinfo, std::string_view proc_path) {
  proc_path = without_trailing_slashes(proc_path);
  int on_root = 0;
  bool masks = false;
  while (!mountinfo.empty() && !masks) {
    const auto mount = parse_mount_line(take_line(mountinfo));
    if (!mount) continue;
    const std::string_view mount_point = without_trailing_slashes(mount->mount_point);
    if (mount_point == proc_path) {
      ++on_root;
      masks = mount->type != "proc" || hides_processes(mount->options) ||
              hides_processes(mount->super_options);
      continue;
    }
    if (!mount_point.starts_with(proc_path) || mount_point.size() <= proc_path.size()) continue;
    std::string_view rest = mount_point.substr(proc_path.size());
    if (proc_path != "/") {
      if (rest.front() != '/') continue;
      rest.remove_prefix(1);
    }
    const std::string_view folder = rest.substr(0, rest.find('/'));
    masks = all_digits(folder) || folder == "self" || folder == "thread-self";
  }
  return masks || on_root != 1;
}

ViewCheck::ViewCheck(const Platform& platform)
    : proc_root(without_trailing_slashes(platform.proc_root.string())),
      file_system_type(platform.file_system_type),
      mount_table_changed(platform.mount_table_changed) {
  const auto pid_namespace = platform.inode_of(proc_root + "/self/ns/pid");
  foreign_namespace = pid_namespace && *pid_namespace != initial_pid_namespace;
  mounts_masked();
}

ViewCheck::~ViewCheck() {
  if (mount_table >= 0) close(mount_table);
}

ViewCheck::ViewCheck(ViewCheck&& other) noexcept
    : proc_root(std::move(other.proc_root)),
      file_system_type(std::move(other.file_system_type)),
      mount_table_changed(std::move(other.mount_table_changed)),
      foreign_namespace(other.foreign_namespace),
      mount_table(std::exchange(other.mount_table, -1)),
      masked(other.masked) {}

bool ViewCheck::mounts_masked() {
  const std::string path = proc_root + "/self/mountinfo";
  if (mount_table < 0) {
    mount_table = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (mount_table < 0) return masked = true;
  } else if (!mount_table_changed(mount_table)) {
    return masked;
  }
  const auto text = lseek(mount_table, 0, SEEK_SET) == 0 ? read_rest(mount_table) : std::nullopt;
  const auto is_proc = [this](const std::string& where) {
    return file_system_type(where) == std::optional<std::uint64_t>(proc_super_magic);
  };
  // A table read from anything but proc itself was put there to be read.
  masked = !text || mount_table_masks(*text, proc_root) || !is_proc(proc_root) || !is_proc(path);
  return masked;
}

std::optional<std::string_view> ViewCheck::check(const System& system, std::uint32_t own_pid,
                                                 const std::optional<StatusRecord>& status) {
  const RefreshFaults& faults = system.faults();
  if (faults.root_unreadable || faults.out_of_descriptors || faults.listing_refused || !status ||
      !system.process(static_cast<Pid>(own_pid))) {
    return unreadable_table_reason;
  }
  if (foreign_namespace || status->namespace_ids > 1) return pid_namespace_reason;
  // Every full view of Linux shows kernel threads, and they are the oldest entries.
  const auto& entries = system.entries();
  const bool kernel_threads =
      std::any_of(entries.rbegin(), entries.rend(),
                  [](const Process* entry) { return entry->kind == EntryKind::KernelThread; });
  if (mounts_masked() || !kernel_threads) return masked_table_reason;
  if (status->seccomp_filter) return seccomp_reason;
  return std::nullopt;
}

}  // namespace sidecar
