#include "host/open_file_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <limits>
#include <utility>

namespace sidecar {

OpenFileBudget::OpenFileBudget(std::uint64_t units) : available(units) {}

bool OpenFileBudget::take() {
  std::uint64_t left = available.load(std::memory_order_relaxed);
  while (left > 0) {
    if (available.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

void OpenFileBudget::give_back() { available.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t budget_for_limits(std::optional<OpenFileLimits> limits, bool raised) {
  if (!limits) return 512;
  return (raised ? limits->hard : limits->soft) / 2;
}

OpenFileBudget& OpenFileBudget::process_wide() {
  static OpenFileBudget budget([] {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return budget_for_limits(std::nullopt, false);
    const OpenFileLimits limits{limit.rlim_cur, limit.rlim_max};
    limit.rlim_cur = limit.rlim_max;
    return budget_for_limits(limits, setrlimit(RLIMIT_NOFILE, &limit) == 0);
  }());
  return budget;
}

KeptFile::KeptFile(int fd, OpenFileBudget* budget_in) : descriptor(fd), budget(budget_in) {}

KeptFile::KeptFile(KeptFile&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)), budget(other.budget) {}

KeptFile& KeptFile::operator=(KeptFile&& other) noexcept {
  if (this != &other) {
    close();
    descriptor = std::exchange(other.descriptor, -1);
    budget = other.budget;
  }
  return *this;
}

KeptFile::~KeptFile() { close(); }

void KeptFile::close() {
  if (descriptor < 0) return;
  ::close(descriptor);
  descriptor = -1;
  if (budget) budget->give_back();
}

}  // namespace sidecar
