#include "host/system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

// The name of entry `pid`; nothing when the table holds no such entry.
std::optional<std::string> name_of(const System& system, Pid pid) {
  const Process* entry = system.process(pid);
  return entry ? std::optional<std::string>(entry->name) : std::nullopt;
}

std::vector<Pid> ids_in_order(const System& system) {
  std::vector<Pid> ids;
  for (const Process* entry : system.entries()) ids.push_back(entry->pid);
  return ids;
}

// Records every program image the table captures. An entry's verdict is the number of the
// capture its image came from (its process's, for a thread), or 0 for none, so a test can tell
// what the table read and when.
class RecordingJudge final : public EntryJudge {
 public:
  struct Image {
    std::optional<std::string> exe;
    Arguments arguments;
    friend bool operator==(const Image&, const Image&) = default;
  };

  ImageVerdict judge_image(const std::string* exe, const Arguments& arguments) const override {
    images.push_back({exe ? std::optional<std::string>(*exe) : std::nullopt, arguments});
    ImageVerdict verdict;
    verdict.set_head(std::to_string(images.size()));
    return verdict;
  }
  EntryVerdict judge_entry(std::string_view, const ImageVerdict* image, bool) const override {
    return image ? parse_digits<EntryVerdict>(image->head()).value_or(0) : 0;
  }

  // The image the entry was last judged with; nothing when none.
  std::optional<Image> image_of(const Process* entry) const {
    if (!entry || entry->verdict == 0 || entry->verdict > images.size()) return std::nullopt;
    return images[entry->verdict - 1];
  }
  std::size_t captures() const { return images.size(); }

 private:
  mutable std::vector<Image> images;
};

using Image = RecordingJudge::Image;

class SystemTest : public ::testing::Test {
 protected:
  FakeRoot root;
  OpenFileBudget budget{64};
  RecordingJudge judge;

  System table() { return System::new_all(root.path(), &judge, &budget); }
  std::optional<Image> image(const System& system, Pid pid) {
    return judge.image_of(system.process(pid));
  }
};

TEST_F(SystemTest, ProcessesThreadsAndKernelThreadsAreEntriesOfTheirOwn) {
  add_entry(root, "100", 100, {"firefox", 'S', 1, 0x400000, 3, 5000},
            "/usr/lib/firefox/firefox\0--new-window\0"s, "/usr/lib/firefox/firefox");
  add_entry(root, "100/task/100", 100, {"firefox", 'S', 1, 0x400000, 3, 5000}, "", "");
  add_entry(root, "100/task/101", 101, {"firefox", 'S', 1, 0x400040, 3, 5000}, "", "");
  add_entry(root, "100/task/102", 102, {"Web Content", 'R', 1, 0x400040, 3, 5000}, "", "");
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
  EXPECT_EQ(process->process_pid, 100);
  const Image firefox{"/usr/lib/firefox/firefox", {"/usr/lib/firefox/firefox", "--new-window"}};
  EXPECT_EQ(image(system, 100), firefox);

  const Process* renamed = system.process(102);
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->name, "Web Content");
  EXPECT_EQ(renamed->kind, EntryKind::UserThread);
  EXPECT_EQ(renamed->process_pid, 100);
  EXPECT_EQ(renamed->parent_pid, 1);  // its process's parent
  EXPECT_EQ(renamed->state.kind, RunState::Running);
  // Threads are judged with their process's image, which is captured once for all of them.
  EXPECT_EQ(image(system, 102), firefox);
  EXPECT_EQ(image(system, 101), firefox);
  EXPECT_EQ(judge.captures(), 1U);

  const Process* kernel = system.process(2);
  ASSERT_TRUE(kernel);
  EXPECT_EQ(kernel->kind, EntryKind::KernelThread);
  EXPECT_EQ(kernel->name, "kthreadd");
  EXPECT_EQ(kernel->parent_pid, std::nullopt);
  EXPECT_EQ(image(system, 2), std::nullopt);

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

  // One thread ends and another starts: the count stays at three, and the task folder is listed
  // again within the cadence.
  root.remove("100/task/102");
  thread(103, 3, "obs");
  std::uint64_t refreshes = 0;
  while (!system.process(103) && refreshes < System::thread_listing_period) {
    system.refresh_all();
    ++refreshes;
  }
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{103, 101, 100}));
  EXPECT_EQ(name_of(system, 103), "obs");
  EXPECT_EQ(image(system, 103), (Image{"/usr/bin/app", {"app"}}));

  // A thread more is seen at once, and so is a single thread again.
  process(4);
  thread(104, 4, "worker");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{104, 103, 101, 100}));
  for (const char* tid : {"101", "103", "104"}) root.remove("100/task/"s + tid);
  process(1);
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{100}));

  // A process that ends takes its threads with it on the next refresh.
  process(2);
  thread(105, 2, "worker");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{105, 100}));
  root.remove("100");
  system.refresh_all();
  EXPECT_TRUE(system.entries().empty());
}

