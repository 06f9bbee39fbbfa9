#include "host/proc_parse.h"

#include <gtest/gtest.h>

#include "support/fake_root.h"

namespace sidecar {
namespace {

using testing::stat_record;
using testing::StatFields;

TEST(ParseStat, CommandNamesEndAtTheLastClosingParenthesis) {
  struct Case {
    std::string name_in_record;
    std::string expected_name;
  };
  const Case cases[] = {
      {"bash", "bash"},
      {"a) b", "a) b"},
      {"Web Content", "Web Content"},
      {"(sd-pam)", "(sd-pam)"},
      {") S 1 2 3", ") S 1 2 3"},
      {"", ""},
      {"line\nbreak", "line\nbreak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name_in_record);
    const std::string record = stat_record(42, {c.name_in_record, 'S', 1});
    const auto stat = parse_stat(record);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->name, c.expected_name);
    EXPECT_EQ(stat->state, "S");
    EXPECT_EQ(stat->parent_pid, 1);
    EXPECT_EQ(stat->start_ticks, 1000U);
    EXPECT_EQ(stat->num_threads, 1);
  }
}

TEST(ParseStat, FieldsTheTableReads) {
  const std::string record = stat_record(7, {"kworker/0:1", 'I', 0, 0x04208040, 1, 123456789});
  const auto stat = parse_stat(record);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->parent_pid, std::nullopt);  // ppid 0 is no parent
  EXPECT_NE(stat->flags & kernel_thread_flag, 0U);
  EXPECT_EQ(stat->start_ticks, 123456789U);
}

TEST(ParseStat, MemoryLayoutFieldsOrZeroWhereMissingOrHidden) {
  // A real record of a process the reader may inspect.
  const auto real = parse_stat(
      "12345 (Web Content) S 1200 1200 1200 0 -1 4194624 61077 0 3 0 1131 402 0 0 20 0 31 0 "
      "89617 3079438336 64338 18446744073709551615 94208393322496 94208393950016 "
      "140724402093808 0 0 0 0 16781312 1082130428 0 0 0 17 1 0 0 0 0 0 94208394008432 "
      "94208394009616 94208408489984 140724402096802 140724402096861 140724402096861 "
      "140724402098143 0\n");
  ASSERT_TRUE(real);
  EXPECT_EQ(real->layout, (StatRecord::Layout{94208393322496, 94208393950016, 140724402093808,
                                              140724402096802, 140724402096861}));
  // The same fields as another user sees them, and a record that ends after field 24.
  testing::StatFields hidden{"sshd"};
  hidden.layout = {};
  const auto other = parse_stat(stat_record(9, hidden));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->layout, StatRecord::Layout{});
  const auto short_record =
      parse_stat("12 (init) S 1 10 10 0 -1 0 120 0 0 0 5 3 0 0 20 0 1 0 1000 10000000 500");
  ASSERT_TRUE(short_record);
  EXPECT_EQ(short_record->layout, StatRecord::Layout{});
}

TEST(ParseStat, RecordsThatDoNotParse) {
  const char* const cases[] = {
      "",
      "12",
      "12(init)",
      "12 init S 1",
      "12) (init S 1 2 3",
      "12 (init) S 1 2 3",  // fewer than 24 fields
      "12 (init) S 1 10 10 0 -1 flags 120 0 0 0 5 3 0 0 20 0 1 0 1000 10000000 500",
      "12 (init) S 1 10 10 0 -1 0 120 0 0 0 5 3 0 0 20 0 1 0 -5 10000000 500",
  };
  for (const char* record : cases) {
    SCOPED_TRACE(record);
    EXPECT_FALSE(parse_stat(record));
  }
}

