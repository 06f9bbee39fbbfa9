// The real binary, started as a host would start it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/command.h"
#include "support/sidecar_lines.h"

namespace sidecar::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* start_lines =
    "[sidecar] Starting Watchdog Sidecar...\n"
    "[linux-watchdog] LinuxWatchdog started monitoring.\n";

ChildProcess start(ChildOptions options = {}) { return start_sidecar(options); }

// Every line parses with an independent JSON parser as an object with "event" then "payload".
void expect_valid_json_lines(const std::vector<std::string>& lines) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("sidecar-lines-" + std::to_string(getpid()) + ".jsonl");
  {
    std::ofstream file(path);
    for (const auto& line : lines) file << line << '\n';
  }
  const std::string command =
      "jq -e -c 'keys_unsorted == [\"event\",\"payload\"] and (.event | type) == \"string\"' " +
      path.string() + " | grep -vc '^true$'";
  const auto result = run_command(command);
  std::filesystem::remove(path);
  EXPECT_EQ(result.output, "0\n") << "lines that jq rejects or that are not events";
  EXPECT_TRUE(WIFEXITED(result.status));
}

long long heartbeat_millis(const std::string& line) {
  const auto at = line.find(R"("timestamp":)");
  return std::atoll(line.c_str() + at + 12);
}

TEST(Sidecar, StartLinesFirstThenCompactJsonLinesWithAHeartbeatAboutEveryFiveSeconds) {
  ChildOptions options;
  options.merge_err_into_out = true;
  ChildProcess sidecar = start(options);

  EXPECT_EQ(sidecar.read_line(30s), "[sidecar] Starting Watchdog Sidecar...");
  EXPECT_EQ(sidecar.read_line(30s), "[linux-watchdog] LinuxWatchdog started monitoring.");

  std::vector<std::string> lines;
  std::vector<std::size_t> beats;                                // indexes of heartbeat lines
  const auto give_up = std::chrono::steady_clock::now() + 120s;  // only a hang takes this long
  while (beats.size() < 3 && std::chrono::steady_clock::now() < give_up) {
    bool complete = false;
    auto line =
        sidecar.read_line(give_up - std::chrono::steady_clock::now() > 0s ? 1s : 0s, &complete);
    if (!line) continue;
    ASSERT_TRUE(complete);
    ASSERT_TRUE(is_compact_object(*line)) << *line;
    if (event_tag(*line) == "heartbeat") beats.push_back(lines.size());
    lines.push_back(*line);
  }
  ASSERT_EQ(beats.size(), 3U);
  expect_valid_json_lines(lines);
  for (std::size_t i = 1; i < beats.size(); ++i) {
    const long long gap = heartbeat_millis(lines[beats[i]]) - heartbeat_millis(lines[beats[i - 1]]);
    SCOPED_TRACE(lines[beats[i]]);
    EXPECT_GE(gap, 4900);
    // Findings reported between two heartbeats postpone the second one.
    if (beats[i] == beats[i - 1] + 1) {
      EXPECT_LE(gap, 9000);
    }
  }
  const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  EXPECT_NEAR(static_cast<double>(heartbeat_millis(lines[beats.back()])),
              static_cast<double>(now_ms), 3000.0);
}

TEST(Sidecar, ArgumentsAreIgnored) {
  ChildOptions options;
  options.args = {"--help", "-v", "two words", "", "--version"};
  ChildProcess sidecar = start(options);
  const auto line = sidecar.read_line(30s);
  ASSERT_TRUE(line);
  EXPECT_TRUE(is_compact_object(*line)) << *line;
  EXPECT_FALSE(event_tag(*line).empty());
  EXPECT_TRUE(sidecar.running());
  kill(sidecar.pid(), SIGTERM);
  ASSERT_TRUE(sidecar.wait_for_exit(30s));
  EXPECT_EQ(sidecar.read_err(2s), start_lines);
}

TEST(Sidecar, KeepsPollingSilentlyAfterTheReaderOfStdoutHasGone) {
  ChildProcess sidecar = start();
  ASSERT_TRUE(sidecar.read_line(30s));
  sidecar.close_out_reader();
  // Long enough for the next heartbeat to hit the closed pipe.
  std::this_thread::sleep_for(7s);
  EXPECT_TRUE(sidecar.running());
  kill(sidecar.pid(), SIGTERM);
  const auto status = sidecar.wait_for_exit(30s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
  EXPECT_EQ(sidecar.read_err(2s), start_lines);
}

TEST(Sidecar, SigtermEndsItAtOnceWithoutFurtherOutput) {
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    ChildProcess sidecar = start();
    ASSERT_TRUE(sidecar.read_line(30s));
    kill(sidecar.pid(), signal_number);
    const auto status = sidecar.wait_for_exit(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number);
    EXPECT_EQ(sidecar.read_line(1s), std::nullopt);
    EXPECT_EQ(sidecar.read_err(1s), start_lines);
  }
}

