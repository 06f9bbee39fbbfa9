#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "host/system.h"
#include "watchdog/detection/detection_utils.h"

namespace sidecar {
namespace {

// One steady-state refresh of the live process table.
void bm_refresh_all(benchmark::State& state) {
  System system = System::new_all("/proc", &DetectionUtils::judge());
  for (auto _ : state) system.refresh_all();
  const auto entries = static_cast<double>(system.entries().size());
  state.counters["entries"] = entries;
  state.counters["per_entry"] =
      benchmark::Counter(entries * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_refresh_all)->Unit(benchmark::kMillisecond);

// The first snapshot, with every field captured.
void bm_new_all(benchmark::State& state) {
  std::size_t entries = 0;
  for (auto _ : state) {
    entries = System::new_all("/proc", &DetectionUtils::judge()).entries().size();
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(entries) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_new_all)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sidecar

namespace sidecar {
namespace {

// The floor under a steady refresh: one read of every process's stat file, kept open, and
// nothing else. What a refresh costs above this is the table's own work. Per entry of the whole
// table, threads included, like the refresh.
void bm_stat_read_floor(benchmark::State& state) {
  const System system = System::new_all();
  std::vector<int> files;
  for (const Process* entry : system.entries()) {
    if (entry->kind == EntryKind::UserThread) continue;
    const std::string path = "/proc/" + std::to_string(entry->pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) files.push_back(fd);
  }
  std::array<char, 2048> buffer{};
  for (auto _ : state) {
    for (const int fd : files) benchmark::DoNotOptimize(pread(fd, buffer.data(), buffer.size(), 0));
  }
  for (const int fd : files) close(fd);
  const auto entries = static_cast<double>(system.entries().size());
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["entries"] = entries;
  state.counters["per_entry"] =
      benchmark::Counter(entries * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_stat_read_floor)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sidecar

namespace sidecar {
namespace {

void bm_parse_stat(benchmark::State& state) {
  const std::string record =
      "12345 (Web Content) S 1200 1200 1200 0 -1 4194624 61077 0 3 0 1131 402 0 0 20 0 31 0 "
      "89617 3079438336 64338 18446744073709551615 94208393322496 94208393950016 "
      "140724402093808 0 0 0 0 16781312 1082130428 0 0 0 17 1 0 0 0 0 0 94208394008432 "
      "94208394009616 94208408489984 140724402096802 140724402096861 140724402096861 "
      "140724402098143 0\n";
  for (auto _ : state) benchmark::DoNotOptimize(parse_stat(record));
}
BENCHMARK(bm_parse_stat);

}  // namespace
}  // namespace sidecar
