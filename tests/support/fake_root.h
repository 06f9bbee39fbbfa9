#pragma once

#include <unistd.h>

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
};

// A stat record in the kernel's layout (52 fields), with the fields the table reads filled in.
inline std::string stat_record(int pid, const StatFields& f) {
  return std::to_string(pid) + " (" + f.name + ") " + f.state + " " + std::to_string(f.ppid) +
         " 10 10 0 -1 " + std::to_string(f.flags) + " 120 0 0 0 5 3 0 0 20 0 " +
         std::to_string(f.threads) + " 0 " + std::to_string(f.start_ticks) +
         " 10000000 500 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0 0 0 0 0 0 0 "
         "0 0\n";
}

// A process folder: stat, cmdline and the exe link (when `exe` is not empty).
inline void add_entry(const FakeRoot& root, const std::string& dir, int id, const StatFields& f,
                      std::string_view cmdline, const std::string& exe) {
  root.write(dir + "/stat", stat_record(id, f));
  root.write(dir + "/cmdline", cmdline);
  if (!exe.empty()) root.link(dir + "/exe", exe);
}

}  // namespace sidecar::testing
