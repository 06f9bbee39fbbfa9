#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/entry_judge.h"
#include "host/open_file_budget.h"
#include "host/proc_parse.h"

namespace sidecar {

enum class EntryKind : std::uint8_t {
  ProcessEntry,  // an ordinary process
  KernelThread,  // the kernel-thread flag of its stat record is set
  UserThread,    // a non-main thread, listed under its process's task folder
};

// One entry of the process table as the checks read it: a process, a kernel thread or a
// non-main thread.
struct Process {
  Pid pid = 0;
  // The owning process for a thread; otherwise the parent from the stat record, when not 0.
  std::optional<Pid> parent_pid;
  std::string name;  // the command name, valid UTF-8
  // Fresh on every refresh for process entries; a thread's is the one it had when first seen.
  RunState state;
  EntryKind kind = EntryKind::ProcessEntry;
  std::uint64_t start_time_since_boot = 0;  // seconds
  // The judge's verdict on the name and on the program image the entry runs (a thread runs its
  // process's); made again whenever either changes. 0 without a judge.
  EntryVerdict verdict = 0;
};

// What kept a refresh from seeing everything the proc root holds.
struct RefreshFaults {
  bool root_unreadable = false;     // the proc root could not be opened or listed
  bool out_of_descriptors = false;  // an open the table needed was refused for lack of descriptors

  friend bool operator==(const RefreshFaults&, const RefreshFaults&) = default;
};

// The table of everything that runs on the host, from the proc filesystem.
//
// Process entries are re-read on every refresh through a stat file kept open for each. Threads
// cost nothing per refresh: a process's task folder is listed when its thread count changes and
// otherwise every few refreshes, a new thread's name is read when it is found and once more on
// the next refresh (threads name themselves as they start), and its state is the one it had then.
//
// A program image is captured (executable path and arguments, handed to the judge and then
// dropped) when an entry is first seen, and again whenever its name or the memory layout that
// the kernel shows in its stat record changes, which every program execution does. Where the
// kernel hides that layout (other users' processes), the image is captured again every few
// refreshes.
class System {
 public:
  // A table with one complete refresh done. A null `judge` leaves every verdict 0; a null `budget`
  // means the process-wide one.
  static System new_all(std::filesystem::path proc_root = "/proc",
                        const EntryJudge* judge = nullptr, OpenFileBudget* budget = nullptr);

  // Moving keeps the entries where they are; a copy would leave the order pointing into the
  // original.
  System(System&&) = default;
  System& operator=(System&&) = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  // Re-reads every process entry, follows threads as they come and go, and removes the entries of
  // processes that have gone (with their threads). When the proc root cannot be listed the table
  // becomes empty.
  void refresh_all();

  // Nothing when the table holds no such entry.
  const Process* process(Pid pid) const;

  // Of the last refresh.
  const RefreshFaults& faults() const { return refresh_faults; }

  // Every entry, newest first: by start time descending, then identifier descending.
  const std::vector<const Process*>& processes() const { return newest_first; }

  // Refreshes between two listings of a task folder whose thread count has not changed, and
  // between two captures of an image whose memory layout the kernel hides.
  static constexpr std::uint64_t thread_listing_period = 4;
  static constexpr std::uint64_t hidden_image_period = 9;

 private:
  // The refresh's own bookkeeping beside what the checks read.
  struct Entry {
    Process view;
    Pid owner = 0;  // the process whose task folder lists this thread; 0 for a process
    KeptFile stat_handle;
    std::uint64_t refreshed_in = 0;  // the last refresh that reached a process entry

    // Of a process entry.
    KeptFile task_dir;
    std::vector<Pid> thread_ids;  // its threads other than the main one, ascending
    std::uint64_t next_listing = 0;
    StatRecord::Layout layout{};  // as of the last refresh
    std::optional<ImageVerdict> image;
    bool args_captured = false;  // the last capture of this image found arguments
    bool exe_captured = false;   // and an executable path
    std::uint64_t next_capture = 0;

    // Of a thread entry: its name is still to be read once more.
    bool name_unsettled = false;
  };

  System(std::filesystem::path proc_root, const EntryJudge* judge, OpenFileBudget* budget);

  void refresh_process(Pid pid);
  // The process entry after reading its stat record, or nothing when that fails.
  Entry* read_process(Pid pid, std::optional<std::int64_t>* threads);
  void update_process(Entry& entry, const StatRecord& record, bool created);
  // Reads the image from the folder `dir` and judges it; true when its verdict has changed.
  bool capture(Entry& entry, const std::string& dir);
  void list_threads(Entry& process);
  bool add_thread(Entry& process, Pid tid);
  void settle_thread_name(Entry& thread);
  void judge_entry(Entry& entry, const Entry* process);
  // The entry of thread `tid` when `owner`'s task folder lists it; a thread entry under another
  // owner, or a process entry, is not it.
  Entry* owned_thread(Pid owner, Pid tid);
  void erase_thread(Pid owner, Pid tid);
  void erase_threads(const Entry& process);
  std::string entry_dir(Pid id, Pid owner) const;
  // open(2) that records a refusal for lack of descriptors in this refresh's faults.
  int open_file(const std::string& path, int flags);
  // A small proc file read whole into `into`; nothing when it cannot be opened or read.
  std::optional<std::string_view> read_small_file(const std::string& path,
                                                  std::array<char, 2048>& into);
  // Whole seconds since boot, from the proc root's uptime; nothing when unreadable.
  std::optional<std::uint64_t> read_uptime();
  void sweep_and_order();

  std::string root;
  const EntryJudge* judge;
  OpenFileBudget* budget;
  std::uint64_t ticks_per_second;
  std::unordered_map<Pid, Entry> entries;
  std::vector<const Process*> newest_first;
  std::vector<Pid> unsettled_threads;   // thread entries whose names are read on the next refresh
  std::optional<std::uint64_t> uptime;  // as of the refresh under way, read when first needed
  bool uptime_read = false;
  bool order_stale = true;
  RefreshFaults refresh_faults;
  std::uint64_t generation = 0;         // the refresh under way, counted from 1
  std::size_t process_count = 0;        // process entries in the table
  std::size_t refreshed_processes = 0;  // process entries this refresh has reached
};

}  // namespace sidecar
