// The real binary against real processes on this machine. These tests run one at a time: the
// processes one test starts would be findings for the sidecars of the others.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/command.h"
#include "support/named_thread.h"
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
      sidecar, equals(suspicious_line(recorder.pid(), "obs", "Screen Recorder")), 60s, &seen))
      << ::testing::PrintToString(seen);
  std::filesystem::remove_all(dir);
}

// A folder of its own for a test's programs, removed when the object goes.
struct ProgramDir {
  std::filesystem::path path;
  explicit ProgramDir(const std::string& tag)
      : path(std::filesystem::temp_directory_path() /
             ("sidecar-" + tag + "-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(path);
  }
  ~ProgramDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  // A copy of `program` named `name`, executable by its owner.
  std::string copy(const std::string& program, const std::string& name) const {
    const auto to = path / name;
    std::filesystem::copy_file(program, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms::owner_all);
    return to.string();
  }
};

TEST(SidecarDetection, ANewerDecoyThatCoolsDoesNotHideAnOlderRecorder) {
  ProgramDir dir("decoy");
  ChildOptions options;
  options.args = {"30"};
  ChildProcess recorder(dir.copy("/bin/sleep", "obs"), options);
  std::this_thread::sleep_for(50ms);
  // Newer than the recorder, so first in the table: every GTK program has such a thread.
  NamedThread decoy("gdbus");
  ChildProcess sidecar = start_sidecar();
  std::vector<std::string> seen;
  // Hidden, it would wait for the decoy's cooldown of a minute: the bound only catches a hang.
  EXPECT_TRUE(wait_for_line(
      sidecar, equals(suspicious_line(recorder.pid(), "obs", "Screen Recorder")), 40s, &seen))
      << ::testing::PrintToString(seen);
  EXPECT_NE(std::find(seen.begin(), seen.end(), suspicious_line(decoy.id(), "gdbus", "Debugger")),
            seen.end())
      << ::testing::PrintToString(seen);
}

TEST(SidecarDetection, ARenamedRecorderIsFoundByItsProgramFile) {
  ProgramDir dir("renamed");
  // Started through a symbolic link with an innocent name: the kernel names it after the link.
  const std::string obs = dir.copy("/bin/sleep", "obs");
  std::filesystem::create_symlink(obs, dir.path / "notes");
  ChildOptions sleep_options;
  sleep_options.args = {"30"};
  ChildProcess linked((dir.path / "notes").string(), sleep_options);
  // Renamed from inside, as a preloaded library could.
  std::filesystem::create_directories(dir.path / "bin");
  const std::string renaming = dir.copy(SIDECAR_RENAMER, "bin/obs");
  ChildOptions rename_options;
  rename_options.args = {"kworker/u8:1"};
  ChildProcess renamed(renaming, rename_options);

  ChildProcess sidecar = start_sidecar();
  std::set<std::string> missing = {
      suspicious_line(linked.pid(), "notes", "Screen Recorder"),
      suspicious_line(renamed.pid(), "kworker/u8:1", "Screen Recorder")};
  std::vector<std::string> seen;
  wait_for_line(
      sidecar, [&](const std::string& line) { return missing.erase(line) && missing.empty(); }, 40s,
      &seen);
  EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing) << " not in "
                               << ::testing::PrintToString(seen);
}

TEST(SidecarDetection, AThreadThatRenamesItselfIsReportedUnderItsThreadId) {
  // Named before the sidecar's first look, and named as it starts while the sidecar runs.
  for (const bool before : {true, false}) {
    SCOPED_TRACE(before ? "before" : "while running");
    std::optional<NamedThread> renamed;
    if (before) renamed.emplace("zoom-share");
    ChildProcess sidecar = start_sidecar();
    ASSERT_TRUE(sidecar.read_line(30s));
    if (!before) renamed.emplace("zoom-share");
    std::vector<std::string> seen;
    EXPECT_TRUE(wait_for_line(
        sidecar, equals(suspicious_line(renamed->id(), "zoom-share", "Conferencing Tool")), 60s,
        &seen))
        << ::testing::PrintToString(seen);
  }
}

