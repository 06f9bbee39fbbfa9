// The test support that the end-to-end tests stand on: waits that end with the stream, and load
// generators that do their count of work and fail cleanly.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/churn.h"
#include "support/command.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;

TEST(TestSupport, AWaitForALineEndsWithTheStream) {
  ChildOptions options;
  options.args = {"-c", "echo one; echo two"};
  ChildProcess child("/bin/sh", options);
  std::vector<std::string> seen;
  // A bound no test run reaches: only the end of the stream can end this wait.
  EXPECT_FALSE(wait_for_line(
      child, [](const std::string&) { return false; }, 24h, &seen));
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(child.out_ended());
}

TEST(TestSupport, AChurnDoesItsCountOfProcessesAndEndsThem) {
  Churn churn({"/bin/true"}, 25);
  for (int tries = 0; tries < 6000 && !churn.finished(); ++tries) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(churn.finished());
  EXPECT_EQ(churn.started(), 25);
  EXPECT_EQ(churn.started_pids().size(), 25U);
}

TEST(TestSupport, AChurnedProcessThatCannotStartItsThreadsEndsWithStatusOne) {
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit";
  // A stack limit of a terabyte: every thread's stack is that large, and none can be mapped.
  for (const std::string mode : {"", " rename"}) {
    SCOPED_TRACE(mode);
    const auto result = run_command("/usr/bin/prlimit --stack=1099511627776 " +
                                    std::string(SIDECAR_CHURN_CHILD) + mode);
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1) << result.status;
  }
}

}  // namespace
}  // namespace sidecar::testing
