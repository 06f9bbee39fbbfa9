#include "watchdog/linux/view_check.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "host/files.h"
#include "host/system.h"

namespace sidecar {
namespace {

// The rest of the first line that starts with `key`, or nothing.
std::optional<std::string_view> line_value(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.starts_with(key)) return line.substr(key.size());
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return std::nullopt;
}

// The fields of a mountinfo line: the kernel separates them by single spaces and writes spaces
// inside a field as octal escapes. Any other byte, whatever it decodes to, belongs to a field.
std::vector<std::string_view> split_fields(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) pieces.push_back(text.substr(start, i - start));
  }
  return pieces;
}

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The kernel writes space, tab, line feed and backslash in mount points as three octal digits
// after a backslash.
std::string unescape_mount_point(std::string_view text) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
        octal(text[i + 3])) {
      out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                               (text[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
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

bool status_shows_nested_namespace(std::string_view status) {
  const auto value = line_value(status, "NSpid:");
  return value && split_unicode_whitespace(*value).size() > 1;
}

bool status_shows_seccomp_filter(std::string_view status) {
  const auto value = line_value(status, "Seccomp:");
  if (!value) return false;
  const auto pieces = split_unicode_whitespace(*value);
  return !pieces.empty() && pieces.front() == "2";
}

bool mount_table_masks(std::string_view mountinfo, std::string_view proc_path) {
  proc_path = without_trailing_slashes(proc_path);
  int on_root = 0;
  bool masks = false;
  while (!mountinfo.empty() && !masks) {
    const std::size_t end = mountinfo.find('\n');
    const std::string_view line = mountinfo.substr(0, end);
    mountinfo.remove_prefix(end == std::string_view::npos ? mountinfo.size() : end + 1);
    // id parent major:minor root mount-point options [optional fields] - type source super-options
    const auto fields = split_fields(line);
    if (fields.size() < 6) continue;
    const std::string point = unescape_mount_point(fields[4]);
    const std::string_view mount_point = without_trailing_slashes(point);
    if (mount_point == proc_path) {
      ++on_root;
      const auto separator = std::find(fields.begin() + 6, fields.end(), "-");
      const std::size_t after = static_cast<std::size_t>(separator - fields.begin()) + 1;
      const std::string_view type = after < fields.size() ? fields[after] : std::string_view();
      const std::string_view super_options =
          after + 2 < fields.size() ? fields[after + 2] : std::string_view();
      masks = type != "proc" || hides_processes(fields[5]) || hides_processes(super_options);
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
      file_system_type(platform.file_system_type) {
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
      foreign_namespace(other.foreign_namespace),
      mount_table(std::exchange(other.mount_table, -1)),
      masked(other.masked) {}

bool ViewCheck::mounts_masked() {
  const std::string path = proc_root + "/self/mountinfo";
  if (mount_table < 0) {
    mount_table = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (mount_table < 0) return masked = true;
  } else {
    // The kernel flags a change of the mount namespace to a reader that polls its table.
    pollfd watch{mount_table, POLLPRI, 0};
    if (poll(&watch, 1, 0) <= 0 || (watch.revents & (POLLPRI | POLLERR)) == 0) return masked;
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
                                                 const std::optional<std::string>& status) {
  const RefreshFaults& faults = system.faults();
  if (faults.root_unreadable || faults.out_of_descriptors || !status ||
      !system.process(static_cast<Pid>(own_pid))) {
    return unreadable_table_reason;
  }
  if (foreign_namespace || status_shows_nested_namespace(*status)) return pid_namespace_reason;
  // Every full view of Linux shows kernel threads, and they are the oldest entries.
  const auto& entries = system.processes();
  const bool kernel_threads =
      std::any_of(entries.rbegin(), entries.rend(),
                  [](const Process* entry) { return entry->kind == EntryKind::KernelThread; });
  if (mounts_masked() || !kernel_threads) return masked_table_reason;
  if (status_shows_seccomp_filter(*status)) return seccomp_reason;
  return std::nullopt;
}

}  // namespace sidecar