TEST(SidecarDetection, ALauncherThatExecutesItsInterpreterAgainIsJudgedOnItsNewArguments) {
  const std::string python = "/usr/bin/python3";
  if (access(python.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << python;
  const auto dir =
      std::filesystem::temp_directory_path() / ("sidecar-launcher-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto launcher = dir / "launcher.py";
  // Neither the path nor the first arguments hold a term; the program it executes does.
  std::ofstream(launcher) << "import os, sys, time\n"
                             "time.sleep(2)\n"
                             "print('exec', flush=True)\n"
                             "os.execv(sys.executable, [sys.executable, '-c', "
                             "'import time; time.sleep(30)', '--model', 'parakeet'])\n";
  ChildProcess sidecar = start_sidecar();
  ASSERT_TRUE(sidecar.read_line(30s));
  ChildOptions options;
  options.args = {launcher.string()};
  ChildProcess interpreter(python, options);
  ASSERT_EQ(interpreter.read_line(30s), "exec");
  const long polls_before = voluntary_switches(sidecar.pid());
  std::vector<std::string> seen;
  const auto line = wait_for_line(
      sidecar, [&](const std::string& text) { return is_about(text, interpreter.pid()); }, 60s,
      &seen);
  ASSERT_TRUE(line) << ::testing::PrintToString(seen);
  // The new program is seen on the next poll or the one after, not on the rotation through
  // hidden images (every nine).
  EXPECT_LE(voluntary_switches(sidecar.pid()) - polls_before, 3);
  EXPECT_NE(line->find(R"("owner_name":"python3")"), std::string::npos) << *line;
  std::filesystem::remove_all(dir);
}

TEST(SidecarDetection, AProgramWhoseMainThreadHasEndedIsStillJudgedOnItsArguments) {
  const std::string python = "/usr/bin/python3";
  if (access(python.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << python;
  // The main thread ends with pthread_exit while a worker runs on: the process is a zombie whose
  // own folder shows no arguments.
  ChildOptions options;
  options.args = {"-c",
                  "import ctypes, threading, time\n"
                  "threading.Thread(target=time.sleep, args=(30,)).start()\n"
                  "print('ended', flush=True)\n"
                  "ctypes.CDLL(None).pthread_exit(None)\n",
                  "--mode", "ultracode"};
  ChildProcess program(python, options);
  ASSERT_EQ(program.read_line(10s), "ended");
  ChildProcess sidecar = start_sidecar();
  std::vector<std::string> seen;
  EXPECT_TRUE(wait_for_line(
      sidecar,
      [&](const std::string& line) {
        // The process, or one of its threads, which run its program.
        std::error_code error;
        for (std::filesystem::directory_iterator
                 it("/proc/" + std::to_string(program.pid()) + "/task", error),
             end;
             !error && it != end; it.increment(error)) {
          if (is_about(line, std::atoi(it->path().filename().c_str()))) return true;
        }
        return false;
      },
      60s, &seen))
      << ::testing::PrintToString(seen);
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
  EXPECT_TRUE(wait_for_line(sidecar, equals(expected), 60s, &seen))
      << ::testing::PrintToString(seen);
}

TEST(SidecarDetection, AStreamOfFreshNamesDoesNotStarveAnAssistantOrTheHeartbeat) {
  ChildOptions options;
  options.args = {"-c", "sleep 60; true", "interviewcoder"};
  ChildProcess assistant("/bin/bash", options);
  ChildProcess sidecar = start_sidecar();
  // A thread of a new name for every line the sidecar writes: each poll has a fresh finding.
  std::vector<std::unique_ptr<NamedThread>> stream;
  stream.push_back(std::make_unique<NamedThread>("zoom-0"));
  std::vector<std::string> seen;
  bool reported = false;
  std::size_t beats = 0;
  while (seen.size() < 12 && !(reported && beats >= 2)) {
    const auto line = sidecar.read_line(60s);  // only a hang takes this long
    ASSERT_TRUE(line) << ::testing::PrintToString(seen);
    seen.push_back(*line);
    reported = reported || is_about(*line, assistant.pid());
    if (event_tag(*line) == "heartbeat") ++beats;
    stream.push_back(std::make_unique<NamedThread>("zoom-" + std::to_string(stream.size())));
  }
  // The machine's own findings (a VM, a recorder beside the tests) take turns too, so a few
  // lines may come first; a starved step would never come.
  EXPECT_TRUE(reported) << ::testing::PrintToString(seen);
  EXPECT_GE(beats, 2U) << ::testing::PrintToString(seen);
  std::size_t fresh = 0;
  for (const auto& line : seen) fresh += line.find(R"("name":"zoom-)") != std::string::npos;
  EXPECT_GE(fresh, 3U) << ::testing::PrintToString(seen);
}

TEST(SidecarDetection, UnderStraceItReportsItselfFirstThenLetsTheNextChecksThrough) {
  ChildOptions options;
  options.args = {"-f", "-o", "/dev/null", SIDECAR_BINARY};
  ChildProcess tracer("/usr/bin/strace", options);
  const auto first = tracer.read_line(60s);
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
  const auto second = tracer.read_line(60s);
  ASSERT_TRUE(second);
  EXPECT_TRUE(is_compact_object(*second)) << *second;
  EXPECT_EQ(second->find(R"("name":"self")"), std::string::npos) << *second;
}

// The text that jq reads for `filter` in `line`, byte for byte; nothing when jq rejects the line.
std::optional<std::string> jq_text(const std::string& line, const std::string& filter) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("sidecar-line-" + std::to_string(getpid()) + ".json");
  std::ofstream(path) << line << '\n';
  const auto result = run_command("jq -j '" + filter + "' " + path.string() + " 2>/dev/null");
  std::filesystem::remove(path);
  if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0) return std::nullopt;
  return result.output;
}

TEST(SidecarDetection, ANameHoldingALineSeparatorStaysOnOneLineAndParsesBack) {
  for (const std::string separator : {"\u2028", "\u2029", "\u0085"}) {
    const std::string name = "obs" + separator + "x";
    SCOPED_TRACE(name);
    NamedThread renamed(name);
    ChildProcess sidecar = start_sidecar();
    std::vector<std::string> seen;
    const auto line = wait_for_line(
        sidecar, [&](const std::string& text) { return is_about(text, renamed.id()); }, 60s, &seen);
    ASSERT_TRUE(line) << ::testing::PrintToString(seen);
    EXPECT_EQ(line->find(separator), std::string::npos) << *line;
    EXPECT_EQ(jq_text(*line, ".payload.name"), name) << *line;
    EXPECT_EQ(jq_text(*line, ".payload.pid"), std::to_string(renamed.id())) << *line;
  }
}

}  // namespace
}  // namespace sidecar::testing
