#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sidecar::testing {

// How the standard streams of a child are set up.
enum class Stream {
  pipe,       // a pipe the test reads (or, for stdin, writes)
  closed,     // not open at all when the program starts
  dev_full,   // "/dev/full": every write fails with ENOSPC
  dead_pipe,  // a pipe whose other end is already closed
  file,       // the file at `output_path` (stdout only)
};

struct ChildOptions {
  std::vector<std::string> args;
  Stream in = Stream::pipe;
  Stream out = Stream::pipe;
  Stream err = Stream::pipe;
  bool merge_err_into_out = false;  // stderr joins the stdout pipe, so their order shows
  std::string output_path;
  std::optional<unsigned long>
      open_file_limit;        // soft and hard limit set before the program starts
  std::optional<uid_t> user;  // runs as this user (and the group of the same number)
  // Signals the program starts with ignored, and with blocked, as a starter such as nohup or a
  // shell's `trap '' INT` leaves them.
  std::vector<int> ignored_signals;
  std::vector<int> blocked_signals;
};

// A program run by a test; killed and reaped when the object goes.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const ChildOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return child; }

  // The next line of stdout (without its line feed) within `timeout`; nothing at end of stream
  // or timeout. A last piece without a line feed is returned with `complete` false.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout, bool* complete = nullptr);
  // Whatever stderr holds within `timeout`, up to end of stream.
  std::string read_err(std::chrono::milliseconds timeout);
  void close_out_reader();
  // Stdout has reached its end (or is not read) and every line of it has been returned.
  bool out_ended() const { return out_fd < 0 && out_buffer.empty(); }

  bool running();
  // The wait status once the child has ended within `timeout`.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);

 private:
  pid_t child = -1;
  int out_fd = -1;
  int err_fd = -1;
  int in_fd = -1;
  std::string out_buffer;
  std::optional<int> status;
};

}  // namespace sidecar::testing
