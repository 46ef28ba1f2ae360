// vendrix_bench: the Google Benchmark suite, or with --probe=KIND:N a fixed
// run of N Updates for instruction counting under callgrind
// (valgrind --tool=callgrind --collect-atstart=no); scripts/bench does both.
//   --probe=stream:N   N Updates that each stream 41 records
//   --probe=idle:N     N Updates of an idle machine
// The probe prints the units measured and the heap allocations made.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/rig.h"

namespace vx::bench {
namespace {

int Probe(const std::string& spec) {
  size_t colon = spec.find(':');
  std::string kind = spec.substr(0, colon);
  long n = colon == std::string::npos ? 0 : std::strtol(spec.c_str() + colon + 1, nullptr, 10);
  if ((kind != "stream" && kind != "idle") || n <= 0) {
    std::fprintf(stderr, "vendrix_bench: --probe=stream:N or --probe=idle:N\n");
    return 2;
  }
  const bool stream = kind == "stream";
  Rig rig;
  PluginContext& c = rig.ctx();
  if (!stream) rig.Drain();
  // Warm up so that nothing of the first cycles' one-off work is counted.
  for (int i = 0; i < 64; ++i) {
    if (stream) rig.Queue(41);
    c.Update();
  }
  const uint64_t allocations = Allocations();
  SetProbing(true);
  ToggleCollect();
  for (long i = 0; i < n; ++i) {
    if (stream) rig.Queue(41);
    c.Update();
  }
  ToggleCollect();
  SetProbing(false);
  const uint64_t made = Allocations() - allocations;
  std::printf("probe %s updates %ld units %ld allocations %llu\n", kind.c_str(), n, stream ? n * 41 : n,
              static_cast<unsigned long long>(made));
  return made == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vx::bench

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--probe=", 8) == 0) return vx::bench::Probe(argv[1] + 8);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
