#include "base/instant.h"

#include <limits>

namespace sidecar {
namespace {
constexpr std::int64_t nanos_per_second = 1'000'000'000;
}

Duration elapsed_since(Instant start, Instant now) {
  if (now <= start) return {};
  // Unsigned arithmetic: the difference of two signed seconds always fits in 64 unsigned bits.
  auto sec = static_cast<std::uint64_t>(now.sec) - static_cast<std::uint64_t>(start.sec);
  std::int64_t nsec = now.nsec - start.nsec;
  if (nsec < 0) {
    nsec += nanos_per_second;
    sec -= 1;
  }
  return {sec, static_cast<std::uint32_t>(nsec)};
}

Instant seconds_before(Instant instant, std::int64_t seconds) {
  constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
  if (instant.sec < lowest + seconds) return {lowest, 0};
  return {instant.sec - seconds, instant.nsec};
}

}  // namespace sidecar
