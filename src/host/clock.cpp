#include "host/clock.h"

#include <time.h>

#include <cerrno>

namespace sidecar {
namespace {

Instant read_clock(clockid_t id) {
  timespec now{};
  if (clock_gettime(id, &now) != 0) return {};
  return {now.tv_sec, now.tv_nsec};
}

}  // namespace

Instant read_monotonic_clock() { return read_clock(CLOCK_MONOTONIC); }

Instant read_wall_clock() { return read_clock(CLOCK_REALTIME); }

void sleep_one_second() {
  timespec deadline{};
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return;
  deadline.tv_sec += 1;
  // An absolute deadline: a sleep woken early by a signal goes back to sleep for what remains.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace sidecar
