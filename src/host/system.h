#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/open_file_budget.h"
#include "host/proc_parse.h"

namespace sidecar {

enum class EntryKind : std::uint8_t {
  ProcessEntry,  // an ordinary process
  KernelThread,  // the kernel-thread flag of its stat record is set
  UserThread,    // a non-main thread, listed under its process's task folder
};

using Arguments = std::vector<std::string>;

// One entry of the process table: a process, a kernel thread or a non-main thread.
struct Process {
  Pid pid = 0;
  // The owning process for a thread; otherwise the parent from the stat record, when not 0.
  std::optional<Pid> parent_pid;
  std::string name;  // the command name, valid UTF-8
  // The arguments, valid UTF-8; null while none could be read. Threads of one process share
  // them, as they share the executable path.
  std::shared_ptr<const Arguments> cmdline;
  // Target of the `exe` link as the kernel gives it (not necessarily UTF-8); null while unreadable.
  std::shared_ptr<const std::string> exe;
  RunState state;
  EntryKind kind = EntryKind::ProcessEntry;
  std::uint64_t start_time_since_boot = 0;  // seconds

  const Arguments& arguments() const;

  // What the detection rules concluded from this entry's name, path and arguments, kept while
  // those stay as they are: the rules fill it in, the refresh clears it when they change.
  struct RuleMemo {
    static constexpr std::int8_t unknown = -2;
    static constexpr std::int8_t no_match = -1;
    std::int8_t catalogue = unknown;  // index of the first matching name pattern
    std::int8_t denylist = unknown;   // 1 when an AI-assistant term matches
  };
  mutable RuleMemo memo;

  // Bookkeeping of the refresh.
  Pid owner = 0;                // the process whose task folder lists this thread; 0 for a process
  std::vector<Pid> thread_ids;  // of a process: its threads other than the main one
  KeptFile stat_handle;
  std::uint64_t refreshed_in = 0;  // the last refresh that reached the entry
};

// The table of everything that runs on the host, from the proc filesystem. Entries are captured
// with their name, arguments and executable path; a new program image (a new name in the stat
// record) is captured again, and an identifier reused by a new process gets a fresh entry.
class System {
 public:
  // A table with one complete refresh done. A null `budget` means the process-wide one.
  static System new_all(std::filesystem::path proc_root = "/proc",
                        OpenFileBudget* budget = nullptr);

  // Moving keeps the entries where they are; a copy would leave the order pointing into the
  // original.
  System(System&&) = default;
  System& operator=(System&&) = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  // Re-reads every entry; entries whose process has gone are removed. When the proc root cannot
  // be listed the table becomes empty.
  void refresh_all();

  // Nothing when the table holds no such entry.
  const Process* process(Pid pid) const;

  // Every entry, newest first: by start time descending, then identifier descending.
  const std::vector<const Process*>& processes() const { return newest_first; }

 private:
  System(std::filesystem::path proc_root, OpenFileBudget* budget);

  void refresh_process(Pid pid);
  // The entry after reading its stat record, or nothing when that fails. `threads` receives the
  // record's thread count.
  Process* refresh_entry(Pid id, Pid owner, std::optional<std::int64_t>* threads);
  void capture(Process& entry, const StatRecord& stat, Pid owner);
  void mark_refreshed(Process& entry);
  std::string entry_dir(Pid id, Pid owner) const;
  void sweep_and_order();

  std::string root;
  OpenFileBudget* budget;
  std::uint64_t ticks_per_second;
  std::unordered_map<Pid, Process> entries;
  std::vector<const Process*> newest_first;
  bool order_stale = true;
  std::uint64_t generation = 0;     // the refresh under way, counted from 1
  std::size_t refreshed_count = 0;  // entries it has reached so far
};

}  // namespace sidecar