TEST(RunState, EveryLetter) {
  struct Case {
    char32_t letter;
    RunState::Kind kind;
  };
  const Case cases[] = {
      {U'I', RunState::Idle},    {U'R', RunState::Running}, {U'S', RunState::Sleeping},
      {U'T', RunState::Stopped}, {U'Z', RunState::Zombie},  {U't', RunState::TracingStop},
      {U'X', RunState::Dead},    {U'x', RunState::Dead},    {U'K', RunState::Wakekill},
      {U'W', RunState::Waking},  {U'P', RunState::Parked},  {U'D', RunState::DiskSleep},
      {U'Q', RunState::Unknown}, {U's', RunState::Unknown}, {U'\u00e9', RunState::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c.letter));
    const RunState state = RunState::from_letter(c.letter);
    EXPECT_EQ(state.kind, c.kind);
    EXPECT_EQ(state.code, c.letter);
  }
  EXPECT_EQ(RunState::from_letter(U'Q').code, 81U);
}

TEST(SplitCmdline, ArgumentsEndAtNulBytes) {
  using namespace std::string_literals;
  struct Case {
    std::string bytes;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a\0\0b\0"s, {"a", "b"}},
      {" x \0"s, {"x"}},
      {"a\0b"s, {"a"}},
      {"no nul at all"s, {}},
      {""s, {}},
      {"\0\0\0"s, {}},
      {"\t\n \0"s, {}},
      {"/usr/bin/python3\0-m\0interview coder\0"s, {"/usr/bin/python3", "-m", "interview coder"}},
      {"\u3000wide\u00a0\0"s, {"wide"}},
      {"obs\xff\0"s, {"obs\ufffd"}},
      {"\xe2\x82\0"s, {"\ufffd"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(split_cmdline(c.bytes), c.expected);
  }
}

TEST(ParseStatus, NamespacesAndSeccompFromTheirFirstLines) {
  struct Case {
    std::string text;
    std::size_t namespace_ids;
    bool seccomp_filter;
  };
  const Case cases[] = {
      {"Name:\tx\nNSpid:\t4858\nSeccomp:\t0\n", 1, false},
      {"Name:\tx\nNSpid:\t4858\t1\n", 2, false},
      {"Name:\tx\n", 0, false},
      {"NSpid:\n", 0, false},
      {"NSpid:\t1\nNSpid:\t1\t2\n", 1, false},  // the first line decides
      {"Seccomp:\t0\nSeccomp_filters:\t0\n", 0, false},
      {"Seccomp:\t1\n", 0, false},  // strict mode cannot even open
      {"NoNewPrivs:\t1\nSeccomp:\t2\nSeccomp_filters:\t1\n", 0, true},
      {"Seccomp:\t0\nSeccomp:\t2\n", 0, false},
      {"Seccomp:\n", 0, false},
      // A name is the only free text of a status file and comes first: it cannot end a line
      // early.
      {"Name:\tSeccomp:\t2\nSeccomp:\t0\n", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const StatusRecord status = parse_status(c.text);
    EXPECT_EQ(status.namespace_ids, c.namespace_ids);
    EXPECT_EQ(status.seccomp_filter, c.seccomp_filter);
  }
  EXPECT_EQ(parse_status("Name:\tx\xff\nTracerPid:\t812\nNSpid:\t9\n").tracer_pid, 812U);
}

TEST(ParseMountLine, FieldsAroundTheSeparator) {
  const auto proc = parse_mount_line(
      "22 28 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw,hidepid=2");
  ASSERT_TRUE(proc);
  EXPECT_EQ(proc->mount_point, "/proc");
  EXPECT_EQ(proc->options, "rw,nosuid,nodev,noexec,relatime");
  EXPECT_EQ(proc->type, "proc");
  EXPECT_EQ(proc->super_options, "rw,hidepid=2");

  // Escaped spaces, tabs, line feeds and backslashes; an escape cut short stays as it is.
  const auto escaped = parse_mount_line("30 22 0:3 / /a\\040b\\011c\\012d\\134e\\04 rw - tmpfs t");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->mount_point, "/a b\tc\nd\\e\\04");
  EXPECT_EQ(escaped->type, "tmpfs");
  EXPECT_EQ(escaped->super_options, "");

  const auto no_separator = parse_mount_line("30 22 0:3 / /x rw shared:1");
  ASSERT_TRUE(no_separator);
  EXPECT_EQ(no_separator->type, "");
  EXPECT_FALSE(parse_mount_line("30 22 0:3 / /x"));
  EXPECT_FALSE(parse_mount_line(""));
}

}  // namespace
}  // namespace sidecar
