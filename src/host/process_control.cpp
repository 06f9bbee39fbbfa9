#include "host/process_control.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace sidecar {

void reopen_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is `fd` because the lower ones are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }

void end_with_parent(std::int32_t parent_at_start) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A parent that ended before the request was made sends nothing: the orphan has been handed
  // to another parent by then.
  if (getppid() != parent_at_start) {
    raise(SIGKILL);
    _exit(128 + SIGKILL);  // the first process of a namespace survives its own SIGKILL
  }
}

namespace {

void end_now(int signal) { _exit(128 + signal); }

}  // namespace

void end_on_termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (getpid() == 1) {
    action.sa_handler = end_now;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      sigaddset(&set, signal);
      sigaction(signal, &action, nullptr);
    }
  } else {
    // SIGINT and SIGHUP keep what the starter chose (nohup ignores SIGHUP, say).
    action.sa_handler = SIG_DFL;
    sigaddset(&set, SIGTERM);
    sigaction(SIGTERM, &action, nullptr);
  }
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

std::int32_t read_parent_pid() { return getppid(); }

std::uint32_t read_own_pid() { return static_cast<std::uint32_t>(getpid()); }

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace sidecar
