#include <benchmark/benchmark.h>

#include "events/json_writer.h"
#include "watchdog/detection/emit_gate.h"

namespace sidecar {
namespace {

void bm_to_json_overlay(benchmark::State& state) {
  StealthOverlayPayload payload;
  payload.severity = "high";
  payload.owner_name = "Cluely";
  payload.owner_pid = 977;
  payload.window_alpha = 1.0F;
  payload.matched_list = "denylist";
  payload.method = "process_name";
  payload.reason = "running process matches AI-assistant denylist: 'Cluely'";
  const WatchdogEvent event = StealthOverlayDetected{payload};
  for (auto _ : state) benchmark::DoNotOptimize(to_json(event));
}
BENCHMARK(bm_to_json_overlay);

void bm_to_json_heartbeat(benchmark::State& state) {
  const WatchdogEvent event = Heartbeat{{1'765'319'742'123}};
  for (auto _ : state) benchmark::DoNotOptimize(to_json(event));
}
BENCHMARK(bm_to_json_heartbeat);

void bm_gate_refusal(benchmark::State& state) {
  EmitGate gate;
  gate.allow("suspicious:obs", {0, 0});
  for (auto _ : state) benchmark::DoNotOptimize(gate.allow("suspicious:obs", {1, 0}));
}
BENCHMARK(bm_gate_refusal);

}  // namespace
}  // namespace sidecar
