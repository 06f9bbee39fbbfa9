#include "watchdog/linux/heartbeat.h"

#include <gtest/gtest.h>

namespace sidecar {
namespace {

TEST(EpochMillis, WholeMillisecondsAndZeroBeforeTheEpoch) {
  EXPECT_EQ(epoch_millis({1, 999'999'999}), 1999U);
  EXPECT_EQ(epoch_millis({0, 0}), 0U);
  EXPECT_EQ(epoch_millis({-1, 500'000'000}), 0U);
  EXPECT_EQ(epoch_millis({1'765'319'742, 123'456'789}), 1'765'319'742'123U);
  EXPECT_EQ(epoch_millis({std::numeric_limits<std::int64_t>::max(), 999'999'999}),
            static_cast<u128>(std::numeric_limits<std::int64_t>::max()) * 1000 + 999);
}

struct Clocks {
  Instant mono{100, 0};
  Instant wall{1'765'319'742, 5'000'000};
  std::function<Instant()> monotonic_now = [this] { return mono; };
  std::function<Instant()> wall_now = [this] { return wall; };
};

TEST(HeartbeatStep, DueAtFiveWholeSecondsAndCountsFromTheMomentItIsMade) {
  Clocks clocks;
  Instant last{95, 1};
  // 4.999999999 s: not yet.
  EXPECT_FALSE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now));
  EXPECT_EQ(last, (Instant{95, 1}));

  clocks.mono = {100, 1};  // exactly 5.000000000 s
  const auto beat = heartbeat_step(last, clocks.monotonic_now, clocks.wall_now);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->timestamp, 1'765'319'742'005U);
  EXPECT_EQ(last, (Instant{100, 1}));

  for (std::int64_t sec : {101, 102, 103, 104}) {
    clocks.mono = {sec, 1};
    EXPECT_FALSE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now)) << sec;
  }
  clocks.mono = {107, 0};  // due late: the next one counts from 107, not from 105
  EXPECT_TRUE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now));
  clocks.mono = {111, 999'999'999};
  EXPECT_FALSE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now));
  clocks.mono = {112, 0};
  EXPECT_TRUE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now));
}

TEST(HeartbeatStep, StoresAFreshReadingAndStampsZeroBeforeTheEpoch) {
  Instant mono{50, 0};
  int readings = 0;
  std::function<Instant()> monotonic_now = [&] {
    ++readings;
    return Instant{mono.sec + readings, 0};
  };
  std::function<Instant()> wall_now = [] { return Instant{-86'400, 0}; };
  Instant last{0, 0};
  const auto beat = heartbeat_step(last, monotonic_now, wall_now);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->timestamp, 0U);
  EXPECT_EQ(readings, 2);
  EXPECT_EQ(last, (Instant{52, 0}));
}

TEST(HeartbeatStep, AMonotonicReadingBeforeTheLastHeartbeatIsNotDue) {
  Clocks clocks;
  Instant last{200, 0};
  EXPECT_FALSE(heartbeat_step(last, clocks.monotonic_now, clocks.wall_now));
}

}  // namespace
}  // namespace sidecar