TEST_F(SystemTest, AThreadIsNamedAgainOnTheRefreshAfterItIsFound) {
  add_entry(root, "100", 100, {"python3", 'S', 1, 0, 4, 5000}, "python3\0"s, "");
  // Found under the name it inherited; it has named itself by the next refresh. The kernel
  // ends the name with a line feed, and a name may hold one of its own.
  add_entry(root, "100/task/101", 101, {"python3", 'S', 1, 0x40, 4, 5000}, "", "");
  root.write("100/task/101/comm", "obs-capture\n");
  add_entry(root, "100/task/102", 102, {"python3", 'S', 1, 0x40, 4, 5000}, "", "");
  root.write("100/task/102/comm", "a\nb\xff\n");
  // One that started 40 s before has named itself already: it is not read again.
  add_entry(root, "100/task/103", 103, {"python3", 'S', 1, 0x40, 4, 1000}, "", "");
  root.write("100/task/103/comm", "late\n");
  root.write("uptime", "51.20 90.00\n");
  System system = table();
  EXPECT_EQ(name_of(system, 101), "python3");
  system.refresh_all();
  EXPECT_EQ(name_of(system, 101), "obs-capture");
  EXPECT_EQ(name_of(system, 102), "a\nb\ufffd");
  EXPECT_EQ(name_of(system, 103), "python3");
  EXPECT_EQ(image(system, 101), (Image{std::nullopt, {"python3"}}));
  // Read twice, and no more: a later rename of a long-lived thread is not followed.
  root.write("100/task/101/comm", "later\n");
  for (std::uint64_t i = 0; i < 2 * System::thread_listing_period; ++i) system.refresh_all();
  EXPECT_EQ(name_of(system, 101), "obs-capture");
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
  ASSERT_TRUE(system.process(302));
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
  EXPECT_EQ(image(system, 300), (Image{"/usr/bin/obs", {"obs", "--startrecording"}}));
  EXPECT_FALSE(system.process(301));
  const Process* reused = system.process(302);
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->name, "gdb");
  EXPECT_EQ(reused->state.kind, RunState::Sleeping);
  EXPECT_EQ(image(system, 302), (Image{"/usr/bin/gdb", {"gdb", "-p", "300"}}));
  EXPECT_EQ(reused->start_time_since_boot, 40U);

  // Same name, start and layout: the image is not read again.
  const std::size_t captures = judge.captures();
  root.write("300/cmdline", "obs\0--other\0"s);
  for (std::uint64_t i = 0; i < 2 * System::hidden_image_period; ++i) system.refresh_all();
  EXPECT_EQ(judge.captures(), captures);
  EXPECT_EQ(image(system, 300), (Image{"/usr/bin/obs", {"obs", "--startrecording"}}));
}

