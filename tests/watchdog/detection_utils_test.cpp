#include "watchdog/detection/detection_utils.h"

#include <gtest/gtest.h>

#include "host/system.h"
#include "support/fake_root.h"

namespace sidecar {
namespace {

using namespace std::string_literals;
using testing::add_entry;
using testing::FakeRoot;
using testing::StatFields;

// An entry built in memory and judged as the process table would judge it. A thread passes its
// process's path and arguments, and `thread`.
Process entry(Pid pid, std::string name, std::optional<std::string> exe = std::nullopt,
              const Arguments& arguments = {}, bool thread = false) {
  const EntryJudge& judge = DetectionUtils::judge();
  const ImageVerdict image = judge.judge_image(exe ? &*exe : nullptr, arguments);
  Process made;
  made.pid = pid;
  made.name = std::move(name);
  made.verdict = judge.judge_entry(made.name, &image, !thread);
  return made;
}

std::vector<const Process*> pointers(const std::vector<Process>& entries) {
  std::vector<const Process*> out;
  for (const Process& e : entries) out.push_back(&e);
  return out;
}

std::string label_of(std::string_view name) {
  const std::vector<Process> entries = {entry(10, std::string(name))};
  const auto records = DetectionUtils::check_suspicious_processes(pointers(entries));
  if (!DetectionUtils::catalogue_match(name)) return records.empty() ? "-" : "?";
  return records.empty() ? "?" : records.front().reason;
}

TEST(Catalogue, SubstringsOfTheLowerCasedNameFirstPatternWins) {
  struct Case {
    std::string name;
    std::string label;
  };
  const Case cases[] = {
      {"gdb", "Debugger"},
      {"gdbus", "Debugger"},
      {"lldb-server", "Debugger"},
      {"ida64.exe", "Debugger"},
      {"Wireshark", "Packet Analyzer"},
      {"WIRESHARK", "Packet Analyzer"},
      {"wiresHAR\u212A", "Packet Analyzer"},  // the Kelvin sign lower-cases to k
      {"Fiddler", "Packet Analyzer"},
      {"obs", "Screen Recorder"},
      {"jobs", "Screen Recorder"},
      {"obs-zoom", "Screen Recorder"},
      {"ffmpeg-obs", "Screen Recorder"},
      {"wf-recorder", "Screen Recorder"},
      {"QuickTime Player", "Screen Recorder"},
      {"ZoomWebviewHost", "Conferencing Tool"},
      {"teams-for-linux", "Conferencing Tool"},
      {"Discord", "Conferencing Tool"},
      {"ffmpeg", "Media Tool"},
      {"vmtoolsd", "VM Tool"},
      {"VBoxService", "VM Tool"},
      {"prl_cc", "Parallels Tools"},
      {"prl_tools_srv", "Parallels Tools"},
      {"\u0130DA64", "-"},  // lower-cases to i, a combining dot, then da64: no "ida64"
      {"bash", "-"},
      {"o b s", "-"},
      {"", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(label_of(c.name), c.label);
  }
}

TEST(Denylist, TermsAcrossNamePathAndArguments) {
  struct Case {
    const char* why;
    std::string name;
    std::optional<std::string> exe;
    Arguments arguments;
    bool found;
  };
  const Case cases[] = {
      {"name", "Cluely", std::nullopt, {}, true},
      {"path", "electron", "/opt/Cluely/Cluely", {}, true},
      {"arguments only", "grep", "/usr/bin/grep", {"-r", "cluely", "."}, true},
      {"neighbouring arguments", "python3", "/usr/bin/python3", {"interview", "coder"}, true},
      {"name then path", "interview", "coder", {}, true},
      {"free-cluely is found by cluely", "x", std::nullopt, {"free-cluely"}, true},
      {"finalroundai by its beginning", "x", std::nullopt, {"FinalRoundAI"}, true},
      {"two spaces", "x", std::nullopt, {"final", "round", "ai"}, true},
      {"invalid path bytes", "x", "/opt/\xffghostly\xfe", {}, true},
      {"Kelvin sign in a path", "x", "/opt/loc\u212AedinAI", {}, true},
      {"a name alone", "cluel", std::nullopt, {}, false},
      {"from the name into the arguments", "the final round", std::nullopt, {"ai"}, true},
      {"open-interview then coder", "open-interview", std::nullopt, {"coder"}, true},
      {"nothing", "bash", "/usr/bin/bash", {"-c", "interview-coder"}, false},
      {"ultracode", "x", std::nullopt, {"--mode=UltraCode"}, true},
      {"parakeet", "Parakeet", std::nullopt, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(DetectionUtils::denylist_match(c.name, c.exe ? &*c.exe : nullptr, c.arguments),
              c.found);
  }
}

TEST(Rules, EveryMatchingEntryInTheOrderGivenWithItsOwnName) {
  const std::vector<Process> entries = {
      entry(301, "obs", "/usr/bin/obs", {"obs"}),
      entry(300, "obs", "/usr/bin/obs", {"obs"}),
      entry(400, "bash", "/usr/bin/bash", {"bash"}),
      entry(501, "zoom", "/opt/zoom/zoom", {"zoom"}),
      entry(500, "Zoom", "/opt/zoom/zoom", {"zoom"}),
      entry(200, "gdbus", "/usr/bin/gdbus", {"gdbus"}),
  };
  const std::vector<SuspiciousProcessPayload> expected = {
      {301, "obs", "Screen Recorder"},    {300, "obs", "Screen Recorder"},
      {501, "zoom", "Conferencing Tool"}, {500, "Zoom", "Conferencing Tool"},
      {200, "gdbus", "Debugger"},
  };
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(pointers(entries)), expected);
  EXPECT_TRUE(DetectionUtils::check_ai_assistants(pointers(entries)).empty());
  EXPECT_TRUE(DetectionUtils::check_suspicious_processes({}).empty());
  EXPECT_TRUE(DetectionUtils::check_ai_assistants({}).empty());
}

TEST(Rules, ARenamedProcessIsFoundByItsProgramFileUnderItsOwnName) {
  const std::vector<Process> entries = {
      entry(700, "notes", "/usr/bin/obs", {"notes"}),
      entry(701, "worker", "/usr/bin/obs", {"notes"}, true),  // a thread: its own name only
      entry(702, "kworker/u8:1", "/home/c/.local/bin/OBS (deleted)"),
      entry(703, "zoom", "/usr/bin/obs"),                    // the name decides first
      entry(704, "bash", "/usr/bin/bash", {"bash", "obs"}),  // arguments are not a program file
      entry(705, "kthreadd"),                                // no image at all
      entry(706, "notes", "/opt/obs-studio/bin/notes"),      // only the file's own name counts
  };
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(pointers(entries)),
            (std::vector<SuspiciousProcessPayload>{{700, "notes", "Screen Recorder"},
                                                   {702, "kworker/u8:1", "Screen Recorder"},
                                                   {703, "zoom", "Conferencing Tool"}}));
}

TEST(Rules, EveryAssistantInTheOrderGivenThreadsWithTheirOwnNames) {
  const Arguments cluely = {"/opt/cluely/cluely", "--hidden"};
  const std::vector<Process> entries = {
      entry(601, "Chrome_IOThread", "/opt/cluely/cluely", cluely),
      entry(600, "electron", "/opt/cluely/cluely", cluely),
      entry(700, "vim", "/usr/bin/vim", {"vim", "notes-on-cluely.txt"}),
  };
  EXPECT_EQ(
      DetectionUtils::check_ai_assistants(pointers(entries)),
      (std::vector<AiAssistantMatch>{{601, "Chrome_IOThread"}, {600, "electron"}, {700, "vim"}}));
  // A term may run from a thread's own name into its process's path.
  const std::vector<Process> split = {entry(651, "interview", "coder-bin")};
  EXPECT_EQ(DetectionUtils::check_ai_assistants(pointers(split)),
            (std::vector<AiAssistantMatch>{{651, "interview"}}));
}

TEST(Rules, ATermFarIntoLongArgumentsIsFoundFromASmallVerdict) {
  Arguments arguments = {"python3", std::string(150 * 1024, 'x') + " open-interview-coder"};
  const ImageVerdict image = DetectionUtils::judge().judge_image(nullptr, arguments);
  EXPECT_LE(image.head().size(), ImageVerdict::head_capacity);
  EXPECT_TRUE(DetectionUtils::denylist_match("python3", nullptr, arguments));
  arguments.back().back() = 'X';  // "coder" becomes "codeX": no term left
  EXPECT_FALSE(DetectionUtils::denylist_match("python3", nullptr, arguments));
}

// The rules' judge in the process table, over captured /proc fixtures.
class DetectionTableTest : public ::testing::Test {
 protected:
  FakeRoot root;
  OpenFileBudget budget{64};

