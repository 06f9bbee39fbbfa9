#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace sidecar {

// How many files the process table may keep open at once, shared by everything that keeps one.
class OpenFileBudget {
 public:
  explicit OpenFileBudget(std::uint64_t units);

  // One unit, or false when none is left.
  bool take();
  void give_back();

  // The budget of this process, set on first use: the soft open-file limit is raised to the hard
  // limit and half of the result is the budget.
  static OpenFileBudget& process_wide();

 private:
  std::atomic<std::uint64_t> available;
};

struct OpenFileLimits {
  std::uint64_t soft = 0;
  std::uint64_t hard = 0;
};

// Half of the soft limit in force (raised to `hard` when `raised`), or 512 when the limits could
// not be read at all.
std::uint64_t budget_for_limits(std::optional<OpenFileLimits> limits, bool raised);

// A file kept open between refreshes; holds one unit of its budget until it is closed.
class KeptFile {
 public:
  KeptFile() = default;
  KeptFile(int fd, OpenFileBudget* budget);
  KeptFile(KeptFile&& other) noexcept;
  KeptFile& operator=(KeptFile&& other) noexcept;
  KeptFile(const KeptFile&) = delete;
  KeptFile& operator=(const KeptFile&) = delete;
  ~KeptFile();

  int fd() const { return descriptor; }
  explicit operator bool() const { return descriptor >= 0; }
  void close();

 private:
  int descriptor = -1;
  OpenFileBudget* budget = nullptr;
};

}  // namespace sidecar
