// The plug-in's per-cycle costs: encoding a record, an Update that streams
// 41 records, an idle Update, one status step and a full reset, each with
// the heap allocations it makes.
#include <benchmark/benchmark.h>

#include "bench/rig.h"

namespace vx::bench {
namespace {

constexpr int kRecordsPerUpdate = 41;

// Heap allocations per iteration of the timed loop, next to the time. The
// count is taken before the framework's own counters are stored (which
// allocate).
class AllocationCounter {
 public:
  explicit AllocationCounter(benchmark::State& state) : state_(state), start_(Allocations()) {}
  void Stop() {
    const uint64_t made = Allocations() - start_;
    state_.counters["allocs"] = benchmark::Counter(static_cast<double>(made), benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  uint64_t start_;
};

// One record into the open packet; every sixth writes a report, every
// twelfth packet waits for its SegmentsAck answer.
void BM_EncodeSegment(benchmark::State& state) {
  Rig rig;
  MyHardwareClass& hw = *rig.ctx().Device->Hardware;
  double delta[proto::kAxes] = {123.0, -45.5, 7.0, 0.0, 399.0};
  int32_t line = 1;
  AllocationCounter allocs(state);
  for (auto _ : state) {
    delta[0] = -delta[0];
    benchmark::DoNotOptimize(hw.EncodeSegment(delta, ++line));
  }
  allocs.Stop();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSegment);

// The Update of a streaming machine: 41 waiting records taken from the ring,
// encoded and sent, with the status exchange of every fourth call.
void BM_UpdateStreaming41(benchmark::State& state) {
  Rig rig;
  PluginContext& c = rig.ctx();
  AllocationCounter allocs(state);
  for (auto _ : state) {
    rig.Queue(kRecordsPerUpdate);
    c.Update();
  }
  allocs.Stop();
  state.SetItemsProcessed(state.iterations() * kRecordsPerUpdate);
  state.counters["per_record"] =
      benchmark::Counter(kRecordsPerUpdate, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UpdateStreaming41);

// The Update of an idle machine: status exchange, input mirroring and
// safety checks, position copy, outputs and the sequence step.
void BM_UpdateIdle(benchmark::State& state) {
  Rig rig;
  rig.Drain();
  PluginContext& c = rig.ctx();
  AllocationCounter allocs(state);
  for (auto _ : state) c.Update();
  allocs.Stop();
}
BENCHMARK(BM_UpdateIdle);

void BM_StatusStep(benchmark::State& state) {
  Rig rig;
  rig.Drain();
  MyDeviceClass& dev = *rig.ctx().Device;
  AllocationCounter allocs(state);
  for (auto _ : state) dev.StatusStep();
  allocs.Stop();
}
BENCHMARK(BM_StatusStep);

// The host's Reset: Stop, Identify with the signal configuration,
// SetPositions, AxisSetup, Status and the status-line message.
void BM_FullReset(benchmark::State& state) {
  Rig rig;
  PluginContext& c = rig.ctx();
  AllocationCounter allocs(state);
  for (auto _ : state) c.Reset();
  allocs.Stop();
}
BENCHMARK(BM_FullReset);

}  // namespace
}  // namespace vx::bench
