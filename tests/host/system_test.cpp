#include "host/system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "support/fake_root.h"

namespace sidecar {
namespace {

using namespace std::string_literals;
using testing::add_entry;
using testing::FakeRoot;
using testing::stat_record;
using testing::StatFields;

std::vector<Pid> ids_in_order(const System& system) {
  std::vector<Pid> ids;
  for (const Process* entry : system.processes()) ids.push_back(entry->pid);
  return ids;
}

class SystemTest : public ::testing::Test {
 protected:
  FakeRoot root;
  OpenFileBudget budget{64};

  System table() { return System::new_all(root.path(), &budget); }
};

TEST_F(SystemTest, ProcessesThreadsAndKernelThreadsAreEntriesOfTheirOwn) {
  add_entry(root, "100", 100, {"firefox", 'S', 1, 0x400000, 3, 5000},
            "/usr/lib/firefox/firefox\0--new-window\0"s, "/usr/lib/firefox/firefox");
  add_entry(root, "100/task/100", 100, {"firefox", 'S', 1, 0x400000, 3, 5000},
            "/usr/lib/firefox/firefox\0--new-window\0"s, "/usr/lib/firefox/firefox");
  add_entry(root, "100/task/101", 101, {"firefox", 'S', 1, 0x400040, 3, 5000},
            "/usr/lib/firefox/firefox\0--new-window\0"s, "/usr/lib/firefox/firefox");
  add_entry(root, "100/task/102", 102, {"Web Content", 'R', 1, 0x400040, 3, 5000},
            "/usr/lib/firefox/firefox\0--new-window\0"s, "/usr/lib/firefox/firefox");
  add_entry(root, "2", 2, {"kthreadd", 'S', 0, 0x208040, 1, 0}, "", "");
  root.write("2/task/2/stat", stat_record(2, {"kthreadd", 'S', 0, 0x208040, 1, 0}));
  root.write("not-a-pid/stat", stat_record(5, {"nope"}));
  root.link("self", "100");

  const System system = table();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{102, 101, 100, 2}));

  const Process* process = system.process(100);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->kind, EntryKind::ProcessEntry);
  EXPECT_EQ(process->parent_pid, 1);
  EXPECT_EQ(process->arguments(), (Arguments{"/usr/lib/firefox/firefox", "--new-window"}));
  ASSERT_TRUE(process->exe);
  EXPECT_EQ(*process->exe, "/usr/lib/firefox/firefox");

  const Process* renamed = system.process(102);
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->name, "Web Content");
  EXPECT_EQ(renamed->kind, EntryKind::UserThread);
  EXPECT_EQ(renamed->parent_pid, 100);
  EXPECT_EQ(renamed->state.kind, RunState::Running);
  EXPECT_EQ(renamed->arguments(), process->arguments());
  // Threads share their process's captured text instead of holding copies.
  EXPECT_EQ(renamed->cmdline, process->cmdline);
  EXPECT_EQ(renamed->exe, process->exe);

  const Process* kernel = system.process(2);
  ASSERT_TRUE(kernel);
  EXPECT_EQ(kernel->kind, EntryKind::KernelThread);
  EXPECT_EQ(kernel->name, "kthreadd");
  EXPECT_EQ(kernel->parent_pid, std::nullopt);
  EXPECT_TRUE(kernel->arguments().empty());
  EXPECT_FALSE(kernel->exe);

  EXPECT_FALSE(system.process(5));
  EXPECT_FALSE(system.process(999));
}

TEST_F(SystemTest, ThreadsThatComeAndGoAreFollowed) {
  const auto thread = [this](int tid, int count, const std::string& name) {
    add_entry(root, "100/task/" + std::to_string(tid), tid, {name, 'S', 1, 0x40, count, 5000}, "",
              "");
  };
  const auto process = [this](int count) {
    add_entry(root, "100", 100, {"app", 'S', 1, 0, count, 5000}, "app\0"s, "/usr/bin/app");
  };
  process(3);
  thread(101, 3, "worker");
  thread(102, 3, "worker");
  System system = table();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{102, 101, 100}));

  // One thread ends and another starts: the count stays at three. The ended thread's kept stat
  // file stops reading, as the kernel's does.
  root.write("100/task/102/stat", "");
  root.remove("100/task/102");
  thread(103, 3, "obs");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{103, 101, 100}));
  EXPECT_EQ(system.process(103)->name, "obs");
  EXPECT_EQ(system.process(103)->arguments(), (Arguments{"app"}));

  // A thread more, and later a single thread again.
  process(4);
  thread(104, 4, "worker");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{104, 103, 101, 100}));
  process(1);
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{100}));
}

