#pragma once

#include <cstdint>
#include <string_view>

namespace sidecar {

// Opens "/dev/null" on each of the descriptors 0, 1 and 2 that is not open, so that later writes
// to a closed standard stream go nowhere instead of into a file opened afterwards.
void reopen_missing_standard_descriptors();

// A write to a pipe whose reader has gone then fails with EPIPE instead of killing the process.
void ignore_sigpipe();

// The operating system's identifier of this process.
std::uint32_t read_own_pid();

// Writes all of `bytes` to `fd` with write(2), retrying short and interrupted writes. False when
// the descriptor refuses them; errno then tells why.
bool write_all(int fd, std::string_view bytes);

}  // namespace sidecar
