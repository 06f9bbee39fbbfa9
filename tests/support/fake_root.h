#pragma once

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace sidecar::testing {

// A temporary folder laid out like the proc (or sys) filesystem, removed when the object goes.
class FakeRoot {
 public:
  FakeRoot() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("sidecar-root-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~FakeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes `content` (any bytes) at `relative`, creating folders on the way. Overwrites in place,
  // so a stat file kept open by the table sees the new content as the kernel's would.
  void write(const std::string& relative, std::string_view content) const {
    const auto file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    if (!out) out.open(file, std::ios::out | std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    std::filesystem::resize_file(file, content.size());
  }

  void link(const std::string& relative, const std::string& target) const {
    const auto file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::filesystem::remove(file);
    std::filesystem::create_symlink(target, file);
  }

  void remove(const std::string& relative) const { std::filesystem::remove_all(path_ / relative); }

 private:
  std::filesystem::path path_;
};

struct StatFields {
  std::string name;
  char state = 'S';
  int ppid = 1;
  std::uint64_t flags = 0x400100;
  int threads = 1;
  std::uint64_t start_ticks = 1000;
  // Fields 26, 27, 28, 48 and 49: start and end of code, start of stack, start and end of the
  // arguments. All 0 is what the kernel shows a reader not allowed to inspect the process.
  std::array<std::uint64_t, 5> layout = {0x1000, 0x2000, 0x7ff000, 0x7ff100, 0x7ff200};
};

// A stat record in the kernel's layout (52 fields), with the fields the table reads filled in.
inline std::string stat_record(int pid, const StatFields& f) {
  std::array<std::string, 53> fields;
  fields.fill("0");
  fields[1] = std::to_string(pid);
  fields[2] = "(" + f.name + ")";
  fields[3] = std::string(1, f.state);
  fields[4] = std::to_string(f.ppid);
  fields[5] = fields[6] = "10";
  fields[8] = "-1";
  fields[9] = std::to_string(f.flags);
  fields[18] = "20";
  fields[20] = std::to_string(f.threads);
  fields[22] = std::to_string(f.start_ticks);
  fields[23] = "10000000";
  fields[24] = "500";
  fields[25] = "18446744073709551615";
  fields[39] = "17";
  const std::size_t layout_fields[] = {26, 27, 28, 48, 49};
  for (std::size_t i = 0; i < 5; ++i) fields[layout_fields[i]] = std::to_string(f.layout[i]);
  std::string record;
  for (std::size_t i = 1; i < fields.size(); ++i) record += (i == 1 ? "" : " ") + fields[i];
  return record + "\n";
}

// A process folder: stat, cmdline and the exe link (when `exe` is not empty).
inline void add_entry(const FakeRoot& root, const std::string& dir, int id, const StatFields& f,
                      std::string_view cmdline, const std::string& exe) {
  root.write(dir + "/stat", stat_record(id, f));
  root.write(dir + "/cmdline", cmdline);
  if (!exe.empty()) root.link(dir + "/exe", exe);
}

// A mount table as a full view of a machine shows it, with the proc file system on `proc_root`
// and binfmt_misc under it.
inline std::string normal_mount_table(const std::filesystem::path& proc_root) {
  return "28 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
         "22 28 0:21 / " +
         proc_root.string() +
         " rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
         "40 22 0:41 / " +
         proc_root.string() +
         "/sys/fs/binfmt_misc rw,relatime shared:24 - binfmt_misc binfmt_misc rw\n";
}

// What a full, trustworthy view of the machine holds beside a test's own entries: the sidecar's
// own entry and status file, a kernel thread and a normal mount table.
inline void add_full_view(const FakeRoot& root, int own_pid, std::string_view tracer = "0") {
  using namespace std::string_literals;
  const std::string own = std::to_string(own_pid);
  add_entry(root, own, own_pid, {"watchdog-sidec", 'R', 1, 0x400100, 1, 100}, "watchdog-sidecar\0"s,
            "/usr/bin/watchdog-sidecar");
  add_entry(root, "2", 2, {"kthreadd", 'S', 0, 0x208040, 1, 0}, "", "");
  root.write("self/status", "Name:\twatchdog-sidec\nNSpid:\t" + own + "\nTracerPid:\t" +
                                std::string(tracer) + "\nSeccomp:\t0\n");
  root.write("self/mountinfo", normal_mount_table(root.path()));
}

}  // namespace sidecar::testing
