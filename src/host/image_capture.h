#pragma once

#include "host/process.h"

namespace sidecar {

// What decides whether the table reads an entry's program image (its executable path and
// arguments) again on this refresh.
struct ImageCaptureFacts {
  EntryKind kind = EntryKind::ProcessEntry;
  RunState::Kind state = RunState::Sleeping;
  // A zombie main thread whose other threads still run the program.
  bool ended_leader = false;
  // The name, or the memory layout the kernel shows, changed since the last refresh: every
  // program execution changes both.
  bool new_image = false;
  // The last capture of this image found arguments, and an executable path.
  bool args_captured = false;
  bool exe_captured = false;
  // The kernel shows this reader no layout (another user's process), so a new image may go
  // unnoticed.
  bool layout_hidden = false;
  // The entry's turn on the slow rotation of captures has come.
  bool rotation_due = false;
};

// Whether to capture: never for a kernel thread, a dead process or a zombie (unless its other
// threads run on), nor in uninterruptible sleep, where reading the arguments can block on the
// process's memory lock (a later refresh reads them). Otherwise for a new image or one whose
// arguments are still missing, and on the rotation for one whose layout is hidden or whose path
// was unreadable.
bool image_capture_due(const ImageCaptureFacts& facts);

}  // namespace sidecar
