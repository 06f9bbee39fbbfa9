#pragma once

#include <compare>
#include <cstdint>

namespace sidecar {

// A reading of a clock: seconds and nanoseconds below one billion. Seconds are signed, so an
// instant may lie before the clock's zero (ten seconds before a monotonic clock that started at
// boot) or before the Unix epoch (a wall clock set to 1969).
struct Instant {
  std::int64_t sec = 0;
  std::int64_t nsec = 0;

  friend auto operator<=>(const Instant&, const Instant&) = default;
};

// A span of time that is never negative; compares seconds first, then nanoseconds.
struct Duration {
  std::uint64_t sec = 0;
  std::uint32_t nsec = 0;

  friend auto operator<=>(const Duration&, const Duration&) = default;
};

// Time from `start` to `now`; zero when `now` lies before `start`.
Duration elapsed_since(Instant start, Instant now);

// `instant` moved `seconds` back, stopping at the smallest representable instant.
Instant seconds_before(Instant instant, std::int64_t seconds);

}  // namespace sidecar
