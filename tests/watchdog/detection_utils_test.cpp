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

std::string label_of(std::string_view name) {
  const auto index = DetectionUtils::catalogue_match(name);
  if (!index) return "-";
  FakeRoot root;
  add_entry(root, "10", 10, {std::string(name)}, "", "");
  OpenFileBudget budget{4};
  const auto records =
      DetectionUtils::check_suspicious_processes(System::new_all(root.path(), &budget));
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

TEST(Lowercase, OnlyAsciiCapitalsKelvinAndDottedCapitalIChange) {
  std::string out;
  append_lowercase_for_matching(out, "AbZ \u212A \u0130 \u00c9 \u0414 \u1E9E");
  EXPECT_EQ(out, "abz k i\u0307 \u00c9 \u0414 \u1E9E");
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

class DetectionTableTest : public ::testing::Test {
 protected:
  FakeRoot root;
  OpenFileBudget budget{64};
};

TEST_F(DetectionTableTest, EveryMatchingEntryInTableOrderWithItsOwnName) {
  add_entry(root, "200", 200, {"gdbus", 'S', 1, 0, 1, 100}, "gdbus\0"s, "/usr/bin/gdbus");
  add_entry(root, "300", 300, {"obs", 'S', 1, 0, 1, 900}, "obs\0"s, "/usr/bin/obs");
  add_entry(root, "301", 301, {"obs", 'S', 1, 0, 1, 900}, "obs\0"s, "/usr/bin/obs");
  add_entry(root, "400", 400, {"bash", 'S', 1, 0, 1, 950}, "bash\0"s, "/usr/bin/bash");
  add_entry(root, "500", 500, {"Zoom", 'S', 1, 0, 2, 500}, "zoom\0"s, "/opt/zoom/zoom");
  add_entry(root, "500/task/501", 501, {"zoom", 'S', 1, 0x40, 2, 500}, "", "");

  const System system = System::new_all(root.path(), &budget);
  const auto records = DetectionUtils::check_suspicious_processes(system);
  const std::vector<SuspiciousProcessPayload> expected = {
      {301, "obs", "Screen Recorder"},    {300, "obs", "Screen Recorder"},
      {501, "zoom", "Conferencing Tool"}, {500, "Zoom", "Conferencing Tool"},
      {200, "gdbus", "Debugger"},
  };
  EXPECT_EQ(records, expected);
  EXPECT_FALSE(DetectionUtils::check_ai_assistants(system));
}

TEST_F(DetectionTableTest, FirstAssistantInTableOrderIncludingThreads) {
  add_entry(root, "600", 600, {"electron", 'S', 1, 0, 2, 100}, "/opt/cluely/cluely\0--hidden\0"s,
            "/opt/cluely/cluely");
  add_entry(root, "600/task/601", 601, {"Chrome_IOThread", 'S', 1, 0x40, 2, 200}, "", "");
  add_entry(root, "700", 700, {"vim", 'S', 1, 0, 1, 50}, "vim\0notes-on-cluely.txt\0"s,
            "/usr/bin/vim");
  const System system = System::new_all(root.path(), &budget);
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system),
            (AiAssistantMatch{601, "Chrome_IOThread"}));
}

TEST_F(DetectionTableTest, ThreadsShareTheirProcesssTextButMatchWithTheirOwnNames) {
  add_entry(root, "650", 650, {"electron", 'S', 1, 0, 2, 100}, "", "coder-bin");
  add_entry(root, "650/task/651", 651, {"interview", 'S', 1, 0x40, 2, 100}, "", "");
  const System system = System::new_all(root.path(), &budget);
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system), (AiAssistantMatch{651, "interview"}));
}

TEST_F(DetectionTableTest, ANewProgramImageIsJudgedAgain) {
  add_entry(root, "800", 800, {"sh", 'S', 1, 0, 1, 100}, "sh\0-c\0sleep 3; exec obs\0"s,
            "/usr/bin/dash");
  System system = System::new_all(root.path(), &budget);
  EXPECT_TRUE(DetectionUtils::check_suspicious_processes(system).empty());
  EXPECT_FALSE(DetectionUtils::check_ai_assistants(system));

  add_entry(root, "800", 800, {"obs", 'S', 1, 0, 1, 100}, "obs\0--profile=cluely\0"s,
            "/usr/bin/obs");
  system.refresh_all();
  EXPECT_EQ(DetectionUtils::check_suspicious_processes(system),
            (std::vector<SuspiciousProcessPayload>{{800, "obs", "Screen Recorder"}}));
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system), (AiAssistantMatch{800, "obs"}));
}

TEST_F(DetectionTableTest, ArgumentsReadLaterAreJudged) {
  add_entry(root, "900", 900, {"python3", 'D', 1, 0, 1, 100}, "python3\0interviewcoder.py\0"s,
            "/usr/bin/python3");
  System system = System::new_all(root.path(), &budget);
  EXPECT_FALSE(DetectionUtils::check_ai_assistants(system));  // arguments wait out the disk sleep
  root.write("900/stat", testing::stat_record(900, {"python3", 'S', 1, 0, 1, 100}));
  system.refresh_all();
  EXPECT_EQ(DetectionUtils::check_ai_assistants(system), (AiAssistantMatch{900, "python3"}));
}

}  // namespace
}  // namespace sidecar