TEST_F(SystemTest, AProgramExecutedUnderTheSameNameIsCapturedAgain) {
  // A launcher that executes its interpreter again with other arguments: the name stays, the
  // memory layout does not.
  StatFields launcher{"python3", 'S', 1, 0, 1, 1000};
  add_entry(root, "400", 400, launcher, "python3\0launcher.py\0"s, "/usr/bin/python3.11");
  System system = table();
  EXPECT_EQ(image(system, 400), (Image{"/usr/bin/python3.11", {"python3", "launcher.py"}}));

  launcher.layout = {0x5000, 0x6000, 0x7fe000, 0x7fe100, 0x7fe200};
  add_entry(root, "400", 400, launcher, "python3\0-m\0cluely\0"s, "/usr/bin/python3.11");
  system.refresh_all();
  EXPECT_EQ(image(system, 400), (Image{"/usr/bin/python3.11", {"python3", "-m", "cluely"}}));
}

TEST_F(SystemTest, ImagesWhoseLayoutIsHiddenAreCapturedAgainOnARotation) {
  StatFields other_user{"python3", 'S', 1, 0, 1, 1000};
  other_user.layout = {};
  add_entry(root, "450", 450, other_user, "python3\0launcher.py\0"s, "");
  System system = table();
  EXPECT_EQ(image(system, 450), (Image{std::nullopt, {"python3", "launcher.py"}}));

  root.write("450/cmdline", "python3\0ghostly.py\0"s);
  std::uint64_t refreshes = 0;
  const auto last_argument = [&] {
    const auto seen = image(system, 450);
    return seen && !seen->arguments.empty() ? seen->arguments.back() : std::string();
  };
  while (last_argument() != "ghostly.py" && refreshes <= System::hidden_image_period) {
    system.refresh_all();
    ++refreshes;
  }
  EXPECT_EQ(image(system, 450), (Image{std::nullopt, {"python3", "ghostly.py"}}));
  EXPECT_LE(refreshes, System::hidden_image_period);
}

TEST_F(SystemTest, AProcessWhoseMainThreadHasEndedIsJudgedThroughItsOtherThreads) {
  // The main thread called pthread_exit: the process is a zombie, its own folder shows no
  // arguments and no layout, and its other threads still run the program.
  StatFields leader{"assistant", 'Z', 1, 0, 3, 1000};
  leader.layout = {};
  add_entry(root, "600", 600, leader, "", "");
  for (const int tid : {601, 602}) {
    add_entry(root, "600/task/" + std::to_string(tid), tid, {"worker", 'S', 1, 0x40, 3, 1000},
              "python3\0-m\0cluely\0"s, "/usr/bin/python3.11");
  }
  System system = table();
  system.refresh_all();
  const Image running{"/usr/bin/python3.11", {"python3", "-m", "cluely"}};
  EXPECT_EQ(image(system, 600), running);
  EXPECT_EQ(image(system, 602), running);
}

TEST_F(SystemTest, BytesThatAreNotUtf8DoNotHideAProcess) {
  add_entry(root, "400", 400, {"obs\xff", 'S', 1, 0, 1, 1000}, "obs\xff\0--x\xc3\0"s,
            "/tmp/obs\xff");
  const System system = table();
  const Process* entry = system.process(400);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "obs\ufffd");
  // The path keeps its bytes for the judge; the arguments are text.
  EXPECT_EQ(image(system, 400), (Image{"/tmp/obs\xff", {"obs\ufffd", "--x\ufffd"}}));
}

TEST_F(SystemTest, MissingArgumentsAreReadAgainButNotWhileInDiskSleep) {
  add_entry(root, "500", 500, {"loader", 'D', 1, 0, 1, 1000}, "loader\0"s, "");
  add_entry(root, "501", 501, {"early", 'S', 1, 0, 1, 1000}, "no terminator", "");
  System system = table();
  EXPECT_EQ(image(system, 500), std::nullopt);
  EXPECT_EQ(image(system, 501), (Image{std::nullopt, {}}));

  root.write("500/stat", stat_record(500, {"loader", 'S', 1, 0, 1, 1000}));
  root.write("501/cmdline", "early\0--now\0"s);
  system.refresh_all();
  EXPECT_EQ(image(system, 500), (Image{std::nullopt, {"loader"}}));
  EXPECT_EQ(image(system, 501), (Image{std::nullopt, {"early", "--now"}}));

  // A path that was unreadable is read again on the rotation.
  root.link("501/exe", "/usr/bin/early");
  for (std::uint64_t i = 0; i < System::hidden_image_period; ++i) system.refresh_all();
  EXPECT_EQ(image(system, 501), (Image{"/usr/bin/early", {"early", "--now"}}));
}