TEST(Sidecar, SigtermEndsItWhateverItInheritedAndSigintAndSighupKeepWhatTheStarterChose) {
  for (const bool blocked : {false, true}) {
    SCOPED_TRACE(blocked ? "ignored and blocked" : "ignored");
    ChildOptions options;
    options.ignored_signals = {SIGTERM, SIGINT, SIGHUP};
    if (blocked) options.blocked_signals = {SIGTERM, SIGINT, SIGHUP};
    ChildProcess sidecar = start(options);
    ASSERT_TRUE(sidecar.read_line(30s));
    // As under nohup or `trap '' INT`: the starter's choice holds for these two.
    kill(sidecar.pid(), SIGINT);
    kill(sidecar.pid(), SIGHUP);
    // Turns go on after them: a line is written (a heartbeat within five seconds at most).
    EXPECT_TRUE(sidecar.read_line(30s));
    EXPECT_TRUE(sidecar.running());
    kill(sidecar.pid(), SIGTERM);
    const auto status = sidecar.wait_for_exit(30s);
    ASSERT_TRUE(status) << "SIGTERM did not end the sidecar";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
  }
}

TEST(Sidecar, RunsWithStandardStreamsClosedOrRedirected) {
  const auto output_file = std::filesystem::temp_directory_path() /
                           ("sidecar-out-" + std::to_string(getpid()) + ".jsonl");
  struct Case {
    const char* name;
    Stream in, out, err;
  };
  const Case cases[] = {
      {"stdin closed", Stream::closed, Stream::pipe, Stream::pipe},
      {"stdout closed", Stream::pipe, Stream::closed, Stream::pipe},
      {"stderr closed", Stream::pipe, Stream::pipe, Stream::closed},
      {"all closed", Stream::closed, Stream::closed, Stream::closed},
      {"stdout on /dev/full", Stream::pipe, Stream::dev_full, Stream::pipe},
      {"stdout to a file", Stream::pipe, Stream::file, Stream::pipe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.in = c.in;
    options.out = c.out;
    options.err = c.err;
    options.output_path = output_file.string();
    ChildProcess sidecar = start(options);
    if (c.out == Stream::pipe) {
      const auto line = sidecar.read_line(30s);
      ASSERT_TRUE(line);
      EXPECT_TRUE(is_compact_object(*line));
    } else if (c.out == Stream::file) {
      // The first line is in the file while the sidecar still runs: nothing waits in a buffer.
      std::string text;
      for (int tries = 0; tries < 300 && text.find('\n') == std::string::npos; ++tries) {
        std::this_thread::sleep_for(100ms);
        std::ifstream file(output_file);
        text.assign(std::istreambuf_iterator<char>(file), {});
      }
      ASSERT_NE(text.find('\n'), std::string::npos);
      EXPECT_TRUE(is_compact_object(text.substr(0, text.find('\n'))));
    } else {
      std::this_thread::sleep_for(1500ms);
    }
    EXPECT_TRUE(sidecar.running());
    if (c.err == Stream::pipe) {
      kill(sidecar.pid(), SIGTERM);
      sidecar.wait_for_exit(30s);
      EXPECT_EQ(sidecar.read_err(2s), start_lines);
    }
  }
  std::filesystem::remove(output_file);
}

TEST(Sidecar, AStartLineThatCannotBeWrittenIsFatal) {
  for (const Stream err : {Stream::dev_full, Stream::dead_pipe}) {
    ChildOptions options;
    options.err = err;
    ChildProcess sidecar = start(options);
    const auto status = sidecar.wait_for_exit(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 101);
    EXPECT_EQ(sidecar.read_line(1s), std::nullopt);
  }
}

// What the virtual-machine probes should find here, worked out from the files the kernel
// publishes rather than the way the sidecar reads them.
std::vector<std::string> expected_vm_indicators() {
  std::vector<std::string> expected;
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("flags", 0) == 0) {
      if ((line + " ").find(" hypervisor ") != std::string::npos) {
        expected.emplace_back("cpuid_hypervisor");
      }
      break;
    }
  }

  std::vector<std::pair<int, std::string>> cards;  // interface index, address
  for (const auto& card : std::filesystem::directory_iterator("/sys/class/net")) {
    std::ifstream index(card.path() / "ifindex");
    std::ifstream address(card.path() / "address");
    int number = 0;
    std::string text;
    if (index >> number && address >> text) cards.emplace_back(number, text);
  }
  std::sort(cards.begin(), cards.end());
  for (auto& [index, text] : cards) {
    while (text.size() < 17) text += text.size() % 3 == 2 ? ":" : "0";
    text = text.substr(0, 17);
    if (text == "00:00:00:00:00:00") continue;
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::pair<const char*, const char*> prefixes[] = {
        {"00:05:69", "mac_oui_vmware"}, {"00:0C:29", "mac_oui_vmware"},
        {"00:1C:14", "mac_oui_vmware"}, {"00:50:56", "mac_oui_vmware"},
        {"08:00:27", "mac_oui_vbox"},   {"00:1C:42", "mac_oui_parallels"}};
    for (const auto& [prefix, indicator] : prefixes) {
      if (text.rfind(prefix, 0) == 0) {
        expected.emplace_back(indicator);
        break;
      }
    }
    break;
  }

  for (const auto& [file, label] :
       {std::pair{"product_name", "dmi_product:"}, std::pair{"sys_vendor", "dmi_vendor:"}}) {
    std::ifstream in(std::string("/sys/class/dmi/id/") + file);
    if (!in) continue;
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"vmware", "virtualbox", "kvm", "qemu"}) {
      if (lower.find(word) != std::string::npos) {
        const auto first = text.find_first_not_of(" \t\r\n");
        const auto last = text.find_last_not_of(" \t\r\n");
        expected.push_back(
            label + (first == std::string::npos ? "" : text.substr(first, last - first + 1)));
        break;
      }
    }
  }
  return expected;
}