TEST_F(SystemTest, OrderIsNewestFirstThenHighestIdentifier) {
  add_entry(root, "10", 10, {"old", 'S', 1, 0, 1, 100}, "old\0"s, "");
  add_entry(root, "20", 20, {"new", 'S', 1, 0, 1, 900}, "new\0"s, "");
  add_entry(root, "30", 30, {"mid", 'S', 1, 0, 1, 500}, "mid\0"s, "");
  add_entry(root, "40", 40, {"mid2", 'S', 1, 0, 1, 550}, "mid2\0"s, "");  // same second as 30
  EXPECT_EQ(ids_in_order(table()), (std::vector<Pid>{20, 40, 30, 10}));
}

TEST_F(SystemTest, ExitReuseAndCapturedFields) {
  add_entry(root, "300", 300, {"sh", 'S', 1, 0, 1, 1000}, "sh\0-c\0sleep 3; exec obs\0"s,
            "/usr/bin/dash");
  add_entry(root, "301", 301, {"gone", 'S', 1, 0, 1, 1000}, "gone\0"s, "/usr/bin/gone");
  add_entry(root, "302", 302, {"zombie", 'Z', 1, 0, 1, 1000}, "", "");
  System system = table();
  ASSERT_TRUE(system.process(301));
  EXPECT_EQ(system.process(302)->state.kind, RunState::Zombie);

  // 300 replaces its program image; 301 exits; 302 is reaped and its identifier reused by a
  // process started in another second.
  add_entry(root, "300", 300, {"obs", 'S', 1, 0, 1, 1000}, "obs\0--startrecording\0"s,
            "/usr/bin/obs");
  root.remove("301");
  add_entry(root, "302", 302, {"gdb", 'S', 1, 0, 1, 4000},
            "gdb\0-p\0"
            "300\0"s,
            "/usr/bin/gdb");
  system.refresh_all();

  const Process* execed = system.process(300);
  ASSERT_TRUE(execed);
  EXPECT_EQ(execed->name, "obs");
  EXPECT_EQ(execed->arguments(), (Arguments{"obs", "--startrecording"}));
  EXPECT_EQ(*execed->exe, "/usr/bin/obs");
  EXPECT_FALSE(system.process(301));
  const Process* reused = system.process(302);
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->name, "gdb");
  EXPECT_EQ(reused->state.kind, RunState::Sleeping);
  EXPECT_EQ(reused->arguments(), (Arguments{"gdb", "-p", "300"}));
  EXPECT_EQ(reused->start_time_since_boot, 40U);

  // Same name and start: the arguments stay as first captured.
  root.write("300/cmdline", "obs\0--other\0"s);
  system.refresh_all();
  EXPECT_EQ(system.process(300)->arguments(), (Arguments{"obs", "--startrecording"}));
}

TEST_F(SystemTest, BytesThatAreNotUtf8DoNotHideAProcess) {
  add_entry(root, "400", 400, {"obs\xff", 'S', 1, 0, 1, 1000}, "obs\xff\0--x\xc3\0"s,
            "/tmp/obs\xff");
  const System system = table();
  const Process* entry = system.process(400);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "obs\ufffd");
  EXPECT_EQ(entry->arguments(), (Arguments{"obs\ufffd", "--x\ufffd"}));
  EXPECT_EQ(*entry->exe, "/tmp/obs\xff");  // the path keeps its bytes
}

