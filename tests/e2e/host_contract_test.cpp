// The host contract with real clients: every line that real runs write passes the published
// schema through the reference host reader, and parses with jq.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/command.h"
#include "support/named_thread.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;

const std::string node_host = std::string(SIDECAR_SOURCE_DIR) + "/examples/node-host";

std::filesystem::path temp_file(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("sidecar-" + std::to_string(getpid()) + "-" + name);
}

bool gone_or_zombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  return text.find(") Z ") != std::string::npos;
}

TEST(HostContract, TheSchemaRejectsMalformedLines) {
  const auto file = temp_file("lines.jsonl");
  {
    std::ofstream out(file);
    out << R"({"event":"heartbeat","payload":{"timestamp":1796857883439}})"
           "\n"
        << R"({"event":"heartbeat","payload":{}})"
           "\n"  // missing key
        << R"({"event":"heartbeat","payload":{"timestamp":1,"extra":2}})"
           "\n"  // extra key
        << R"({"event":"vm_detected","payload":{"is_vm":"yes","confidence":0.8,"indicators":[]}})"
           "\n"
        << R"({"event":"suspicious_process_detected","payload":{"pid":-1,"name":"obs","reason":"x"}})"
           "\n"
        << R"({"event":"suspicious_process_detected","payload":{"pid":4294967296,"name":"obs","reason":"x"}})"
           "\n"
        << R"({"event":"heartbeat"})"
           "\n"
        << R"({"event":"heartbeat","payload":{"timestamp":1},"more":1})"
           "\n"
        << R"({"event":"unknown","payload":{}})"
           "\n"
        << R"({"event":"error","payload":"x"})"
           "\n"
        << R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":null,"indicators":[]}})"
           "\n"
        << "not json\n";
  }
  const auto result = run_command("node " + node_host + "/validate.js " + file.string());
  std::filesystem::remove(file);
  std::vector<std::string> verdicts;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);)
    verdicts.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(verdicts,
            (std::vector<std::string>{"ok", "invalid", "invalid", "invalid", "invalid", "invalid",
                                      "invalid", "invalid", "invalid", "ok", "ok", "invalid"}))
      << result.output;
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
}

struct Scenario {
  const char* name;
  std::vector<std::string> command;
  // Starts the processes the run should report and returns the host summaries expected of it.
  std::function<std::vector<std::string>(std::vector<std::shared_ptr<void>>& keep)> setup;
};

TEST(HostContract, TheReferenceHostFramesLinesOnLineFeedOnly) {
  // One event whose name holds the three separators escaped, then raw, written in two pieces
  // that cut a raw separator in half; a heartbeat follows.
  const auto script = temp_file("separators.sh");
  std::ofstream(script)
      << R"(printf '{"event":"suspicious_process_detected","payload":{"pid":7,"name":"a\u2028b\u2029c\u0085d)"
         R"( \342\200\250e\342\200')"
         "\n"
      << R"(sleep 0.2; printf '\251f\302\205g","reason":"Screen Recorder"}}\n')"
         "\n"
      << R"(printf '{"event":"heartbeat","payload":{"timestamp":1}}\n'; sleep 30)"
         "\n";
  ChildOptions options;
  options.args = {"node", node_host + "/host.js", "/bin/sh", script.string()};
  ChildProcess host("/usr/bin/env", options);
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (lines.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    if (auto line = host.read_line(1s)) lines.push_back(*line);
  }
  ASSERT_EQ(lines.size(), 3U) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[1],
            "[suspicious_process_detected] Screen Recorder: "
            "a\u2028b\u2029c\u0085d \u2028e\u2029f\u0085g (pid 7)");
  EXPECT_EQ(lines[2].rfind("[heartbeat] ", 0), 0U) << lines[2];
  std::filesystem::remove(script);
}