TEST(Sidecar, FirstLineNamesThisMachinesVirtualisationSigns) {
  const auto expected = expected_vm_indicators();
  ChildProcess sidecar = start();
  const auto first = sidecar.read_line(30s);
  ASSERT_TRUE(first);
  if (expected.empty()) {
    EXPECT_NE(event_tag(*first), "vm_detected") << *first;
    return;
  }
  std::string list;
  for (const auto& indicator : expected) list += (list.empty() ? "\"" : ",\"") + indicator + "\"";
  EXPECT_EQ(*first,
            R"({"event":"vm_detected","payload":{"is_vm":true,"confidence":0.8,"indicators":[)" +
                list + "]}}");
}

// A parent process that starts the sidecar (output to /dev/null) and then waits to be killed.
// Only async-signal-safe calls run between fork and exec, since the test runner has threads.
struct Starter {
  pid_t starter = -1;
  pid_t sidecar = -1;

  Starter() {
    int report[2];
    if (pipe(report) != 0) return;
    starter = fork();
    if (starter == 0) {
      close(report[0]);
      const pid_t child = fork();
      if (child == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl(SIDECAR_BINARY, SIDECAR_BINARY, static_cast<char*>(nullptr));
        _exit(127);
      }
      (void)!write(report[1], &child, sizeof child);
      for (;;) pause();
    }
    close(report[1]);
    if (read(report[0], &sidecar, sizeof sidecar) != sizeof sidecar) sidecar = -1;
    close(report[0]);
  }
  ~Starter() {
    if (starter > 0) kill(starter, SIGKILL), waitpid(starter, nullptr, 0);
    if (sidecar > 0) kill(sidecar, SIGKILL), waitpid(sidecar, nullptr, 0);
  }

  // The sidecar's wait status once it has ended within `timeout`; this test process reaps it,
  // being the subreaper of its orphaned descendants.
  std::optional<int> sidecar_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      int status = 0;
      if (waitpid(sidecar, &status, WNOHANG) == sidecar) {
        sidecar = -1;
        return status;
      }
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
  }
};

TEST(Sidecar, EndsWhenTheProcessThatStartedItIsKilledEvenWhenStopped) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "running");
    Starter host;
    ASSERT_GT(host.sidecar, 0);
    // A host that stays keeps its sidecar.
    EXPECT_EQ(host.sidecar_exit(2500ms), std::nullopt);
    // A stopped process would hold a catchable signal until a SIGCONT that never comes.
    if (stopped) kill(host.sidecar, SIGSTOP);

    kill(host.starter, SIGKILL);
    waitpid(host.starter, nullptr, 0);
    host.starter = -1;
    const auto status = host.sidecar_exit(30s);
    ASSERT_TRUE(status) << "the sidecar outlived its host";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  }
}

}  // namespace
}  // namespace sidecar::testing
