#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

namespace sidecar::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads what `fd` has until `deadline`; false at end of stream.
bool read_some(int fd, std::string& into, Clock::time_point deadline) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, remaining_ms(deadline)) <= 0) return true;
  char chunk[4096];
  const ssize_t got = read(fd, chunk, sizeof chunk);
  if (got <= 0) return false;
  into.append(chunk, static_cast<std::size_t>(got));
  return true;
}

void place(int target, Stream how, int pipe_end, const std::string& path) {
  int fd = -1;
  switch (how) {
    case Stream::closed:
      close(target);
      return;
    case Stream::pipe:
    case Stream::dead_pipe:
      fd = pipe_end;
      break;
    case Stream::dev_full:
      fd = open("/dev/full", O_WRONLY);
      break;
    case Stream::file:
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      break;
  }
  if (fd < 0 || dup2(fd, target) < 0) _exit(126);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const ChildOptions& options) {
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    std::abort();
  }
  if (options.out == Stream::dead_pipe) close(out_pipe[0]);
  if (options.err == Stream::dead_pipe) close(err_pipe[0]);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  child = fork();
  if (child == 0) {
    place(0, options.in, in_pipe[0], options.output_path);
    place(1, options.out, out_pipe[1], options.output_path);
    if (options.merge_err_into_out) {
      dup2(out_pipe[1], 2);
    } else {
      place(2, options.err, err_pipe[1], options.output_path);
    }
    if (options.open_file_limit) {
      const rlimit limit{*options.open_file_limit, *options.open_file_limit};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    }
    if (options.user &&
        (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 || setuid(*options.user) != 0)) {
      _exit(124);
    }
    for (const int signal_number : options.ignored_signals) ::signal(signal_number, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : options.blocked_signals) sigaddset(&blocked, signal_number);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  in_fd = in_pipe[1];
  out_fd = options.out == Stream::dead_pipe ? -1 : out_pipe[0];
  err_fd = options.err == Stream::dead_pipe ? -1 : err_pipe[0];
  if (out_fd >= 0 && options.out != Stream::pipe) {
    close(out_fd);
    out_fd = -1;
  }
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(child, SIGKILL);
    wait_for_exit(std::chrono::seconds(5));
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) close(fd);
  }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout,
                                                   bool* complete) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto end = out_buffer.find('\n');
    if (end != std::string::npos) {
      std::string line = out_buffer.substr(0, end);
      out_buffer.erase(0, end + 1);
      if (complete) *complete = true;
      return line;
    }
    if (out_fd < 0 || Clock::now() >= deadline) return std::nullopt;
    if (!read_some(out_fd, out_buffer, deadline)) {
      close(out_fd);
      out_fd = -1;
      if (out_buffer.empty()) return std::nullopt;
      if (complete) *complete = false;
      return std::exchange(out_buffer, {});
    }
  }
}

std::string ChildProcess::read_err(std::chrono::milliseconds timeout) {
  std::string text;
  const auto deadline = Clock::now() + timeout;
  while (err_fd >= 0 && Clock::now() < deadline) {
    if (!read_some(err_fd, text, deadline)) {
      close(err_fd);
      err_fd = -1;
    }
  }
  return text;
}

void ChildProcess::close_out_reader() {
  if (out_fd >= 0) close(out_fd);
  out_fd = -1;
}

bool ChildProcess::running() {
  if (status || child <= 0) return false;
  int raw = 0;
  if (waitpid(child, &raw, WNOHANG) == child) {
    status = raw;
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (running() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status;
}

}  // namespace sidecar::testing
