#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/entry_judge.h"
#include "host/entry_store.h"
#include "host/open_file_budget.h"
#include "host/proc_parse.h"
#include "host/process.h"

namespace sidecar {

// What kept a refresh from seeing everything the proc root holds.
struct RefreshFaults {
  bool root_unreadable = false;     // the proc root could not be opened or listed
  bool out_of_descriptors = false;  // an open the table needed was refused for lack of descriptors
  bool listing_refused = false;     // a task folder that opened could not be listed

  friend bool operator==(const RefreshFaults&, const RefreshFaults&) = default;
};

// Calls `visit` with the number of every subfolder of the open folder `fd` whose name is a decimal
// number (symbolic links excluded), from the start of the listing. 0, or the error of a listing
// that failed.
int list_numeric_folders(int fd, const std::function<void(Pid)>& visit);
using FolderLister = std::function<int(int fd, const std::function<void(Pid)>& visit)>;

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
  // means the process-wide one; `lister` lists folders (`list_numeric_folders` when empty).
  static System new_all(std::filesystem::path proc_root = "/proc",
                        const EntryJudge* judge = nullptr, OpenFileBudget* budget = nullptr,
                        FolderLister lister = {});

  // Moving keeps the entries where they are; a copy would leave the order pointing into the
  // original.
  System(System&&) = default;
  System& operator=(System&&) = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  // Re-reads every process entry, follows threads as they come and go, and removes the entries of
  // processes that have gone (with their threads). When the proc root cannot be listed the table
  // becomes empty; when a task folder cannot be listed its threads keep their entries.
  void refresh_all();

  // Nothing when the table holds no such entry.
  const Process* process(Pid pid) const;

  // Of the last refresh.
  const RefreshFaults& faults() const { return refresh_faults; }

  // Every entry (processes, kernel threads and threads), newest first: by start time descending,
  // then identifier descending.
  const std::vector<const Process*>& entries() const { return store.newest_first(); }

  // Refreshes between two listings of a task folder whose thread count has not changed, and
  // between two captures of an image whose memory layout the kernel hides.
  static constexpr std::uint64_t thread_listing_period = 4;
  static constexpr std::uint64_t hidden_image_period = 9;

 private:
  // Larger than any stat record the kernel writes.
  using StatBuffer = std::array<char, 2048>;
  // A stat record's text as read into a buffer, and the stat file opened for it when the entry
  // kept none (or the kept one had stopped reading).
  struct StatRead {
    std::string_view text;
    KeptFile opened;
  };

  System(std::filesystem::path proc_root, const EntryJudge* judge, OpenFileBudget* budget,
         FolderLister lister);

  void refresh_process(Pid pid);
  std::optional<StatRead> read_process_stat(Pid pid, TableEntry* existing, StatBuffer& buffer);
  // The entry of the process that `record` describes: the existing one while it is the same
  // process, else a new one in its place.
  struct KeptProcess {
    TableEntry* entry;
    bool created;
  };
  KeptProcess keep_process(Pid pid, TableEntry* existing, const StatRecord& record,
                           KeptFile opened);
  void update_process(TableEntry& entry, const StatRecord& record, bool created);
  // Reads the image from the folder `dir` and judges it; true when its verdict has changed.
  bool capture(TableEntry& entry, const std::string& dir);
  void follow_threads(TableEntry& process, std::optional<std::int64_t> threads);
  void list_threads(TableEntry& process);
  bool add_thread(TableEntry& process, Pid tid);
  void settle_thread_name(TableEntry& thread);
  void judge_entry(TableEntry& entry, const TableEntry* process);
  std::string entry_dir(Pid id, Pid owner) const;
  // open(2) that records a refusal for lack of descriptors in this refresh's faults.
  int open_file(const std::string& path, int flags);
  // A small proc file read whole into `into`; nothing when it cannot be opened or read.
  std::optional<std::string_view> read_small_file(const std::string& path, StatBuffer& into);
  // Whole seconds since boot, from the proc root's uptime; nothing when unreadable.
  std::optional<std::uint64_t> read_uptime();

  std::string root;
  const EntryJudge* judge;
  OpenFileBudget* budget;
  FolderLister list_folder;
  std::uint64_t ticks_per_second;
  EntryStore store;
  std::vector<Pid> unsettled_threads;   // thread entries whose names are read on the next refresh
  std::optional<std::uint64_t> uptime;  // as of the refresh under way, read when first needed
  bool uptime_read = false;
  RefreshFaults refresh_faults;
  std::uint64_t generation = 0;         // the refresh under way, counted from 1
  std::size_t refreshed_processes = 0;  // process entries this refresh has reached
};

}  // namespace sidecar
