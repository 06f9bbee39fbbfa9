#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/entry_judge.h"
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
  // The process the entry belongs to: its own identifier for a process, its process's for a
  // thread.
  Pid process_pid = 0;
  // The parent process from the stat record (a thread's is its process's), when not 0.
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

}  // namespace sidecar
