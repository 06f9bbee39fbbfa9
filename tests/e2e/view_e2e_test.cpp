// The view check on the real binary: the ways a candidate can blind the sidecar end in a finding
// about itself, and a normal run never shows one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/command.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool is_self_report(const std::string& line) {
  return line.find(R"("name":"self")") != std::string::npos;
}

auto self_report(const std::string& reason) {
  return [reason](const std::string& line) {
    return is_self_report(line) && line.find(R"("reason":")" + reason + "\"") != std::string::npos;
  };
}

// The first child of `pid`, or -1.
pid_t first_child(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  pid_t child = -1;
  children >> child;
  return child;
}

TEST(SidecarView, AnOrdinaryUsersRunReportsNothingAboutItself) {
  // A copy that any user may run, wherever the build lies (a home folder may be closed to others).
  const auto dir =
      std::filesystem::temp_directory_path() / ("sidecar-user-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms(0755));
  const auto binary = dir / "watchdog-sidecar";
  std::filesystem::copy_file(SIDECAR_BINARY, binary,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(binary, std::filesystem::perms(0755));
  ChildOptions options;
  options.user = 65534;  // nobody
  ChildProcess sidecar(binary.string(), options);
  std::vector<std::string> seen;
  // The view check comes right after the tracer, before every other finding, and the heartbeat
  // comes last: had it fired, it would have come before the first heartbeat.
  const auto beat = wait_for_line(
      sidecar, [](const std::string& line) { return event_tag(line) == "heartbeat"; }, 60s, &seen);
  EXPECT_TRUE(beat) << ::testing::PrintToString(seen) << sidecar.read_err(1s);
  for (const auto& line : seen) EXPECT_FALSE(is_self_report(line)) << line;
  std::filesystem::remove_all(dir);
}

TEST(SidecarView, InItsOwnPidNamespaceItSaysSoAndSigtermStillEndsIt) {
  if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "no unshare";
  ChildOptions options;
  options.args = {"-pf", "--mount-proc", SIDECAR_BINARY};
  ChildProcess unshare("/usr/bin/unshare", options);
  std::vector<std::string> seen;
  ASSERT_TRUE(wait_for_line(
      unshare, self_report("Process runs in a separate PID namespace (ns/pid)"), 60s, &seen))
      << ::testing::PrintToString(seen) << unshare.read_err(1s);

  // The first process of a namespace: the kernel drops signals it has no handler for.
  const pid_t sidecar = first_child(unshare.pid());
  ASSERT_GT(sidecar, 0);
  ASSERT_EQ(kill(sidecar, SIGTERM), 0);
  const auto status = unshare.wait_for_exit(30s);
  ASSERT_TRUE(status) << "SIGTERM did not end the sidecar";
  EXPECT_FALSE(unshare.read_line(100ms));
}

TEST(SidecarView, StarvedOfDescriptorsWhileRunningItSaysSo) {
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit";
  ChildProcess sidecar = start_sidecar();
  std::vector<std::string> seen;
  ASSERT_TRUE(sidecar.read_line(30s));
  // Files it keeps still read; nothing new can be opened.
  const auto cut =
      run_command("/usr/bin/prlimit --pid " + std::to_string(sidecar.pid()) + " --nofile=3:3");
  ASSERT_EQ(cut.status, 0);
  EXPECT_TRUE(wait_for_line(sidecar, self_report("Process cannot read the process table (proc)"),
                            60s, &seen))
      << ::testing::PrintToString(seen);
  EXPECT_TRUE(sidecar.running());
}

TEST(SidecarView, UnderASeccompFilterThatFailsListingsItSaysSo) {
  ChildOptions options;
  options.args = {SIDECAR_BINARY};
  ChildProcess sidecar(SIDECAR_SECCOMP_LAUNCHER, options);
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(sidecar, is_self_report, 60s, &seen))
      << ::testing::PrintToString(seen) << sidecar.read_err(1s);
}

}  // namespace
}  // namespace sidecar::testing
