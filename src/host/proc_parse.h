#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/numbers.h"

namespace sidecar {

// The identifier of a process or thread: the number naming its directory under the proc root.
using Pid = std::int32_t;

// The run state of an entry, from the state letter of its stat record. Letters are
// case-sensitive: T is Stopped, t is TracingStop.
struct RunState {
  enum Kind : std::uint8_t {
    Idle,
    Running,
    Sleeping,
    Stopped,
    Zombie,
    TracingStop,
    Dead,
    Wakekill,
    Waking,
    Parked,
    DiskSleep,
    Unknown,
  };
  Kind kind = Unknown;
  char32_t code = 0;  // the letter's code point; what tells one Unknown state from another

  static RunState from_letter(char32_t letter);
  friend bool operator==(const RunState&, const RunState&) = default;
};

// The fields of the kernel's stat record that the process table uses. `name` points into the
// parsed text.
struct StatRecord {
  // Start and end of code, start of stack, start and end of the arguments (fields 26, 27, 28, 48
  // and 49): new with every program execution. The kernel shows them only to a reader allowed to
  // inspect the process, and 0 to others; a field that is missing or not a number reads 0.
  using Layout = std::array<std::uint64_t, 5>;

  std::string_view name;                    // field 2, without its parentheses
  std::string_view state;                   // field 3
  std::optional<Pid> parent_pid;            // field 4, when a decimal number other than 0
  std::uint64_t flags = 0;                  // field 9
  std::optional<std::int64_t> num_threads;  // field 20
  std::uint64_t start_ticks = 0;            // field 22, clock ticks since boot
  Layout layout{};
};

inline constexpr std::uint64_t kernel_thread_flag = 0x00200000;

// Nothing for a record without a space, without a closing parenthesis after it, with fewer than
// 24 fields, or with a flags or start-time field that is not a decimal number. The command name
// may hold spaces and parentheses: the last closing parenthesis ends it.
std::optional<StatRecord> parse_stat(std::string_view record);

// What the checks read of a status file, found in one pass over its lines. The process's name
// sits on a line of its own and may hold any bytes: lines are split at line feeds, whatever the
// bytes between them.
struct StatusRecord {
  // The value of the first "TracerPid:" line whose second white-space-separated piece (an
  // optional "+", then decimal digits) fits in 32 bits; a final carriage return is ignored.
  std::optional<std::uint32_t> tracer_pid;
  // The pieces after "NSpid:" on the first line that starts with it: one per PID namespace the
  // process is seen from. 0 without such a line.
  std::size_t namespace_ids = 0;
  // The first line that starts with "Seccomp:" says mode 2: a filter is installed.
  bool seccomp_filter = false;
};

StatusRecord parse_status(std::string_view text);

// The fields of a mountinfo line that say what is mounted where:
// id parent major:minor root mount-point options [optional fields] - type source super-options
struct MountRecord {
  std::string mount_point;   // unescaped: the kernel writes space, tab, line feed and backslash
                             // as a backslash and three octal digits
  std::string_view options;  // the mount's own, comma-separated
  std::string_view type;     // empty when the line has no separator or nothing after it
  std::string_view super_options;  // the file system's, comma-separated; may be empty
};

// Nothing for a line of fewer than six fields. Fields are separated by runs of spaces; every
// other byte, whatever it decodes to, belongs to a field.
std::optional<MountRecord> parse_mount_line(std::string_view line);

// The arguments of a `cmdline` (or `environ`) file: each run of bytes ended by a NUL byte, made
// valid UTF-8 (ill-formed bytes become U+FFFD), trimmed of white space, kept when not empty. Bytes
// after the last NUL byte are ignored.
std::vector<std::string> split_cmdline(std::string_view bytes);

}  // namespace sidecar