TEST(HostContract, EveryLineOfRealRunsPassesTheReferenceReaderAndJq) {
  const auto obs_dir = temp_file("bin");
  std::filesystem::create_directories(obs_dir);
  std::filesystem::copy_file("/bin/sleep", obs_dir / "obs",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(obs_dir / "obs", std::filesystem::perms::owner_all);

  const Scenario scenarios[] = {
      {"recorder and assistant",
       {SIDECAR_BINARY},
       [&](auto& keep) {
         ChildOptions sleep_options;
         sleep_options.args = {"30"};
         auto recorder = std::make_shared<ChildProcess>((obs_dir / "obs").string(), sleep_options);
         ChildOptions shell_options;
         shell_options.args = {"-c", "sleep 30; true", "interviewcoder"};
         auto shell = std::make_shared<ChildProcess>("/bin/bash", shell_options);
         keep = {recorder, shell};
         return std::vector<std::string>{
             "[suspicious_process_detected] Screen Recorder: obs (pid " +
                 std::to_string(recorder->pid()) + ")",
             "[stealth_overlay_detected] AI assistant: bash (pid " + std::to_string(shell->pid()) +
                 "), running process matches AI-assistant denylist: 'bash'"};
       }},
      {"renamed thread",
       {SIDECAR_BINARY},
       [](auto& keep) {
         auto thread = std::make_shared<NamedThread>("zoom-share");
         keep = {thread};
         return std::vector<std::string>{
             "[suspicious_process_detected] Conferencing Tool: "
             "zoom-share (pid " +
             std::to_string(thread->id()) + ")"};
       }},
      {"traced",
       {"/usr/bin/strace", "-f", "-o", "/dev/null", SIDECAR_BINARY},
       [](auto&) { return std::vector<std::string>{"is being traced"}; }},
  };

  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    std::vector<std::shared_ptr<void>> keep;
    auto wanted = scenario.setup(keep);
    const auto raw = temp_file("raw.jsonl");
    std::filesystem::remove(raw);

    ChildOptions options;
    options.args = {"node", node_host + "/host.js", "--raw", raw.string()};
    options.args.insert(options.args.end(), scenario.command.begin(), scenario.command.end());
    ChildProcess host("/usr/bin/env", options);

    const auto started = host.read_line(60s);
    ASSERT_TRUE(started);
    ASSERT_EQ(started->rfind("[host] sidecar started (pid ", 0), 0U) << *started;
    const pid_t started_pid = std::stoi(started->substr(started->find("pid ") + 4));

    std::vector<std::string> seen;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!wanted.empty() && std::chrono::steady_clock::now() < deadline) {
      const auto line = host.read_line(1s);
      if (!line) continue;
      seen.push_back(*line);
      EXPECT_EQ(line->rfind("[invalid]", 0), std::string::npos) << *line;
      std::erase_if(wanted,
                    [&](const std::string& w) { return line->find(w) != std::string::npos; });
    }
    EXPECT_TRUE(wanted.empty()) << "missing " << ::testing::PrintToString(wanted) << " in "
                                << ::testing::PrintToString(seen);

    // The sidecar itself: the started process, or the child of strace.
    pid_t sidecar = started_pid;
    std::ifstream children("/proc/" + std::to_string(started_pid) + "/task/" +
                           std::to_string(started_pid) + "/children");
    if (scenario.command.front() != SIDECAR_BINARY) children >> sidecar;

    kill(host.pid(), SIGTERM);
    EXPECT_TRUE(host.wait_for_exit(30s));
    // The host stops what it started with SIGTERM; strace leaves its tracee behind.
    if (sidecar != started_pid) kill(sidecar, SIGKILL);
    bool stopped = false;
    for (int tries = 0; tries < 1500 && !stopped; ++tries) {
      stopped = gone_or_zombie(started_pid) && gone_or_zombie(sidecar);
      if (!stopped) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(stopped);

    // An independent parser: every line is an object with the two members.
    const auto jq = run_command("jq -c 'keys_unsorted == [\"event\",\"payload\"]' " + raw.string());
    std::ifstream raw_in(raw);
    std::size_t count = 0;
    for (std::string line; std::getline(raw_in, line);) ++count;
    EXPECT_GT(count, 0U);
    EXPECT_EQ(jq.status, 0);
    std::string all_true;
    for (std::size_t i = 0; i < count; ++i) all_true += "true\n";
    EXPECT_EQ(jq.output, all_true);
    std::filesystem::remove(raw);
  }
  std::filesystem::remove_all(obs_dir);
}

}  // namespace
}  // namespace sidecar::testing
