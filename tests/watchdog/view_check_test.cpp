#include "watchdog/linux/view_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "events/json_writer.h"
#include "support/fake_root.h"
#include "support/fixture_machine.h"
#include "watchdog/linux/linux_watchdog.h"

namespace sidecar {
namespace {

TEST(MountTableMasks, ProcAloneOnItsRootIsNormalAndEverythingThatHidesProcessesIsNot) {
  const std::string root = "28 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n";
  const std::string proc = "22 28 0:21 / /proc rw,nosuid,relatime shared:12 - proc proc rw\n";
  struct Case {
    std::string name;
    std::string table;
    bool masks;
  };
  const Case cases[] = {
      {"normal, binfmt_misc under /proc/sys",
       root + proc +
           "40 22 0:41 / /proc/sys/fs/binfmt_misc rw,relatime shared:24 - binfmt_misc "
           "binfmt_misc rw\n",
       false},
      {"a container's masks on files under /proc",
       root + proc + "50 22 0:5 /null /proc/kcore rw,nosuid - devtmpfs udev rw\n" +
           "51 22 0:60 / /proc/acpi ro,relatime - tmpfs tmpfs ro\n",
       false},
      {"hidepid=0 and hidepid=off hide nothing",
       root + "22 28 0:21 / /proc rw,relatime - proc proc rw,hidepid=0\n", false},
      {"hidepid=off", root + "22 28 0:21 / /proc rw,relatime - proc proc rw,hidepid=off\n", false},
      {"hidepid=invisible",
       root + "22 28 0:21 / /proc rw,relatime - proc proc rw,hidepid=invisible\n", true},
      {"hidepid=2 among the mount's own options",
       root + "22 28 0:21 / /proc rw,relatime,hidepid=2 - proc proc rw\n", true},
      {"subset=pid", root + "22 28 0:21 / /proc rw,relatime - proc proc rw,subset=pid\n", true},
      {"a bind mount on a process's folder",
       root + proc + "60 22 254:0 /tmp/empty /proc/1234 rw,relatime - ext4 /dev/vda rw\n", true},
      {"a file mounted under a process's folder",
       root + proc + "60 22 0:22 /x /proc/1234/status rw - tmpfs tmpfs rw\n", true},
      {"on /proc/self", root + proc + "60 22 0:22 / /proc/self rw - tmpfs tmpfs rw\n", true},
      {"on /proc/thread-self", root + proc + "60 22 0:22 / /proc/thread-self rw - tmpfs tmpfs rw\n",
       true},
      {"two proc mounts on the proc root",
       root + proc + "61 22 0:62 / /proc rw,relatime - proc proc rw\n", true},
      {"a tmpfs over the proc root", root + proc + "61 22 0:62 / /proc rw - tmpfs none rw\n", true},
      {"nothing on the proc root", root, true},
      {"an empty table", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(mount_table_masks(c.table, "/proc"), c.masks);
  }
  // Mount points are written with octal escapes, and a proc root may be given with a slash.
  EXPECT_FALSE(mount_table_masks("22 1 0:21 / /my\\040proc rw - proc proc rw\n", "/my proc/"));
  EXPECT_TRUE(mount_table_masks(
      "22 1 0:21 / /my\\040proc rw - proc proc rw\n30 22 0:3 / /my\\040proc/7 rw - tmpfs t rw\n",
      "/my proc"));
}

// A fixture machine with a full view, whose one condition a case then spoils.
struct Machine {
  testing::FakeRoot proc;
  Instant mono{1000, 0};
  Platform platform = testing::physical_machine(proc.path(), mono);

  Machine() { testing::add_full_view(proc, 42); }
};

std::string first_line(LinuxWatchdog& watchdog) {
  const auto event = watchdog.poll();
  return event ? to_json(*event) : "(none)";
}

std::string self_line(std::string_view reason) {
  return R"({"event":"suspicious_process_detected","payload":{"pid":42,"name":"self","reason":")" +
         std::string(reason) + "\"}}";
}

TEST(LinuxWatchdogView, EachConditionAloneIsAFindingAboutItself) {
  using Spoil = std::function<void(Machine&)>;
  const auto status = [](std::string text) {
    return [text](Machine& m) { m.proc.write("self/status", text); };
  };
  struct Case {
    std::string name;
    Spoil spoil;
    std::string_view reason;
  };
  const Case cases[] = {
      {"the proc root is not there",
       [](Machine& m) { m.platform.proc_root = m.proc.path() / "gone"; }, unreadable_table_reason},
      {"its own entry is missing", [](Machine& m) { m.proc.remove("42"); },
       unreadable_table_reason},
      {"its status file is unreadable", [](Machine& m) { m.proc.remove("self/status"); },
       unreadable_table_reason},
      {"another PID namespace",
       [](Machine& m) {
         m.platform.inode_of = [](const std::string&) { return std::uint64_t{4026532301}; };
       },
       pid_namespace_reason},
      {"two NSpid values", status("Name:\tw\nNSpid:\t4858\t1\nTracerPid:\t0\n"),
       pid_namespace_reason},
      {"the proc root is not proc",
       [](Machine& m) {
         m.platform.file_system_type = [](const std::string&) { return std::uint64_t{0x01021994}; };
       },
       masked_table_reason},
      {"hidepid",
       [](Machine& m) {
         m.proc.write("self/mountinfo", "22 1 0:21 / " + m.proc.path().string() +
                                            " rw - proc proc rw,hidepid=invisible\n");
       },
       masked_table_reason},
      {"a mount on its own folder",
       [](Machine& m) {
         m.proc.write("self/mountinfo", testing::normal_mount_table(m.proc.path()) +
                                            "70 22 0:9 / " + m.proc.path().string() +
                                            "/42 rw - tmpfs t rw\n");
       },
       masked_table_reason},
      {"no mount table", [](Machine& m) { m.proc.remove("self/mountinfo"); }, masked_table_reason},
      {"no kernel thread", [](Machine& m) { m.proc.remove("2"); }, masked_table_reason},
      {"a seccomp filter", status("Name:\tw\nNSpid:\t42\nTracerPid:\t0\nSeccomp:\t2\n"),
       seccomp_reason},
  };
  {
    Machine control;
    LinuxWatchdog watchdog(control.platform);
    EXPECT_EQ(first_line(watchdog),
              R"({"event":"heartbeat","payload":{"timestamp":1765319742123}})");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    c.spoil(machine);
    LinuxWatchdog watchdog(machine.platform);
    EXPECT_EQ(first_line(watchdog), self_line(c.reason));
  }
}

TEST(LinuxWatchdogView, TheMountTableIsReadAgainOnlyWhenTheKernelFlagsAChange) {
  Machine machine;
  bool changed = false;
  int asks = 0;
  machine.platform.mount_table_changed = [&](int fd) {
    EXPECT_GE(fd, 0);
    ++asks;
    return std::exchange(changed, false);
  };
  LinuxWatchdog watchdog(machine.platform);
  EXPECT_NE(first_line(watchdog).find("heartbeat"), std::string::npos);
  const std::string masking = testing::normal_mount_table(machine.proc.path()) + "70 22 0:9 / " +
                              machine.proc.path().string() + "/42 rw - tmpfs t rw\n";

  // Unflagged, a new table is not read: the verdict stands.
  machine.proc.write("self/mountinfo", masking);
  machine.mono.sec += 1;
  EXPECT_EQ(first_line(watchdog), "(none)");
  // Flagged, it is read from its start through the descriptor kept open.
  changed = true;
  machine.mono.sec += 1;
  EXPECT_EQ(first_line(watchdog), self_line(masked_table_reason));
  // Unmounted again: the next flagged change clears the finding.
  machine.proc.write("self/mountinfo", testing::normal_mount_table(machine.proc.path()));
  changed = true;
  machine.mono.sec += 61;
  EXPECT_NE(first_line(watchdog).find("heartbeat"), std::string::npos);
  EXPECT_EQ(asks, 4);  // once a poll, the first look excepted
}

TEST(LinuxWatchdogView, ComesAfterTheTracerAndCoolsLikeAnyFinding) {
  Machine machine;
  machine.proc.write("self/status", "Name:\tw\nNSpid:\t42\nTracerPid:\t7\nSeccomp:\t2\n");
  LinuxWatchdog watchdog(machine.platform);
  EXPECT_NE(first_line(watchdog).find("(status/TracerPid)"), std::string::npos);
  machine.proc.write("self/status", "Name:\tw\nNSpid:\t42\nTracerPid:\t0\nSeccomp:\t2\n");
  machine.mono.sec += 1;
  EXPECT_EQ(first_line(watchdog), self_line(seccomp_reason));
  machine.mono.sec += 1;
  EXPECT_NE(first_line(watchdog).find("heartbeat"), std::string::npos);
  // Still filtered a minute after its report: reported again.
  machine.mono.sec += 59;
  EXPECT_EQ(first_line(watchdog), self_line(seccomp_reason));
  // A condition that clears ends the finding.
  machine.proc.write("self/status", "Name:\tw\nNSpid:\t42\nTracerPid:\t0\nSeccomp:\t0\n");
  machine.mono.sec += 61;
  EXPECT_NE(first_line(watchdog).find("heartbeat"), std::string::npos);
}

}  // namespace
}  // namespace sidecar
