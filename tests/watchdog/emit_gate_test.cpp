#include "watchdog/detection/emit_gate.h"

#include <gtest/gtest.h>

namespace sidecar {
namespace {

constexpr Instant start{1000, 500'000'000};

Instant after(std::int64_t sec, std::int64_t nsec = 0) {
  Instant t{start.sec + sec, start.nsec + nsec};
  if (t.nsec >= 1'000'000'000) {
    t.nsec -= 1'000'000'000;
    t.sec += 1;
  }
  return t;
}

TEST(EmitGate, FirstAskAllowsThenCoolsForExactlySixtySeconds) {
  EmitGate gate;
  EXPECT_TRUE(gate.allow("vm", start));
  EXPECT_FALSE(gate.allow("vm", after(1)));
  EXPECT_FALSE(gate.allow("vm", after(59, 999'999'999)));
  EXPECT_TRUE(gate.allow("vm", after(60)));
  // The window restarts at the allowance just made.
  EXPECT_FALSE(gate.allow("vm", after(119, 999'999'999)));
  EXPECT_TRUE(gate.allow("vm", after(120)));
}

TEST(EmitGate, RefusalsDoNotMoveTheWindow) {
  EmitGate gate;
  std::vector<bool> answers;
  for (int second = 0; second <= 61; ++second)
    answers.push_back(gate.allow("debugger", after(second)));
  std::vector<bool> expected(62, false);
  expected[0] = true;
  expected[60] = true;
  EXPECT_EQ(answers, expected);
}

TEST(EmitGate, KeysAreIndependentExactByteStrings) {
  EmitGate gate;
  EXPECT_TRUE(gate.allow("vm", start));
  EXPECT_TRUE(gate.allow("debugger", start));
  EXPECT_TRUE(gate.allow("suspicious:Zoom", start));
  EXPECT_TRUE(gate.allow("suspicious:zoom", start));
  EXPECT_TRUE(gate.allow("suspicious:zoom ", start));
  EXPECT_TRUE(gate.allow("overlay:", start));
  for (const char* key : {"vm", "debugger", "suspicious:Zoom", "suspicious:zoom", "overlay:"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(gate.allow(key, after(30)));
  }
}

TEST(EmitGate, AClockReadingBeforeTheRecordCountsAsNoTimeElapsed) {
  EmitGate gate;
  EXPECT_TRUE(gate.allow("vm", start));
  EXPECT_FALSE(gate.allow("vm", {start.sec - 100, 0}));
  EXPECT_TRUE(gate.allow("vm", after(60)));
}

TEST(Instant, ElapsedBorrowsNanosecondsAndNeverGoesNegative) {
  EXPECT_EQ(elapsed_since({10, 900'000'000}, {12, 100'000'000}), (Duration{1, 200'000'000}));
  EXPECT_EQ(elapsed_since({12, 0}, {10, 0}), Duration{});
  EXPECT_EQ(elapsed_since({-5, 0}, {5, 1}), (Duration{10, 1}));
  const Instant lowest{std::numeric_limits<std::int64_t>::min(), 0};
  const Instant highest{std::numeric_limits<std::int64_t>::max(), 0};
  EXPECT_EQ(elapsed_since(lowest, highest),
            (Duration{std::numeric_limits<std::uint64_t>::max(), 0}));
  EXPECT_EQ(seconds_before({3, 7}, 10), (Instant{-7, 7}));
  EXPECT_EQ(seconds_before({lowest.sec + 3, 0}, 10), lowest);
}

}  // namespace
}  // namespace sidecar
