#include "host/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <utility>

#include "base/numbers.h"
#include "base/utf8.h"
#include "host/files.h"

namespace sidecar {
namespace {

// Larger than any stat record the kernel writes.
constexpr std::size_t stat_buffer_size = 2048;
using StatBuffer = std::array<char, stat_buffer_size>;

// Calls `visit` with the number of every subdirectory of the open directory `dir` whose name is
// a decimal number (symbolic links excluded), from the start of the listing. False when it cannot
// be listed.
template <typename Visit>
bool list_numeric_dirs(int dir, Visit visit) {
  if (lseek(dir, 0, SEEK_SET) != 0) return false;
  alignas(dirent64) std::array<char, 8192> buffer;
  for (;;) {
    const ssize_t got = getdents64(dir, buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) break;
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
  return true;
}

constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int file_flags = O_RDONLY | O_CLOEXEC;

std::optional<std::string_view> read_from_start(int fd, StatBuffer& into) {
  const ssize_t got = pread(fd, into.data(), into.size(), 0);
  if (got <= 0) return std::nullopt;
  return std::string_view(into.data(), static_cast<std::size_t>(got));
}

// A stat record, parsed from text made valid UTF-8 in `lossy` when it is not.
std::optional<StatRecord> parse_stat_lossy(std::string_view text, std::string& lossy) {
  if (!is_valid_utf8(text)) {
    lossy = to_utf8_lossy(text);
    text = lossy;
  }
  return parse_stat(text);
}

EntryKind kind_of(const StatRecord& record, bool thread) {
  if ((record.flags & kernel_thread_flag) != 0) return EntryKind::KernelThread;
  return thread ? EntryKind::UserThread : EntryKind::ProcessEntry;
}

bool layout_hidden(const StatRecord::Layout& layout) {
  return std::all_of(layout.begin(), layout.end(), [](std::uint64_t field) { return field == 0; });
}

void append_number(std::string& out, Pid number) {
  std::array<char, 16> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
  out.append(digits.data(), result.ptr);
}

}  // namespace

System::System(std::filesystem::path proc_root, const EntryJudge* judge_in,
               OpenFileBudget* budget_in)
    : root(proc_root.string()), judge(judge_in), budget(budget_in) {
  const long ticks = sysconf(_SC_CLK_TCK);
  ticks_per_second = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;
}

System System::new_all(std::filesystem::path proc_root, const EntryJudge* judge,
                       OpenFileBudget* budget) {
  System system(std::move(proc_root), judge, budget);
  system.refresh_all();
  return system;
}

const Process* System::process(Pid pid) const {
  const auto found = entries.find(pid);
  return found == entries.end() ? nullptr : &found->second.view;
}

void System::refresh_all() {
  if (!budget) budget = &OpenFileBudget::process_wide();
  ++generation;
  refresh_faults = {};
  refreshed_processes = 0;
  // Threads found by the last refresh have had time to name themselves.
  std::vector<Pid> unsettled = std::exchange(unsettled_threads, {});
  uptime_read = false;
  if (const int dir = open_file(root, dir_flags); dir >= 0) {
    if (!list_numeric_dirs(dir, [this](Pid pid) { refresh_process(pid); })) {
      refresh_faults.root_unreadable = true;
    }
    ::close(dir);
  } else {
    refresh_faults.root_unreadable = true;
  }
  for (const Pid tid : unsettled) {
    const auto found = entries.find(tid);
    if (found != entries.end() && found->second.name_unsettled) settle_thread_name(found->second);
  }
  sweep_and_order();
}

void System::refresh_process(Pid pid) {
  std::optional<std::int64_t> threads;
  Entry* entry = read_process(pid, &threads);
  if (!entry) return;
  // A process with one thread has nothing in its task folder but the main thread.
  if (threads && *threads <= 1) {
    if (!entry->thread_ids.empty()) {
      erase_threads(*entry);
      entry->thread_ids.clear();
    }
    return;
  }
  // With the count unchanged a thread can only have replaced another: the folder is listed on a
  // slow cadence to find those.
  const bool count_unchanged =
      threads && static_cast<std::size_t>(*threads) == entry->thread_ids.size() + 1;
  if (count_unchanged && generation < entry->next_listing) return;
  list_threads(*entry);
}

System::Entry* System::read_process(Pid pid, std::optional<std::int64_t>* threads) {
  StatBuffer buffer;
  std::optional<std::string_view> text;
  const auto found = entries.find(pid);
  Entry* existing = found == entries.end() ? nullptr : &found->second;
  if (existing && existing->stat_handle) {
    text = read_from_start(existing->stat_handle.fd(), buffer);
    // A kept stat file stops reading once its process has gone.
    if (!text) existing->stat_handle.close();
  }
  KeptFile opened;
  if (!text) {
    // The main thread's record holds what the process's does for the fields read here, and costs
    // the kernel less: it does not sum up the other threads.
    int fd = open_file(entry_dir(pid, pid) + "/stat", file_flags);
    if (fd < 0) fd = open_file(entry_dir(pid, 0) + "/stat", file_flags);
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
  const auto record = parse_stat_lossy(*text, lossy);
  if (!record) return nullptr;
  *threads = record->num_threads;
  const std::uint64_t start = record->start_ticks / ticks_per_second;

  if (existing && existing->owner == 0 && existing->view.start_time_since_boot == start) {
    if (opened) existing->stat_handle = std::move(opened);
    update_process(*existing, *record, false);
    return existing;
  }
  // A new process, or an identifier taken over by a new one: nothing of the old entry stays.
  Entry created;
  created.view.pid = pid;
  created.view.name.assign(record->name);
  created.view.start_time_since_boot = start;
  created.view.kind = kind_of(*record, false);
  created.stat_handle = opened     ? std::move(opened)
                        : existing ? std::move(existing->stat_handle)
                                   : KeptFile();
  // Captures of hidden images are spread over the refreshes.
  created.next_capture = generation + static_cast<std::uint64_t>(pid) % hidden_image_period;
  if (existing && existing->owner == 0) {
    erase_threads(*existing);
  } else {
    ++process_count;
  }
  order_stale = true;
  Entry& entry = entries.insert_or_assign(pid, std::move(created)).first->second;
  update_process(entry, *record, true);
  return &entry;
}

void System::update_process(Entry& entry, const StatRecord& record, bool created) {
  Process& view = entry.view;
  view.parent_pid = record.parent_pid;
  view.state = RunState::from_letter(first_code_point(record.state));
  if (entry.refreshed_in != generation) {
    entry.refreshed_in = generation;
    ++refreshed_processes;
  }
  const bool name_changed = record.name != view.name;
  if (name_changed) view.name.assign(record.name);

  bool image_changed = false;
  // Kernel threads never have a program image, and a dead process will not gain one. A process
  // whose main thread has ended while others run is a zombie that still runs its program: it
  // shows its image only through those threads.
  const RunState::Kind state = view.state.kind;
  const bool ended_leader = state == RunState::Zombie && record.num_threads &&
                            *record.num_threads > 1 && !entry.thread_ids.empty();
  if (view.kind != EntryKind::KernelThread && state != RunState::Dead &&
      (state != RunState::Zombie || ended_leader)) {
    // A new layout is a new program image; one the kernel now hides is not.
    const bool new_image =
        name_changed || (!layout_hidden(record.layout) && record.layout != entry.layout);
    entry.layout = record.layout;
    if (new_image) {
      // What was captured of the old image no longer holds.
      entry.args_captured = false;
      entry.exe_captured = false;
    }
    // Without arguments the image is captured again on every refresh; a complete one only when
    // the kernel hides its layout, on a rotation, or while its path is unreadable.
    const bool due =
        !entry.args_captured ||
        ((layout_hidden(entry.layout) || !entry.exe_captured) && generation >= entry.next_capture);
    // Reading the arguments of a process in uninterruptible sleep can block on its memory lock;
    // they are read on a later refresh instead.
    if (due && state != RunState::DiskSleep) {
      image_changed = capture(entry, ended_leader ? entry_dir(entry.thread_ids.front(), view.pid)
                                                  : entry_dir(view.pid, 0));
    }
  }
  if (created || name_changed || image_changed) judge_entry(entry, nullptr);
  if (image_changed) {
    for (const Pid tid : entry.thread_ids) {
      if (Entry* thread = owned_thread(view.pid, tid)) judge_entry(*thread, &entry);
    }
  }
}

bool System::capture(Entry& entry, const std::string& dir) {
  const auto exe = read_link(dir + "/exe");
  Arguments arguments;
  if (const int fd = open_file(dir + "/cmdline", file_flags); fd >= 0) {
    if (const auto bytes = read_rest(fd)) arguments = split_cmdline(*bytes);
    ::close(fd);
  }
  // A later capture of the same image that finds nothing (the process is exiting) keeps what
  // the earlier one found.
  if (arguments.empty() && entry.args_captured) return false;
  entry.next_capture = generation + hidden_image_period;
  entry.args_captured = !arguments.empty();
  entry.exe_captured = exe.has_value();
  const ImageVerdict verdict =
      judge ? judge->judge_image(exe ? &*exe : nullptr, arguments) : ImageVerdict();
  if (entry.image == verdict) return false;
  entry.image = verdict;
  return true;
}

void System::list_threads(Entry& process) {
  const Pid pid = process.view.pid;
  process.next_listing = generation + thread_listing_period;
  std::vector<Pid> found;
  found.reserve(process.thread_ids.size() + 1);
  const auto visit = [&](Pid tid) {
    if (tid == pid) return;
    if (owned_thread(pid, tid) || add_thread(process, tid)) found.push_back(tid);
  };
  // The task folder is kept open like the stat file, while the budget allows.
  if (!process.task_dir || !list_numeric_dirs(process.task_dir.fd(), visit)) {
    process.task_dir.close();
    found.clear();
    const int dir = open_file(entry_dir(pid, 0) + "/task", dir_flags);
    if (dir < 0) return;
    list_numeric_dirs(dir, visit);
    if (budget->take()) {
      process.task_dir = KeptFile(dir, budget);
    } else {
      ::close(dir);
    }
  }
  std::sort(found.begin(), found.end());
  // Threads that have gone since the last listing leave the table now.
  std::vector<Pid> gone;
  std::set_difference(process.thread_ids.begin(), process.thread_ids.end(), found.begin(),
                      found.end(), std::back_inserter(gone));
  for (const Pid tid : gone) erase_thread(pid, tid);
  process.thread_ids = std::move(found);
}

bool System::add_thread(Entry& process, Pid tid) {
  StatBuffer buffer;
  const auto text = read_small_file(entry_dir(tid, process.view.pid) + "/stat", buffer);
  if (!text) return false;
  std::string lossy;
  const auto record = parse_stat_lossy(*text, lossy);
  if (!record) return false;
  const auto known = entries.find(tid);
  if (known != entries.end() && known->second.owner == 0) {
    // A process entry under this identifier that this refresh has read is live: a thread
    // cannot have it too. One it has not read is the leftover of a process that has gone.
    if (known->second.refreshed_in == generation) return false;
    erase_threads(known->second);
    --process_count;
  }
  Entry thread;
  thread.view.pid = tid;
  thread.view.parent_pid = process.view.pid;
  thread.view.name.assign(record->name);
  thread.view.state = RunState::from_letter(first_code_point(record->state));
  thread.view.kind = kind_of(*record, true);
  thread.view.start_time_since_boot = record->start_ticks / ticks_per_second;
  thread.owner = process.view.pid;
  // Threads name themselves as they start: one that started a second or more ago has done so.
  if (!uptime_read) {
    uptime = read_uptime();
    uptime_read = true;
  }
  thread.name_unsettled = !uptime || *uptime < thread.view.start_time_since_boot + 2;
  if (thread.name_unsettled) unsettled_threads.push_back(tid);
  judge_entry(thread, &process);
  entries.insert_or_assign(tid, std::move(thread));
  order_stale = true;
  return true;
}

void System::settle_thread_name(Entry& thread) {
  thread.name_unsettled = false;
  StatBuffer buffer;
  auto text = read_small_file(entry_dir(thread.view.pid, thread.owner) + "/comm", buffer);
  if (!text) return;
  // The name may itself hold line feeds: only the one the kernel appends ends it.
  if (text->ends_with('\n')) text->remove_suffix(1);
  std::string name = to_utf8_lossy(*text);
  if (name == thread.view.name) return;
  thread.view.name = std::move(name);
  const auto owner = entries.find(thread.owner);
  judge_entry(thread, owner == entries.end() ? nullptr : &owner->second);
}

std::optional<std::uint64_t> System::read_uptime() {
  StatBuffer buffer;
  const auto text = read_small_file(root + "/uptime", buffer);
  if (!text) return std::nullopt;
  return parse_digits<std::uint64_t>(text->substr(0, text->find_first_of(". ")));
}

void System::judge_entry(Entry& entry, const Entry* process) {
  if (!judge) return;
  const auto& image = (process ? process : &entry)->image;
  entry.view.verdict = judge->judge_entry(entry.view.name, image ? &*image : nullptr, !process);
}

System::Entry* System::owned_thread(Pid owner, Pid tid) {
  const auto found = entries.find(tid);
  return found != entries.end() && found->second.owner == owner ? &found->second : nullptr;
}

void System::erase_thread(Pid owner, Pid tid) {
  const auto found = entries.find(tid);
  if (found == entries.end() || found->second.owner != owner) return;
  entries.erase(found);
  order_stale = true;
}

void System::erase_threads(const Entry& process) {
  for (const Pid tid : process.thread_ids) erase_thread(process.view.pid, tid);
}

int System::open_file(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags);
  if (fd < 0 && out_of_descriptors(errno)) refresh_faults.out_of_descriptors = true;
  return fd;
}

std::optional<std::string_view> System::read_small_file(const std::string& path, StatBuffer& into) {
  const int fd = open_file(path, file_flags);
  if (fd < 0) return std::nullopt;
  auto text = read_from_start(fd, into);
  ::close(fd);
  return text;
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

void System::sweep_and_order() {
  // When every process entry was reached, none has gone and the map need not be walked.
  if (refreshed_processes != process_count) {
    std::vector<Pid> gone;
    for (const auto& [id, entry] : entries) {
      if (entry.owner == 0 && entry.refreshed_in != generation) gone.push_back(id);
    }
    for (const Pid id : gone) {
      const auto found = entries.find(id);
      erase_threads(found->second);
      entries.erase(found);
    }
    process_count -= gone.size();
    order_stale = true;
  }
  // Start times are fixed for an entry's life, so the order changes only with the set of entries.
  if (!order_stale) return;
  order_stale = false;
  newest_first.clear();
  newest_first.reserve(entries.size());
  for (const auto& [id, entry] : entries) newest_first.push_back(&entry.view);
  std::sort(newest_first.begin(), newest_first.end(), [](const Process* a, const Process* b) {
    if (a->start_time_since_boot != b->start_time_since_boot) {
      return a->start_time_since_boot > b->start_time_since_boot;
    }
    return a->pid > b->pid;
  });
}

}  // namespace sidecar
