#include "bench/rig.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(VX_HAVE_CALLGRIND)
#include <valgrind/callgrind.h>
#endif

// ---- Allocation count: every operator new of the process passes here.

namespace {
std::atomic<uint64_t> g_allocations{0};
bool g_probing = false;

void* Allocate(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vx::bench {

uint64_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }

void SetProbing(bool on) { g_probing = on; }
bool Probing() { return g_probing; }
void ToggleCollect() {
#if defined(VX_HAVE_CALLGRIND)
  CALLGRIND_TOGGLE_COLLECT;
#endif
}

namespace {

// The host's callbacks at their cheapest: the plug-in's calls are what is
// measured, not the host's bookkeeping.
double GetDro(int code) {
  switch (code) {
    case 57: return 24000.0;
    case 74: return 100.0;
    case 817: return 12000.0;
    default: return 0.0;
  }
}
uint8_t GetLed(int) { return 0; }
void Ignore(int) {}
void IgnoreDro(int, double) {}

}  // namespace

Rig::Rig() : board_(&machine_.hid) {
  machine_.host.SetWriteLogging(false);
  machine_.board.SetTranscriptEnabled(false);
  // Every ring slot holds a record once; Queue() then only moves TrajHead.
  for (uint32_t i = 0; i < host::kRingSize; ++i) {
    machine_.host.Write<int32_t>(sim::Struct::Engine,
                                 host::engine::Trajectory + host::engine::TrajectorySize * i + host::engine::TrajLineId,
                                 static_cast<int32_t>(i / 3 + 1));
    for (uint32_t a = 0; a < host::kAxes; ++a) {
      // Both signs, fractions and a spread of magnitudes up to the limit.
      double v = static_cast<double>((i * 37 + a * 101) % 801) - 400.0 + 0.25 * static_cast<double>(a);
      if (v > 400.0) v = 400.0;
      machine_.host.Write<double>(sim::Struct::Planner,
                                  host::planner::Moves + host::planner::MovesSize * i + host::planner::MoveStepDelta + 8 * a,
                                  v);
    }
  }
  machine_.ctx->os.Hid = &board_;
  machine_.Start();
  PluginContext& c = *machine_.ctx;
  c.SetGetDRO(&GetDro);
  c.SetGetLED(&GetLed);
  c.SetDoButton(&Ignore);
  c.SetSetDRO(&IgnoreDro);
  for (int i = 0; i < 100 && c.Device->Sequence != SeqIdle; ++i) c.Update();
  if (c.LinkUp != 1 || c.Device->Sequence != SeqIdle) std::abort();
}

void Rig::Queue(int n) {
  sim::HostSim& h = machine_.host;
  h.Write<int32_t>(sim::Struct::Engine, host::engine::TrajHead, (h.TrajIndex() + n) & host::kRingMask);
}

void Rig::Drain() {
  PluginContext& c = *machine_.ctx;
  for (int i = 0; i < 1000 && (!c.host.RingEmpty() || c.EndPending != 0); ++i) c.Update();
  c.Update();
}

}  // namespace vx::bench