  System table() { return System::new_all(root.path(), &DetectionUtils::judge(), &budget); }
};

TEST_F(DetectionTableTest, ANewProgramImageIsJudgedAgain) {
  add_entry(root, "800", 800, {"sh", 'S', 1, 0, 1, 100}, "sh\0-c\0sleep 3; exec obs\0"s,
            "/usr/bin/dash");
  StatFields python{"python3", 'S', 1, 0, 1, 100};
  add_entry(root, "801", 801, python, "python3\0launcher.py\0"s, "/usr/bin/python3");
  System system = table();
  EXPECT_TRUE(DetectionUtils::check_suspicious_processes(system.entries()).empty());
  EXPECT_TRUE(DetectionUtils::check_ai_assistants(system.entries()).empty());

  // 800 executes another program; 801 executes python3 again, with a term 150 KB into its new
  // arguments: the same name, a new memory layout.
  add_entry(root, "800", 800, {"obs", 'S', 1, 0, 1, 100}, "obs\0--profile=x\0"s, "/usr/bin/obs");
  python.layout = {0x9000, 0xa000, 0x7f0000, 0x7f0100, 0x7f0200};
  add_entry(root, "801", 801, python,
            "python3\0-c\0"s + std::string(150 * 1024, 'y') + " # LockedIn AI\0"s,
            "/usr/bin/python3");
  system.refresh_all();
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(system.entries()),
            (std::vector<SuspiciousProcessPayload>{{800, "obs", "Screen Recorder"}}));
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system.entries()),
            (std::vector<AiAssistantMatch>{{801, "python3"}}));
}