TEST_F(SystemTest, UnreadableStatRecordsAndAnUnlistableRootEmptyTheTable) {
  add_entry(root, "600", 600, {"ok", 'S', 1, 0, 1, 1000}, "ok\0"s, "");
  add_entry(root, "601", 601, {"bad", 'S', 1, 0, 1, 1000}, "bad\0"s, "");
  System system = table();
  EXPECT_EQ(system.entries().size(), 2U);

  root.write("601/stat", "601 (bad) S 1");
  system.refresh_all();
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{600}));

  EXPECT_EQ(system.faults(), RefreshFaults{});

  const System missing = System::new_all(root.path() / "does-not-exist", &judge, &budget);
  EXPECT_TRUE(missing.entries().empty());
  EXPECT_FALSE(missing.process(600));
  EXPECT_TRUE(missing.faults().root_unreadable);

  root.remove("");
  system.refresh_all();
  EXPECT_TRUE(system.entries().empty());
  EXPECT_TRUE(system.faults().root_unreadable);
}

TEST_F(SystemTest, AnOpenRefusedForLackOfDescriptorsIsAFaultOfThatRefresh) {
  add_entry(root, "600", 600, {"ok", 'S', 1, 0, 1, 1000}, "ok\0"s, "");
  add_entry(root, "601", 601, {"late", 'S', 1, 0, 1, 1000}, "late\0"s, "");
  root.remove("601");
  System system = table();
  ASSERT_EQ(ids_in_order(system), (std::vector<Pid>{600}));

  // Room for the proc root's descriptor and nothing more: the known entry reads through its
  // kept file, the new one cannot be opened.
  add_entry(root, "601", 601, {"late", 'S', 1, 0, 1, 1000}, "late\0"s, "");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit cut = saved;
  cut.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &cut), 0);
  system.refresh_all();
  const RefreshFaults starved = system.faults();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(starved.out_of_descriptors);
  EXPECT_FALSE(starved.root_unreadable);
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{600}));

  system.refresh_all();
  EXPECT_EQ(system.faults(), RefreshFaults{});
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{601, 600}));
}

TEST_F(SystemTest, ATaskFolderThatCannotBeListedKeepsItsThreadsAndIsAFault) {
  const auto process = [this](int count) {
    add_entry(root, "100", 100, {"app", 'S', 1, 0, count, 5000}, "app\0"s, "/usr/bin/app");
  };
  process(3);
  add_entry(root, "100/task/101", 101, {"zoom-share", 'S', 1, 0x40, 3, 5000}, "", "");
  add_entry(root, "100/task/102", 102, {"worker", 'S', 1, 0x40, 3, 5000}, "", "");
  // Listings of the task folder fail with `refusal` while it is set, however it was opened.
  int refusal = 0;
  const FolderLister lister = [&](int fd, const std::function<void(Pid)>& visit) {
    const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
    return refusal != 0 && path.filename() == "task" ? refusal : list_numeric_folders(fd, visit);
  };
  System system = System::new_all(root.path(), &judge, &budget, lister);
  ASSERT_EQ(ids_in_order(system), (std::vector<Pid>{102, 101, 100}));

  // A thread count that changes makes the table list the folder on this refresh.
  for (const int error : {EPERM, EIO}) {
    SCOPED_TRACE(error);
    refusal = error;
    process(4);
    system.refresh_all();
    EXPECT_TRUE(system.faults().listing_refused);
    EXPECT_FALSE(system.faults().root_unreadable);
    EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{102, 101, 100}));
    EXPECT_EQ(name_of(system, 101), "zoom-share");
    process(3);
    system.refresh_all();
  }

  // A process that has gone between the open and the listing is no refusal.
  refusal = ENOENT;
  process(4);
  system.refresh_all();
  EXPECT_EQ(system.faults(), RefreshFaults{});
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{102, 101, 100}));

  // Listed again, the folder's threads are followed as before.
  refusal = 0;
  root.remove("100/task/102");
  process(2);
  system.refresh_all();
  EXPECT_EQ(system.faults(), RefreshFaults{});
  EXPECT_EQ(ids_in_order(system), (std::vector<Pid>{101, 100}));
}