TEST_F(SystemTest, MissingArgumentsAreReadAgainButNotWhileInDiskSleep) {
  add_entry(root, "500", 500, {"loader", 'D', 1, 0, 1, 1000}, "loader\0"s, "");
  add_entry(root, "501", 501, {"early", 'S', 1, 0, 1, 1000}, "no terminator", "");
  System system = table();
  EXPECT_TRUE(system.process(500)->arguments().empty());
  EXPECT_TRUE(system.process(501)->arguments().empty());
  EXPECT_FALSE(system.process(501)->exe);

  root.write("500/stat", stat_record(500, {"loader", 'S', 1, 0, 1, 1000}));
  root.write("501/cmdline", "early\0--now\0"s);
  root.link("501/exe", "/usr/bin/early");
  system.refresh_all();
  EXPECT_EQ(system.process(500)->arguments(), (Arguments{"loader"}));
  EXPECT_EQ(system.process(501)->arguments(), (Arguments{"early", "--now"}));
  EXPECT_EQ(*system.process(501)->exe, "/usr/bin/early");
}

TEST_F(SystemTest, UnreadableStatRecordsAndAnUnlistableRootEmptyTheTable) {
  add_entry(root, "600", 600, {"ok", 'S', 1, 0, 1, 1000}, "ok\0"s, "");
  add_entry(root, "601", 601, {"bad", 'S', 1, 0, 1, 1000}, "bad\0"s, "");
  System system = table();
  EXPECT_EQ(system.processes().size(), 2U);

  root.write("601/stat", "601 (bad) S 1");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{600}));

  const System missing = System::new_all(root.path() / "does-not-exist", &budget);
  EXPECT_TRUE(missing.processes().empty());
  EXPECT_FALSE(missing.process(600));

  root.remove("");
  system.refresh_all();
  EXPECT_TRUE(system.processes().empty());
}

TEST_F(SystemTest, KeptStatFilesStayWithinTheBudgetAndAreReturnedWhenEntriesGo) {
  for (int pid = 700; pid < 710; ++pid) {
    add_entry(root, std::to_string(pid), pid, {"p" + std::to_string(pid), 'S', 1, 0, 1, 1000},
              "p\0"s, "");
  }
  OpenFileBudget small{3};
  System system = System::new_all(root.path(), &small);
  EXPECT_EQ(system.processes().size(), 10U);
  EXPECT_FALSE(small.take()) << "all three units are in use";

  // With no unit left, the other files are opened anew on each refresh and still read.
  for (int pid = 700; pid < 710; ++pid) {
    root.write(std::to_string(pid) + "/stat",
               stat_record(pid, {"p" + std::to_string(pid), 'R', 1, 0, 1, 1000}));
  }
  system.refresh_all();
  for (const Process* entry : system.processes()) EXPECT_EQ(entry->state.kind, RunState::Running);

  for (int pid = 700; pid < 710; ++pid) root.remove(std::to_string(pid));
  system.refresh_all();
  EXPECT_TRUE(system.processes().empty());
  for (int unit = 0; unit < 3; ++unit) EXPECT_TRUE(small.take());
  EXPECT_FALSE(small.take());
}

TEST(OpenFileBudgetLimits, HalfOfTheLimitInForce) {
  EXPECT_EQ(budget_for_limits(OpenFileLimits{1024, 524288}, true), 262144U);
  EXPECT_EQ(budget_for_limits(OpenFileLimits{1024, 524288}, false), 512U);
  EXPECT_EQ(budget_for_limits(OpenFileLimits{40, 40}, true), 20U);
  EXPECT_EQ(budget_for_limits(std::nullopt, false), 512U);
}

TEST(LiveProc, FindsItselfRunningAndAChildFromStartToExit) {
  System system = System::new_all();
  const Process* self = system.process(getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->state.kind, RunState::Running);
  EXPECT_EQ(self->kind, EntryKind::ProcessEntry);
  ASSERT_TRUE(self->exe);

  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  const Process* seen = nullptr;
  for (int tries = 0; tries < 100; ++tries) {
    system.refresh_all();
    seen = system.process(child);
    // The kernel renames the process before it lays out the new arguments; an empty command
    // line is read again on the next refresh.
    if (seen && seen->name == "sleep" && !seen->arguments().empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->name, "sleep");
  EXPECT_EQ(seen->arguments(), (Arguments{"sleep", "30"}));
  EXPECT_EQ(seen->parent_pid, getpid());

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  system.refresh_all();
  EXPECT_FALSE(system.process(child));
}

}  // namespace
}  // namespace sidecar
