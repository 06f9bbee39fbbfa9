#pragma once

#include <cstdint>
#include <string_view>

namespace sidecar {

// Opens "/dev/null" on each of the descriptors 0, 1 and 2 that is not open, so that later writes
// to a closed standard stream go nowhere instead of into a file opened afterwards.
void reopen_missing_standard_descriptors();

// A write to a pipe whose reader has gone then fails with EPIPE instead of killing the process.
void ignore_sigpipe();

// Asks the kernel to end this process with SIGKILL when the thread that started it ends, so that
// a sidecar whose host died does not poll for ever, even stopped or as the first process of a PID
// namespace (SIGKILL needs no SIGCONT and cannot be ignored). `parent_at_start` is the parent
// identifier read as early as possible: when the parent has changed since, it has gone already
// and the process ends at once.
void end_with_parent(std::int32_t parent_at_start);

// SIGTERM ends the process at once with nothing written, whatever disposition and mask were
// inherited from the starter: its default action, unblocked. SIGINT and SIGHUP keep what the
// starter chose (nohup ignores SIGHUP, say). As the first process of a PID namespace, where the
// kernel drops a signal that has no handler, all three get handlers that end the process at once
// instead (exit status 128 plus the signal's number, as a shell reports it).
void end_on_termination_signals();

// The identifier of this process's parent.
std::int32_t read_parent_pid();

// The operating system's identifier of this process.
std::uint32_t read_own_pid();

// Writes all of `bytes` to `fd` with write(2), retrying short and interrupted writes. False when
// the descriptor refuses them; errno then tells why.
bool write_all(int fd, std::string_view bytes);

}  // namespace sidecar
