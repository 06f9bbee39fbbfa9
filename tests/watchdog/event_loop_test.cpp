#include "watchdog/event_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "watchdog/watchdog.h"

namespace sidecar {
namespace {

class ScriptedWatchdog final : public Watchdog {
 public:
  std::deque<std::optional<WatchdogEvent>> script;
  std::optional<WatchdogEvent> poll() override {
    auto next = std::move(script.front());
    script.pop_front();
    return next;
  }
};

TEST(LoopTurn, WritesOneWholeLinePerEventAndNothingWithoutOne) {
  ScriptedWatchdog watchdog;
  watchdog.script = {Heartbeat{{42}}, std::nullopt,
                     SuspiciousProcessDetected{{1, "a\nb", "Debugger"}}};
  std::vector<std::string> writes;
  const LineWriter writer = [&writes](std::string_view line) { writes.emplace_back(line); };
  for (int turn = 0; turn < 3; ++turn) loop_turn(watchdog, writer);
  EXPECT_EQ(writes, (std::vector<std::string>{
                        "{\"event\":\"heartbeat\",\"payload\":{\"timestamp\":42}}\n",
                        "{\"event\":\"suspicious_process_detected\",\"payload\":{\"pid\":1,"
                        "\"name\":\"a\\nb\",\"reason\":\"Debugger\"}}\n"}));
}

}  // namespace
}  // namespace sidecar