TEST_F(DetectionTableTest, ArgumentsReadLaterAndThreadsNamedLaterAreJudged) {
  add_entry(root, "900", 900, {"python3", 'D', 1, 0, 2, 100}, "python3\0interviewcoder.py\0"s,
            "/usr/bin/python3");
  add_entry(root, "900/task/901", 901, {"python3", 'S', 1, 0x40, 2, 100}, "", "");
  root.write("900/task/901/comm", "wf-recorder\n");
  System system = table();
  // The arguments wait out the disk sleep; the thread has not been read under its new name.
  EXPECT_TRUE(DetectionUtils::check_ai_assistants(system.entries()).empty());
  EXPECT_TRUE(DetectionUtils::check_suspicious_processes(system.entries()).empty());

  root.write("900/stat", testing::stat_record(900, {"python3", 'S', 1, 0, 2, 100}));
  system.refresh_all();
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system.entries()),
            (std::vector<AiAssistantMatch>{{901, "wf-recorder"}, {900, "python3"}}));
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(system.entries()),
            (std::vector<SuspiciousProcessPayload>{{901, "wf-recorder", "Screen Recorder"}}));
}

TEST_F(DetectionTableTest, AProcessRenamedFromInsideIsFoundByItsProgramFileItsThreadIsNot) {
  add_entry(root, "950", 950, {"kworker/u8:1", 'S', 1, 0, 2, 100}, "obs\0"s, "/usr/bin/obs");
  add_entry(root, "950/task/951", 951, {"worker", 'S', 1, 0x40, 2, 100}, "", "");
  System system = table();
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(system.entries()),
            (std::vector<SuspiciousProcessPayload>{{950, "kworker/u8:1", "Screen Recorder"}}));
}

}  // namespace
}  // namespace sidecar
