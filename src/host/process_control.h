#pragma once

#include <cstdint>
#include <string_view>

namespace sidecar {

// Opens "/dev/null" on each of the descriptors 0, 1 and 2 that is not open, so that later writes
// to a closed standard stream go nowhere instead of into a file opened afterwards.
void reopen_missing_standard_descriptors();

// A write to a pipe whose reader has gone then fails with EPIPE instead of killing the process.
void ignore_sigpipe();

// Asks the kernel to end this process with SIGTERM when the thread that started it ends, so that
// a sidecar whose host died does not poll for ever. `parent_at_start` is the parent identifier
// read as early as possible: when the parent has changed since, it has gone already and SIGTERM
// comes at once. SIGTERM is set to its default action and unblocked first, since both are
// inherited from the starter.
void end_with_parent(std::int32_t parent_at_start);

// The identifier of this process's parent.
std::int32_t read_parent_pid();

// The operating system's identifier of this process.
std::uint32_t read_own_pid();

// Writes all of `bytes` to `fd` with write(2), retrying short and interrupted writes. False when
// the descriptor refuses them; errno then tells why.
bool write_all(int fd, std::string_view bytes);

}  // namespace sidecar