TEST_F(SystemTest, KeptStatFilesStayWithinTheBudgetAndAreReturnedWhenEntriesGo) {
  for (int pid = 700; pid < 710; ++pid) {
    add_entry(root, std::to_string(pid), pid, {"p" + std::to_string(pid), 'S', 1, 0, 1, 1000},
              "p\0"s, "");
  }
  OpenFileBudget small{3};
  System system = System::new_all(root.path(), &judge, &small);
  EXPECT_EQ(system.entries().size(), 10U);
  EXPECT_FALSE(small.take()) << "all three units are in use";

  // With no unit left, the other files are opened anew on each refresh and still read.
  for (int pid = 700; pid < 710; ++pid) {
    root.write(std::to_string(pid) + "/stat",
               stat_record(pid, {"p" + std::to_string(pid), 'R', 1, 0, 1, 1000}));
  }
  system.refresh_all();
  for (const Process* entry : system.entries()) EXPECT_EQ(entry->state.kind, RunState::Running);

  for (int pid = 700; pid < 710; ++pid) root.remove(std::to_string(pid));
  system.refresh_all();
  EXPECT_TRUE(system.entries().empty());
  for (int unit = 0; unit < 3; ++unit) EXPECT_TRUE(small.take());
  EXPECT_FALSE(small.take());

  // Threads keep no file: a process of five threads keeps two, its stat file and its task
  // folder.
  add_entry(root, "720", 720, {"app", 'S', 1, 0, 5, 1000}, "app\0"s, "");
  for (int tid = 721; tid < 725; ++tid) {
    add_entry(root, "720/task/" + std::to_string(tid), tid, {"worker", 'S', 1, 0x40, 5, 1000}, "",
              "");
  }
  OpenFileBudget three{3};
  const System threaded = System::new_all(root.path(), &judge, &three);
  EXPECT_EQ(threaded.entries().size(), 5U);
  EXPECT_TRUE(three.take());
  EXPECT_FALSE(three.take());
}

TEST(OpenFileBudgetLimits, HalfOfTheLimitInForce) {
  EXPECT_EQ(budget_for_limits(OpenFileLimits{1024, 524288}, true), 262144U);
  EXPECT_EQ(budget_for_limits(OpenFileLimits{1024, 524288}, false), 512U);
  EXPECT_EQ(budget_for_limits(OpenFileLimits{40, 40}, true), 20U);
  EXPECT_EQ(budget_for_limits(std::nullopt, false), 512U);
}

TEST(LiveProc, FindsItselfRunningAndAChildFromStartToExit) {
  RecordingJudge judge;
  System system = System::new_all("/proc", &judge);
  const Process* self = system.process(getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->state.kind, RunState::Running);
  EXPECT_EQ(self->kind, EntryKind::ProcessEntry);
  const auto own_image = judge.image_of(self);
  ASSERT_TRUE(own_image && own_image->exe);

  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  const Process* seen = nullptr;
  // Until the child has executed its program, within a bound that only a hang reaches.
  for (int tries = 0; tries < 3000; ++tries) {
    system.refresh_all();
    seen = system.process(child);
    // The kernel renames the process before it lays out the new arguments; an empty command
    // line is read again on the next refresh.
    const auto captured = judge.image_of(seen);
    if (seen && seen->name == "sleep" && captured && !captured->arguments.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->name, "sleep");
  const auto captured = judge.image_of(seen);
  ASSERT_TRUE(captured);
  EXPECT_EQ(captured->arguments, (Arguments{"sleep", "30"}));
  EXPECT_EQ(seen->parent_pid, getpid());

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  system.refresh_all();
  EXPECT_FALSE(system.process(child));
}

}  // namespace
}  // namespace sidecar
