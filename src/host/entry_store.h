#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "host/entry_judge.h"
#include "host/open_file_budget.h"
#include "host/process.h"

namespace sidecar {

// The process table's record of one entry: what the checks read, beside the refresh's own
// bookkeeping.
struct TableEntry {
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

// The entries of the process table by identifier, each process with its threads, and their order
// for the checks. Entries stay where they are while they live, so pointers to them hold until
// they are erased.
class EntryStore {
 public:
  TableEntry* find(Pid id);
  const TableEntry* find(Pid id) const;
  // The entry of thread `tid` when `owner`'s task folder lists it; a thread entry under another
  // owner, or a process entry, is not it.
  TableEntry* owned_thread(Pid owner, Pid tid);

  // Puts a process entry under its identifier, in place of whatever was there; a process entry
  // it replaces takes its threads with it.
  TableEntry& put_process(TableEntry entry);
  // Puts a thread entry under its identifier, in place of whatever was there; a process entry it
  // replaces (the leftover of a process that has gone) takes its threads with it.
  TableEntry& put_thread(TableEntry entry);
  void erase_thread(Pid owner, Pid tid);
  void erase_threads(const TableEntry& process);
  // Erases every process entry that refresh `generation` did not reach, with its threads. When
  // `reached` equals the number of process entries, none can be left and nothing is walked.
  void sweep(std::uint64_t generation, std::size_t reached);

  // Puts every entry in order, newest first: by start time descending, then identifier
  // descending. Sorts only when the set of entries has changed, since start times are fixed for
  // an entry's life.
  void settle_order();
  // The order as of the last `settle_order`.
  const std::vector<const Process*>& newest_first() const { return order; }

 private:
  std::unordered_map<Pid, TableEntry> entries;
  std::vector<const Process*> order;
  bool order_stale = true;
  std::size_t process_count = 0;  // process entries in the store
};

}  // namespace sidecar
