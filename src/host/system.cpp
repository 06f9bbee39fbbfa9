#include "host/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "host/files.h"
#include "host/utf8.h"

namespace sidecar {
namespace {

// Larger than any stat record the kernel writes.
constexpr std::size_t stat_buffer_size = 2048;

// Calls `visit` with the number of every subdirectory of `path` whose name is a decimal number
// (symbolic links excluded). False when `path` cannot be listed.
template <typename Visit>
bool for_each_numeric_dir(const std::string& path, Visit visit) {
  const int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(dirent64) std::array<char, 8192> buffer;
  for (;;) {
    const ssize_t got = getdents64(dir, buffer.data(), buffer.size());
    if (got <= 0) break;
    // The kernel fills the buffer while entries remain, so room left for one more record means
    // the listing is complete and the call that would return nothing can be skipped.
    const bool complete = buffer.size() - static_cast<std::size_t>(got) > sizeof(dirent64);
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(got);) {
      const auto* record = reinterpret_cast<const dirent64*>(buffer.data() + offset);
      offset += record->d_reclen;
      bool is_dir = record->d_type == DT_DIR;
      if (record->d_type == DT_UNKNOWN) {
        struct stat info {};
        is_dir =
            fstatat(dir, record->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
      }
      if (!is_dir) continue;
      if (const auto number = parse_digits<Pid>(record->d_name)) visit(*number);
    }
    if (complete) break;
  }
  ::close(dir);
  return true;
}

std::optional<std::string_view> read_from_start(int fd, std::array<char, stat_buffer_size>& into) {
  const ssize_t got = pread(fd, into.data(), into.size(), 0);
  if (got <= 0) return std::nullopt;
  return std::string_view(into.data(), static_cast<std::size_t>(got));
}

void append_number(std::string& out, Pid number) {
  std::array<char, 16> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
  out.append(digits.data(), result.ptr);
}

}  // namespace

const Arguments& Process::arguments() const {
  static const Arguments none;
  return cmdline ? *cmdline : none;
}

System::System(std::filesystem::path proc_root, OpenFileBudget* budget_in)
    : root(proc_root.string()), budget(budget_in) {
  const long ticks = sysconf(_SC_CLK_TCK);
  ticks_per_second = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;
}

System System::new_all(std::filesystem::path proc_root, OpenFileBudget* budget) {
  System system(std::move(proc_root), budget);
  system.refresh_all();
  return system;
}

const Process* System::process(Pid pid) const {
  const auto found = entries.find(pid);
  return found == entries.end() ? nullptr : &found->second;
}

void System::refresh_all() {
  if (!budget) budget = &OpenFileBudget::process_wide();
  ++generation;
  refreshed_count = 0;
  for_each_numeric_dir(root, [this](Pid pid) { refresh_process(pid); });
  sweep_and_order();
}

void System::refresh_process(Pid pid) {
  std::optional<std::int64_t> threads;
  Process* entry = refresh_entry(pid, 0, &threads);
  if (!entry) return;
  // A process with one thread has nothing in its task folder but the main thread.
  if (threads && *threads <= 1) {
    entry->thread_ids.clear();
    return;
  }
  // When the count is what it was and every known thread is still there, no thread can have come
  // or gone, and the task folder need not be listed. A thread that has gone fails to refresh:
  // its kept stat file stops reading, and its folder is no longer under the process.
  if (threads && static_cast<std::size_t>(*threads) == entry->thread_ids.size() + 1) {
    bool all_there = true;
    for (const Pid tid : entry->thread_ids) {
      if (!refresh_entry(tid, pid, nullptr)) all_there = false;
    }
    if (all_there) return;
  }
  std::vector<Pid> found;
  for_each_numeric_dir(entry_dir(pid, 0) + "/task", [this, pid, &found](Pid tid) {
    if (tid == pid) return;
    const auto known = entries.find(tid);
    const bool done = known != entries.end() && known->second.refreshed_in == generation &&
                      known->second.owner == pid;
    if (done || refresh_entry(tid, pid, nullptr)) found.push_back(tid);
  });
  entry->thread_ids = std::move(found);
}

Process* System::refresh_entry(Pid id, Pid owner, std::optional<std::int64_t>* threads) {
  std::array<char, stat_buffer_size> buffer;
  std::optional<std::string_view> text;
  const auto found = entries.find(id);
  Process* existing = found == entries.end() ? nullptr : &found->second;
  if (existing && existing->stat_handle) {
    text = read_from_start(existing->stat_handle.fd(), buffer);
    if (!text) existing->stat_handle.close();
  }
  KeptFile opened;
  if (!text) {
    const int fd = open((entry_dir(id, owner) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    text = read_from_start(fd, buffer);
    if (text && budget->take()) {
      opened = KeptFile(fd, budget);
    } else {
      ::close(fd);
    }
    if (!text) return nullptr;
  }

  std::string lossy;
  if (!is_valid_utf8(*text)) {
    lossy = to_utf8_lossy(*text);
    text = lossy;
  }
  const auto record = parse_stat(*text);
  if (!record) return nullptr;
  if (threads) *threads = record->num_threads;
  const std::uint64_t start = record->start_ticks / ticks_per_second;

  if (existing && existing->owner == owner && existing->start_time_since_boot == start) {
    if (opened) existing->stat_handle = std::move(opened);
    capture(*existing, *record, owner);
    return existing;
  }
  // A new entry, or an identifier taken over by a new process: nothing of the old entry stays.
  Process created;
  created.pid = id;
  created.owner = owner;
  created.name.assign(record->name);
  created.start_time_since_boot = start;
  created.kind = (record->flags & kernel_thread_flag) != 0 ? EntryKind::KernelThread
                 : owner != 0                              ? EntryKind::UserThread
                                                           : EntryKind::ProcessEntry;
  if (opened) {
    created.stat_handle = std::move(opened);
  } else if (existing) {
    created.stat_handle = std::move(existing->stat_handle);
  }
  // The entry it replaces may already count as reached in this refresh.
  if (existing && existing->refreshed_in == generation) --refreshed_count;
  capture(created, *record, owner);
  order_stale = true;
  return &entries.insert_or_assign(id, std::move(created)).first->second;
}

void System::capture(Process& entry, const StatRecord& record, Pid owner) {
  entry.parent_pid = owner != 0 ? std::optional<Pid>(owner) : record.parent_pid;
  entry.state = RunState::from_letter(first_code_point(record.state));
  mark_refreshed(entry);
  if (record.name != entry.name) {
    // A new program image: what was captured of the old one no longer holds.
    entry.name.assign(record.name);
    entry.exe.reset();
    entry.cmdline.reset();
    entry.memo = {};
  }
  // Kernel threads never have a program image, and a dead process will not gain one.
  if (entry.kind == EntryKind::KernelThread || entry.state.kind == RunState::Zombie ||
      entry.state.kind == RunState::Dead) {
    return;
  }
  if (entry.exe && entry.cmdline) return;

  const bool had_exe = entry.exe != nullptr;
  const bool had_cmdline = entry.cmdline != nullptr;
  // The kernel serves a thread's `exe` and `cmdline` from the memory map it shares with its
  // process, so a thread takes what was captured for its process instead of reading them again.
  if (const Process* leader = owner != 0 ? process(owner) : nullptr) {
    if (!entry.exe) entry.exe = leader->exe;
    if (!entry.cmdline) entry.cmdline = leader->cmdline;
  }
  if (!entry.exe || !entry.cmdline) {
    const std::string dir = entry_dir(entry.pid, owner);
    if (!entry.exe) {
      if (auto target = read_link(dir + "/exe")) {
        entry.exe = std::make_shared<const std::string>(std::move(*target));
      }
    }
    // Reading the arguments of a process in uninterruptible sleep can block on its memory lock;
    // they are read on a later refresh instead.
    if (!entry.cmdline && entry.state.kind != RunState::DiskSleep) {
      if (const auto bytes = read_whole_file(dir + "/cmdline")) {
        if (auto arguments = split_cmdline(*bytes); !arguments.empty()) {
          entry.cmdline = std::make_shared<const Arguments>(std::move(arguments));
        }
      }
    }
  }
  if ((entry.exe != nullptr) != had_exe || (entry.cmdline != nullptr) != had_cmdline) {
    entry.memo = {};
  }
}

std::string System::entry_dir(Pid id, Pid owner) const {
  std::string dir = root;
  dir += '/';
  if (owner != 0) {
    append_number(dir, owner);
    dir += "/task/";
  }
  append_number(dir, id);
  return dir;
}

void System::mark_refreshed(Process& entry) {
  if (entry.refreshed_in == generation) return;
  entry.refreshed_in = generation;
  ++refreshed_count;
}

void System::sweep_and_order() {
  // When every entry was reached, nothing has gone and the map need not be walked.
  if (refreshed_count != entries.size()) {
    std::erase_if(entries,
                  [this](const auto& item) { return item.second.refreshed_in != generation; });
    order_stale = true;
  }
  // Start times are fixed for an entry's life, so the order changes only with the set of entries.
  if (!order_stale) return;
  order_stale = false;
  newest_first.clear();
  newest_first.reserve(entries.size());
  for (const auto& [id, entry] : entries) newest_first.push_back(&entry);
  std::sort(newest_first.begin(), newest_first.end(), [](const Process* a, const Process* b) {
    if (a->start_time_since_boot != b->start_time_since_boot) {
      return a->start_time_since_boot > b->start_time_since_boot;
    }
    return a->pid > b->pid;
  });
}

}  // namespace sidecar
