#include "host/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <iterator>
#include <utility>

#include "base/numbers.h"
#include "base/utf8.h"
#include "host/files.h"
#include "host/image_capture.h"

namespace sidecar {
namespace {

constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int file_flags = O_RDONLY | O_CLOEXEC;

template <std::size_t size>
std::optional<std::string_view> read_from_start(int fd, std::array<char, size>& into) {
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

int list_numeric_folders(int fd, const std::function<void(Pid)>& visit) {
  if (lseek(fd, 0, SEEK_SET) != 0) return errno;
  alignas(dirent64) std::array<char, 8192> buffer;
  for (;;) {
    const ssize_t got = getdents64(fd, buffer.data(), buffer.size());
    if (got < 0) return errno;
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
            fstatat(fd, record->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
      }
      if (!is_dir) continue;
      if (const auto number = parse_digits<Pid>(record->d_name)) visit(*number);
    }
    if (complete) break;
  }
  return 0;
}

System::System(std::filesystem::path proc_root, const EntryJudge* judge_in,
               OpenFileBudget* budget_in, FolderLister lister)
    : root(proc_root.string()),
      judge(judge_in),
      budget(budget_in),
      list_folder(lister ? std::move(lister) : FolderLister(list_numeric_folders)) {
  const long ticks = sysconf(_SC_CLK_TCK);
  ticks_per_second = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;
}

System System::new_all(std::filesystem::path proc_root, const EntryJudge* judge,
                       OpenFileBudget* budget, FolderLister lister) {
  System system(std::move(proc_root), judge, budget, std::move(lister));
  system.refresh_all();
  return system;
}

const Process* System::process(Pid pid) const {
  const TableEntry* entry = store.find(pid);
  return entry ? &entry->view : nullptr;
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
    if (list_folder(dir, [this](Pid pid) { refresh_process(pid); }) != 0) {
      refresh_faults.root_unreadable = true;
    }
    ::close(dir);
  } else {
    refresh_faults.root_unreadable = true;
  }
  for (const Pid tid : unsettled) {
    TableEntry* thread = store.find(tid);
    if (thread && thread->name_unsettled) settle_thread_name(*thread);
  }
  store.sweep(generation, refreshed_processes);
  store.settle_order();
}

void System::refresh_process(Pid pid) {
  StatBuffer buffer;
  TableEntry* existing = store.find(pid);
  auto read = read_process_stat(pid, existing, buffer);
  if (!read) return;
  std::string lossy;
  const auto record = parse_stat_lossy(read->text, lossy);
  if (!record) return;
  const auto [entry, created] = keep_process(pid, existing, *record, std::move(read->opened));
  update_process(*entry, *record, created);
  follow_threads(*entry, record->num_threads);
}

std::optional<System::StatRead> System::read_process_stat(Pid pid, TableEntry* existing,
                                                          StatBuffer& buffer) {
  if (existing && existing->stat_handle) {
    if (const auto text = read_from_start(existing->stat_handle.fd(), buffer)) {
      return StatRead{*text, KeptFile()};
    }
    // A kept stat file stops reading once its process has gone.
    existing->stat_handle.close();
  }
  // The main thread's record holds what the process's does for the fields read here, and costs
  // the kernel less: it does not sum up the other threads.
  int fd = open_file(entry_dir(pid, pid) + "/stat", file_flags);
  if (fd < 0) fd = open_file(entry_dir(pid, 0) + "/stat", file_flags);
  if (fd < 0) return std::nullopt;
  const auto text = read_from_start(fd, buffer);
  if (!text || !budget->take()) {
    ::close(fd);
    if (!text) return std::nullopt;
    return StatRead{*text, KeptFile()};
  }
  return StatRead{*text, KeptFile(fd, budget)};
}

System::KeptProcess System::keep_process(Pid pid, TableEntry* existing, const StatRecord& record,
                                         KeptFile opened) {
  const std::uint64_t start = record.start_ticks / ticks_per_second;
  if (existing && existing->owner == 0 && existing->view.start_time_since_boot == start) {
    if (opened) existing->stat_handle = std::move(opened);
    return {existing, false};
  }
  // A new process, or an identifier taken over by a new one: nothing of the old entry stays.
  TableEntry created;
  created.view.pid = pid;
  created.view.process_pid = pid;
  created.view.name.assign(record.name);
  created.view.start_time_since_boot = start;
  created.view.kind = kind_of(record, false);
  created.stat_handle = opened     ? std::move(opened)
                        : existing ? std::move(existing->stat_handle)
                                   : KeptFile();
  // Captures of hidden images are spread over the refreshes.
  created.next_capture = generation + static_cast<std::uint64_t>(pid) % hidden_image_period;
  return {&store.put_process(std::move(created)), true};
}

void System::update_process(TableEntry& entry, const StatRecord& record, bool created) {
  Process& view = entry.view;
  view.parent_pid = record.parent_pid;
  view.state = RunState::from_letter(first_code_point(record.state));
  if (entry.refreshed_in != generation) {
    entry.refreshed_in = generation;
    ++refreshed_processes;
  }
  const bool name_changed = record.name != view.name;
  if (name_changed) view.name.assign(record.name);

  // A process whose main thread has ended while others run is a zombie that still runs its
  // program: it shows its image only through those threads.
  const RunState::Kind state = view.state.kind;
  ImageCaptureFacts facts;
  facts.kind = view.kind;
  facts.state = state;
  facts.ended_leader = state == RunState::Zombie && record.num_threads && *record.num_threads > 1 &&
                       !entry.thread_ids.empty();
  const bool live_image = view.kind != EntryKind::KernelThread && state != RunState::Dead &&
                          (state != RunState::Zombie || facts.ended_leader);
  if (live_image) {
    // A new layout is a new program image; one the kernel now hides is not.
    facts.new_image =
        name_changed || (!layout_hidden(record.layout) && record.layout != entry.layout);
    entry.layout = record.layout;
    if (facts.new_image) {
      // What was captured of the old image no longer holds.
      entry.args_captured = false;
      entry.exe_captured = false;
    }
  }
  facts.args_captured = entry.args_captured;
  facts.exe_captured = entry.exe_captured;
  facts.layout_hidden = layout_hidden(entry.layout);
  facts.rotation_due = generation >= entry.next_capture;
  const bool image_changed =
      image_capture_due(facts) &&
      capture(entry, facts.ended_leader ? entry_dir(entry.thread_ids.front(), view.pid)
                                        : entry_dir(view.pid, 0));
  if (created || name_changed || image_changed) judge_entry(entry, nullptr);
  if (image_changed) {
    for (const Pid tid : entry.thread_ids) {
      if (TableEntry* thread = store.owned_thread(view.pid, tid)) judge_entry(*thread, &entry);
    }
  }
}

bool System::capture(TableEntry& entry, const std::string& dir) {
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

void System::follow_threads(TableEntry& process, std::optional<std::int64_t> threads) {
  // A process with one thread has nothing in its task folder but the main thread.
  if (threads && *threads <= 1) {
    if (!process.thread_ids.empty()) {
      store.erase_threads(process);
      process.thread_ids.clear();
    }
    return;
  }
  // With the count unchanged a thread can only have replaced another: the folder is listed on a
  // slow cadence to find those.
  const bool count_unchanged =
      threads && static_cast<std::size_t>(*threads) == process.thread_ids.size() + 1;
  if (count_unchanged && generation < process.next_listing) return;
  list_threads(process);
}

void System::list_threads(TableEntry& process) {
  const Pid pid = process.view.pid;
  process.next_listing = generation + thread_listing_period;
  std::vector<Pid> found;
  found.reserve(process.thread_ids.size() + 1);
  const auto visit = [&](Pid tid) {
    if (tid == pid) return;
    if (store.owned_thread(pid, tid) || add_thread(process, tid)) found.push_back(tid);
  };
  // The task folder is kept open like the stat file, while the budget allows.
  int error = process.task_dir ? list_folder(process.task_dir.fd(), visit) : EBADF;
  if (error != 0) {
    process.task_dir.close();
    found.clear();
    const int dir = open_file(entry_dir(pid, 0) + "/task", dir_flags);
    if (dir < 0) return;
    error = list_folder(dir, visit);
    if (error == 0 && budget->take()) {
      process.task_dir = KeptFile(dir, budget);
    } else {
      ::close(dir);
    }
  }
  std::sort(found.begin(), found.end());
  if (error != 0) {
    // A failed listing tells nothing of the threads that were not reached: every entry stays, and
    // the folder is listed again on the next refresh. A process that has gone takes its threads
    // with it when it leaves the table; any other failure is a refusal to show them.
    if (error != ENOENT) refresh_faults.listing_refused = true;
    process.next_listing = 0;
    std::vector<Pid> kept;
    std::set_union(process.thread_ids.begin(), process.thread_ids.end(), found.begin(), found.end(),
                   std::back_inserter(kept));
    process.thread_ids = std::move(kept);
    return;
  }
  // Threads that have gone since the last listing leave the table now.
  std::vector<Pid> gone;
  std::set_difference(process.thread_ids.begin(), process.thread_ids.end(), found.begin(),
                      found.end(), std::back_inserter(gone));
  for (const Pid tid : gone) store.erase_thread(pid, tid);
  process.thread_ids = std::move(found);
}

bool System::add_thread(TableEntry& process, Pid tid) {
  StatBuffer buffer;
  const auto text = read_small_file(entry_dir(tid, process.view.pid) + "/stat", buffer);
  if (!text) return false;
  std::string lossy;
  const auto record = parse_stat_lossy(*text, lossy);
  if (!record) return false;
  // A process entry under this identifier that this refresh has read is live: a thread cannot
  // have it too. One it has not read is the leftover of a process that has gone.
  if (const TableEntry* known = store.find(tid);
      known && known->owner == 0 && known->refreshed_in == generation) {
    return false;
  }
  TableEntry thread;
  thread.view.pid = tid;
  thread.view.process_pid = process.view.pid;
  thread.view.parent_pid = record->parent_pid;
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
  store.put_thread(std::move(thread));
  return true;
}

void System::settle_thread_name(TableEntry& thread) {
  thread.name_unsettled = false;
  StatBuffer buffer;
  auto text = read_small_file(entry_dir(thread.view.pid, thread.owner) + "/comm", buffer);
  if (!text) return;
  // The name may itself hold line feeds: only the one the kernel appends ends it.
  if (text->ends_with('\n')) text->remove_suffix(1);
  std::string name = to_utf8_lossy(*text);
  if (name == thread.view.name) return;
  thread.view.name = std::move(name);
  judge_entry(thread, store.find(thread.owner));
}

std::optional<std::uint64_t> System::read_uptime() {
  StatBuffer buffer;
  const auto text = read_small_file(root + "/uptime", buffer);
  if (!text) return std::nullopt;
  return parse_digits<std::uint64_t>(text->substr(0, text->find_first_of(". ")));
}

void System::judge_entry(TableEntry& entry, const TableEntry* process) {
  if (!judge) return;
  const auto& image = (process ? process : &entry)->image;
  entry.view.verdict = judge->judge_entry(entry.view.name, image ? &*image : nullptr, !process);
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

}  // namespace sidecar
