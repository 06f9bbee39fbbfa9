// Faults the sidecar must survive, on the real binary: a tiny open-file limit, heavy process and
// thread churn, a stopped and continued process.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/churn.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The targets of the stat files the process has open: the ones its table keeps, and at most one
// being read.
std::vector<std::string> open_stat_files(pid_t pid) {
  std::error_code error;
  std::vector<std::string> targets;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    auto target = std::filesystem::read_symlink(it->path(), error).string();
    if (!error && target.find("/stat") != std::string::npos) targets.push_back(std::move(target));
  }
  return targets;
}

TEST(SidecarFaults, ATinyOpenFileLimitStillFindsEverything) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("sidecar-fd-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file("/bin/sleep", dir / "obs",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(dir / "obs", std::filesystem::perms::owner_all);
  ChildOptions sleep_options;
  sleep_options.args = {"30"};
  ChildProcess recorder((dir / "obs").string(), sleep_options);

  // 40 descriptors: a budget of 20 kept stat files, far fewer than this machine's entries, so
  // most stat files are opened anew on every poll.
  ChildOptions options;
  options.open_file_limit = 40;
  ChildProcess sidecar = start_sidecar(options);
  const std::string expected = R"({"event":"suspicious_process_detected","payload":{"pid":)" +
                               std::to_string(recorder.pid()) +
                               R"(,"name":"obs","reason":"Screen Recorder"}})";
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(
      sidecar, [&](const std::string& l) { return l == expected; }, 60s, &seen))
      << ::testing::PrintToString(seen);
  // Most stat files are opened anew each poll, which such a limit allows: the view is whole.
  for (const auto& line : seen) EXPECT_EQ(line.find(R"("name":"self")"), std::string::npos) << line;
  std::size_t most = 0;
  for (int sample = 0; sample < 20; ++sample) {
    most = std::max(most, open_stat_files(sidecar.pid()).size());
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_LE(most, 20U + 1U);
  EXPECT_TRUE(sidecar.running());
  std::filesystem::remove_all(dir);
}

TEST(SidecarFaults, HeavyChurnKeepsTheRhythmAndTheTableClean) {
  ChildOptions options;
  options.open_file_limit = 512;  // a budget of 256 kept stat files
  ChildProcess sidecar = start_sidecar(options);
  ASSERT_TRUE(sidecar.read_line(30s));

  // 1,200 processes, each with two threads of its own that live 20 ms, and half of them renaming
  // one: hundreds of entries come and go every second, for as long as the machine takes to run
  // them all. The churn goes on until the sidecar has also written four heartbeats beside it.
  constexpr long each = 600;
  std::vector<std::pair<Clock::time_point, std::string>> lines;
  std::size_t most = 0;
  std::vector<pid_t> churned_pids;
  std::size_t beats_seen = 0;
  {
    Churn churn({SIDECAR_CHURN_CHILD}, each);
    Churn renaming({SIDECAR_CHURN_CHILD, "rename"}, each);
    const auto give_up = Clock::now() + 600s;  // only a hang takes this long
    while (!(churn.finished() && renaming.finished() && beats_seen >= 4) &&
           Clock::now() < give_up && sidecar.running()) {
      if (auto line = sidecar.read_line(200ms)) {
        if (event_tag(*line) == "heartbeat") ++beats_seen;
        lines.emplace_back(Clock::now(), *line);
      }
      most = std::max(most, open_stat_files(sidecar.pid()).size());
    }
    ASSERT_TRUE(churn.finished() && renaming.finished())
        << churn.started() + renaming.started() << " processes started";
    churned_pids = churn.started_pids();
    churned_pids.insert(churned_pids.end(), renaming.started_pids().begin(),
                        renaming.started_pids().end());
  }
  ASSERT_TRUE(sidecar.running());
  EXPECT_LE(most, 256U + 1U);

  // A heartbeat about every five seconds all through.
  std::vector<Clock::time_point> beats;
  for (const auto& [at, line] : lines) {
    EXPECT_TRUE(is_compact_object(line)) << line;
    if (event_tag(line) == "heartbeat") beats.push_back(at);
  }
  ASSERT_GE(beats.size(), 4U);
  for (std::size_t i = 1; i < beats.size(); ++i) {
    EXPECT_LE(beats[i] - beats[i - 1], 9s);
  }

  // Once the churn has ended, the entries of the finished processes are gone with their files.
  // A file of a process that ended after the last poll is released by the next one, so only what
  // stays stale across two looks, more than a poll apart, counts. (An identifier may also have
  // been reused by a live process, whose file is rightly kept.)
  std::set<std::string> churned_dirs;
  for (const pid_t pid : churned_pids) churned_dirs.insert("/proc/" + std::to_string(pid) + "/");
  const auto stale_now = [&] {
    std::set<std::string> stale;
    for (const auto& target : open_stat_files(sidecar.pid())) {
      const auto dir = target.substr(0, target.find('/', 6) + 1);
      if (churned_dirs.count(dir) != 0 && !std::filesystem::exists(target)) stale.insert(target);
    }
    return stale;
  };
  std::this_thread::sleep_for(2s);
  const auto first_look = stale_now();
  std::this_thread::sleep_for(1500ms);
  std::vector<std::string> stale;
  for (const auto& target : stale_now()) {
    if (first_look.count(target) != 0) stale.push_back(target);
  }
  EXPECT_TRUE(stale.empty()) << ::testing::PrintToString(stale);
}

TEST(SidecarFaults, StoppedAndContinuedItCarriesOnWithoutABurst) {
  ChildProcess sidecar = start_sidecar();
  ASSERT_TRUE(sidecar.read_line(30s));
  kill(sidecar.pid(), SIGSTOP);
  std::this_thread::sleep_for(7s);
  while (sidecar.read_line(100ms)) {
  }
  kill(sidecar.pid(), SIGCONT);
  // A heartbeat was due; after it, the turns go on one at a time, however many were missed.
  std::vector<Clock::time_point> arrivals;
  ASSERT_TRUE(sidecar.read_line(30s)) << "a heartbeat was due";
  arrivals.push_back(Clock::now());
  const auto end = Clock::now() + 4500ms;
  while (Clock::now() < end) {
    if (sidecar.read_line(100ms)) arrivals.push_back(Clock::now());
  }
  EXPECT_LE(arrivals.size(), 6U);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_GE(arrivals[i] - arrivals[i - 1], 900ms);
  }
}

TEST(SidecarFaults, KeepsPollingWhenEveryWriteFails) {
  for (const Stream out : {Stream::dev_full, Stream::dead_pipe}) {
    ChildOptions options;
    options.out = out;
    ChildProcess sidecar = start_sidecar(options);
    // Each loop turn ends in a one-second sleep: the turns go on after the first line, which is
    // due at once, has been lost.
    const long before = voluntary_switches(sidecar.pid());
    long now = before;
    const auto give_up = Clock::now() + 120s;
    while (now - before < 4 && sidecar.running() && Clock::now() < give_up) {
      std::this_thread::sleep_for(200ms);
      now = voluntary_switches(sidecar.pid());
    }
    EXPECT_TRUE(sidecar.running());
    EXPECT_GE(now - before, 4);
    EXPECT_EQ(sidecar.read_err(1s).find("failed"), std::string::npos);
  }
}

}  // namespace
}  // namespace sidecar::testing
