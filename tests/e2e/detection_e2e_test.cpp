// The real binary against real processes on this machine. These tests run one at a time: the
// processes one test starts would be findings for the sidecars of the others.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;

std::string suspicious_line(pid_t pid, const std::string& name, const std::string& reason) {
  return R"({"event":"suspicious_process_detected","payload":{"pid":)" + std::to_string(pid) +
         R"(,"name":")" + name + R"(","reason":")" + reason + R"("}})";
}

auto equals(const std::string& expected) {
  return [expected](const std::string& line) { return line == expected; };
}

TEST(SidecarDetection, ACopyOfSleepNamedObsIsAScreenRecorder) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("sidecar-obs-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto obs = dir / "obs";
  std::filesystem::copy_file("/bin/sleep", obs, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(obs, std::filesystem::perms::owner_all);

  ChildOptions options;
  options.args = {"30"};
  ChildProcess recorder(obs.string(), options);
  ChildProcess sidecar = start_sidecar();
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(
      sidecar, equals(suspicious_line(recorder.pid(), "obs", "Screen Recorder")), 10s, &seen))
      << ::testing::PrintToString(seen);
  std::filesystem::remove_all(dir);
}

TEST(SidecarDetection, AThreadThatRenamesItselfIsReportedUnderItsThreadId) {
  std::mutex lock;
  std::condition_variable changed;
  pid_t tid = 0;
  bool done = false;
  std::thread renamed([&] {
    pthread_setname_np(pthread_self(), "zoom-share");
    std::unique_lock held(lock);
    tid = gettid();
    changed.notify_all();
    changed.wait(held, [&] { return done; });
  });
  {
    std::unique_lock held(lock);
    changed.wait(held, [&] { return tid != 0; });
  }
  ChildProcess sidecar = start_sidecar();
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(
      sidecar, equals(suspicious_line(tid, "zoom-share", "Conferencing Tool")), 10s, &seen))
      << ::testing::PrintToString(seen);
  {
    std::lock_guard held(lock);
    done = true;
  }
  changed.notify_all();
  renamed.join();
}

TEST(SidecarDetection, AProcessWhoseArgumentsHoldAnAssistantTermIsAStealthOverlay) {
  ChildOptions options;
  options.args = {"-c", "sleep 30; true", "interviewcoder"};
  ChildProcess shell("/bin/bash", options);
  ChildProcess sidecar = start_sidecar();
  const std::string expected =
      R"({"event":"stealth_overlay_detected","payload":{"severity":"high","owner_name":"bash","owner_pid":)" +
      std::to_string(shell.pid()) +
      R"(,"bundle_id":null,"window_layer":0,"window_alpha":1.0,"matched_list":"denylist","capture_excluded":false,"method":"process_name","reason":"running process matches AI-assistant denylist: 'bash'","os_note":null}})";
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(sidecar, equals(expected), 10s, &seen))
      << ::testing::PrintToString(seen);
}

TEST(SidecarDetection, UnderStraceItReportsItselfFirstThenLetsTheNextChecksThrough) {
  ChildOptions options;
  options.args = {"-f", "-o", "/dev/null", SIDECAR_BINARY};
  ChildProcess tracer("/usr/bin/strace", options);
  const auto first = tracer.read_line(20s);
  ASSERT_TRUE(first);

  // The sidecar is the child that strace started.
  std::ifstream children("/proc/" + std::to_string(tracer.pid()) + "/task/" +
                         std::to_string(tracer.pid()) + "/children");
  pid_t sidecar = 0;
  children >> sidecar;
  ASSERT_NE(sidecar, 0);
  // strace killed by the test leaves its tracee running: end the sidecar too.
  const struct Reaper {
    pid_t pid;
    ~Reaper() { kill(pid, SIGKILL); }
  } reaper{sidecar};
  EXPECT_EQ(*first, suspicious_line(sidecar, "self", "Process is being traced (status/TracerPid)"));

  // "debugger" is cooling now, so the next poll goes on to the later checks.
  const auto second = tracer.read_line(20s);
  ASSERT_TRUE(second);
  EXPECT_TRUE(is_compact_object(*second)) << *second;
  EXPECT_EQ(second->find(R"("name":"self")"), std::string::npos) << *second;
}

// The text that jq reads for `filter` in `line`, byte for byte; nothing when jq rejects the line.
std::optional<std::string> jq_text(const std::string& line, const std::string& filter) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("sidecar-line-" + std::to_string(getpid()) + ".json");
  std::ofstream(path) << line << '\n';
  FILE* pipe = popen(("jq -j '" + filter + "' " + path.string() + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char chunk[256];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    out.append(chunk, got);
  const int status = pclose(pipe);
  std::filesystem::remove(path);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

TEST(SidecarDetection, ANameHoldingALineSeparatorStaysOnOneLineAndParsesBack) {
  for (const std::string separator : {"\u2028", "\u2029", "\u0085"}) {
    const std::string name = "obs" + separator + "x";
    SCOPED_TRACE(name);
    std::mutex lock;
    std::condition_variable changed;
    pid_t tid = 0;
    bool done = false;
    std::thread renamed([&] {
      pthread_setname_np(pthread_self(), name.c_str());
      std::unique_lock held(lock);
      tid = gettid();
      changed.notify_all();
      changed.wait(held, [&] { return done; });
    });
    {
      std::unique_lock held(lock);
      changed.wait(held, [&] { return tid != 0; });
    }
    ChildProcess sidecar = start_sidecar();
    std::vector<std::string> seen;
    const auto line = wait_for_line(
        sidecar,
        [](const std::string& text) { return event_tag(text) == "suspicious_process_detected"; },
        10s, &seen);
    {
      std::lock_guard held(lock);
      done = true;
    }
    changed.notify_all();
    renamed.join();
    ASSERT_TRUE(line) << ::testing::PrintToString(seen);
    EXPECT_EQ(line->find(separator), std::string::npos) << *line;
    EXPECT_EQ(jq_text(*line, ".payload.name"), name) << *line;
    EXPECT_EQ(jq_text(*line, ".payload.pid"), std::to_string(tid)) << *line;
  }
}

}  // namespace
}  // namespace sidecar::testing
