// The host data view writes and reads exactly the host's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "plugin/host_view.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

using sim::ByteRange;
using sim::HostSim;
using sim::Struct;

struct WriteCase {
  const char* name;
  std::function<void(HostView&)> write;
  Struct where;
  uint32_t offset;  // as the host lays it out
  uint32_t width;
};

// The host's fields and a write to each: offsets and widths of the 32-bit
// host, written out here independently of the view's constants.
std::vector<WriteCase> WriteCases() {
  return {
      {"TrajIndex", [](HostView& v) { v.SetTrajIndex(7); }, Struct::Engine, 163840, 4},
      {"Jogging", [](HostView& v) { v.SetEngineJogging(true); }, Struct::Engine, 163908, 1},
      {"Sync", [](HostView& v) { v.SetSync(); }, Struct::Engine, 163910, 1},
      {"Position[3]", [](HostView& v) { v.SetPosition(3, -5); }, Struct::Engine, 163920 + 288, 4},
      {"JogStopSent[1]", [](HostView& v) { v.SetJogStopSent(1, true); }, Struct::Engine, 163920 + 96 + 34, 1},
      {"AxisJogging[4]", [](HostView& v) { v.SetAxisJogging(4, true); }, Struct::Engine, 163920 + 384 + 36, 1},
      {"JogVelocity[2]", [](HostView& v) { v.SetJogVelocity(2, 900); }, Struct::Engine, 163920 + 192 + 48, 4},
      {"InSignal[25].Activated", [](HostView& v) { v.SetInActivated(25, true); }, Struct::Engine, 164592 + 400 + 8, 1},
      {"EStop", [](HostView& v) { v.SetEStop(true); }, Struct::Engine, 166367, 1},
      {"DwellTime", [](HostView& v) { v.SetDwellTime(1); }, Struct::Engine, 166476, 4},
      {"ProbeActive", [](HostView& v) { v.SetProbeActive(0); }, Struct::Engine, 166492, 4},
      {"CurrentLine", [](HostView& v) { v.SetCurrentLine(-1); }, Struct::Engine, 166500, 4},
      {"LastLine", [](HostView& v) { v.SetLastLine(9); }, Struct::Engine, 166504, 4},
      {"Referenced[2]", [](HostView& v) { v.SetReferenced(2, true); }, Struct::Engine, 166553 + 2, 1},
      {"HomingActive", [](HostView& v) { v.SetHomingActive(true); }, Struct::Engine, 166784, 1},
      {"planner Jogging", [](HostView& v) { v.SetPlannerJogging(true); }, Struct::Planner, 801965, 1},
      {"ProbePending", [](HostView& v) { v.SetProbePending(0); }, Struct::Planner, 1170848, 4},
      {"PulseRate[6]", [](HostView& v) { v.SetPulseRate(6, 1.0); }, Struct::Planner, 2384280 + 48, 8},
      {"ExternalStill", [](HostView& v) { v.SetExternalStill(true); }, Struct::Planner, 2384336, 1},
      {"SoftWait", [](HostView& v) { v.ClearSoftWait(); }, Struct::Planner, 2384616, 8},
      {"SoftWait bit 56", [](HostView& v) { v.ClearSoftWaitBit56(); }, Struct::Planner, 2384616 + 4, 4},
      {"InitWord", [](HostView& v) { v.SetInitWord(1); }, Struct::Planner, 2384726, 2},
      {"InitReal", [](HostView& v) { v.SetInitReal(0.004); }, Struct::Planner, 2745184, 8},
      {"InitCount", [](HostView& v) { v.SetInitCount(450); }, Struct::Planner, 2745192, 4},
      {"InitFlag", [](HostView& v) { v.SetInitFlag(false); }, Struct::View, 133936, 1},
  };
}

// Each write lands on exactly its field.
TEST(HostViewLayout, EveryWriteTouchesExactlyItsField) {
  HostSim host;
  HostView view = host.View();
  for (const WriteCase& c : WriteCases()) {
    host.ClearWriteLog();
    c.write(view);
    std::vector<ByteRange> expected{host.Field(c.where, c.offset, c.width)};
    EXPECT_EQ(host.WrittenRanges(), expected)
        << c.name << " wrote " << host.DescribeRanges(host.WrittenRanges()) << ", expected "
        << host.DescribeRanges(expected);
  }
}

void ExpectReadsFromTheHostFields(HostSim& host, HostView& view) {
  host.SetAxisTuning(4, 200.0, 30.0, 5.0);
  host.SetSoftLimits(4, -1000, 2000);
  host.SetHomePosition(4, 77);
  host.SetHoming(4, 40, true);
  host.SetInput(24, true, 13, 1, true);
  host.SetOutput(29, true, true, false);
  host.SetJogPercent(12.5);
  host.SetProbeTarget(1.0, 2.0, 3.0);
  host.SetMachinePosition(4, 6.5);
  host.SetJogReverse(4, true);
  host.SetRing(4090, 3);
  double delta[host::kAxes] = {0, 0, 0, 0, 0};
  host.PushRecord(delta, 1234);  // lands at ring index 3

  EXPECT_EQ(view.Steps(4), 200.0);
  EXPECT_EQ(view.Vel(4), 30.0);
  EXPECT_EQ(view.Acc(4), 5.0);
  EXPECT_EQ(view.SlimLo(4), -1000);
  EXPECT_EQ(view.SlimHi(4), 2000);
  EXPECT_EQ(view.HomePosition(4), 77);
  EXPECT_EQ(view.HomeSpeedPercent(4), 40);
  EXPECT_TRUE(view.HomeDirection(4));
  EXPECT_TRUE(view.InActive(24));
  EXPECT_EQ(view.InPin(24), 13);
  EXPECT_EQ(view.InPort(24), 1);
  EXPECT_TRUE(view.InNegated(24));
  EXPECT_TRUE(view.OutActive(29));
  EXPECT_TRUE(view.OutNegated(29));
  EXPECT_FALSE(view.OutActivated(29));
  EXPECT_EQ(view.JogPercent(), 12.5);
  EXPECT_EQ(view.ProbeTarget(2), 3.0);
  EXPECT_EQ(view.MachinePosition(4), 6.5);
  EXPECT_TRUE(view.JogReverse(4));
  EXPECT_EQ(view.TrajIndex(), 4090);
  EXPECT_EQ(view.TrajHead(), 4);
  EXPECT_EQ(view.TrajLineId(3), 1234);
  EXPECT_EQ(view.TrajLineId(4096 + 3), 1234);  // ring index is masked
  EXPECT_EQ(view.MainWindow(), HostSim::kMainWindow);
  EXPECT_FALSE(view.JogFullSpeed());
  host.SetJogFullSpeed(true);
  EXPECT_TRUE(view.JogFullSpeed());
}

TEST(HostViewLayout, ReadsComeFromTheHostFields) {
  HostSim host;
  HostView view = host.View();
  ExpectReadsFromTheHostFields(host, view);
}

// Without the write log the view reaches the structures through native
// pointers taken once: the same bytes, read and written at the moment of
// the call. Each write is made over two fills of the bytes around its field,
// so that every value changes something and nothing outside may change.
TEST(HostViewLayout, DirectAccessReachesTheSameBytes) {
  HostSim host;
  host.SetWriteLogging(false);
  ASSERT_TRUE(host.DirectAccess());
  HostView view = host.View();
  constexpr uint32_t kMargin = 16;
  for (const WriteCase& c : WriteCases()) {
    bool changed = false;
    const HostAddr begin = host.Addr(c.where, c.offset) - kMargin;
    const uint32_t size = c.width + 2 * kMargin;
    const std::vector<uint8_t> saved(host.Ptr(begin, size), host.Ptr(begin, size) + size);
    for (uint8_t fill : {0x00, 0xFF}) {
      std::memset(host.Ptr(begin, size), fill, size);
      c.write(view);
      const uint8_t* p = host.Ptr(begin, size);
      for (uint32_t i = 0; i < size; ++i) {
        const bool inField = i >= kMargin && i < kMargin + c.width;
        if (!inField) EXPECT_EQ(p[i], fill) << c.name << " wrote byte " << static_cast<int>(i) - int{kMargin};
        changed = changed || (inField && p[i] != fill);
      }
    }
    std::memcpy(host.Ptr(begin, size), saved.data(), size);
    EXPECT_TRUE(changed) << c.name << " wrote nothing into its field";
  }
  ExpectReadsFromTheHostFields(host, view);
}

// Bit 56 is bit 24 of the upper word; the clear must neither touch the lower
// word nor any other bit.
TEST(HostViewLayout, SoftWaitBit56ClearsOnlyThatBit) {
  const uint64_t masks[] = {~0ull, 1ull << 56, (1ull << 56) | 1ull, 0x0123456789ABCDEFull, 0};
  HostSim host;
  HostView view = host.View();
  for (uint64_t mask : masks) {
    host.SetSoftWait(mask);
    host.ClearWriteLog();
    view.ClearSoftWaitBit56();
    EXPECT_EQ(host.SoftWait(), mask & ~(1ull << 56)) << std::hex << mask;
    EXPECT_FALSE(host.WasWritten(host.Field(Struct::Planner, host::planner::SoftWait, 4)));
  }
}

// The moves record is copied out of the host and its step increments taken
// from offset 32; neighbouring records do not bleed in.
TEST(HostViewLayout, StepDeltasComeFromTheirOwnMovesRecord) {
  // Through Map and through the native pointers alike.
  for (bool log : {true, false}) {
    SCOPED_TRACE(log ? "write log on" : "direct access");
    HostSim host;
    host.SetWriteLogging(log);
    HostView view = host.View();
    host.SetRing(4095, 4095);
    const double a[host::kAxes] = {1.5, -2.0, 3.0, -4.0, 5.0};
    const double b[host::kAxes] = {10, 20, 30, 40, 50};
    ASSERT_TRUE(host.PushRecord(a, 1));  // index 4095
    ASSERT_TRUE(host.PushRecord(b, 2));  // index 0: the ring wrapped
    // Bytes of record 4095 around the deltas belong to the host.
    HostAddr rec = host.Addr(Struct::Planner, host::planner::Moves + 288 * 4095);
    host.Poke<double>(rec + 24, 99.0);
    host.Poke<double>(rec + 72, 99.0);
    double out[host::kAxes];
    view.CopyStepDeltas(4095, out);
    for (int i = 0; i < host::kAxes; ++i) EXPECT_EQ(out[i], a[i]) << "axis " << i;
    view.CopyStepDeltas(4096, out);
    for (int i = 0; i < host::kAxes; ++i) EXPECT_EQ(out[i], b[i]) << "axis " << i;
    EXPECT_EQ(view.TrajLineId(4095), 1);
    EXPECT_EQ(view.TrajLineId(0), 2);
    EXPECT_EQ(host.TrajHead(), 1);
  }
}

// Only axes 0..4 are ever written, whatever index reaches the view.
TEST(HostViewLayout, AxisEntriesFiveAndUpAreNeverWritten) {
  HostSim host;
  HostView view = host.View();
  for (int a : {0, 1, 2, 3, 4, 5, 6, -1, 100}) {
    view.SetPosition(a, 1);
    view.SetJogStopSent(a, true);
    view.SetAxisJogging(a, true);
    view.SetJogVelocity(a, 1);
    view.SetReferenced(a, true);
  }
  std::vector<ByteRange> allowed;
  for (int a = 0; a < host::kAxes; ++a) {
    uint32_t rec = host::engine::Axis + 96 * a;
    allowed.push_back(host.Field(Struct::Engine, rec + 0, 4));
    allowed.push_back(host.Field(Struct::Engine, rec + 34, 1));
    allowed.push_back(host.Field(Struct::Engine, rec + 36, 1));
    allowed.push_back(host.Field(Struct::Engine, rec + 48, 4));
    allowed.push_back(host.Field(Struct::Engine, host::engine::Referenced + a, 1));
  }
  auto stray = host.WritesOutside(allowed);
  EXPECT_TRUE(stray.empty()) << host.DescribeRanges(stray);
}

// The simulator's ring refuses to overrun the plug-in's read index.
TEST(HostSimRing, PushStopsWhenFull) {
  HostSim host;
  double d[host::kAxes] = {};
  EXPECT_EQ(host.RingFree(), 4095);
  int pushed = 0;
  while (host.PushRecord(d, pushed)) ++pushed;
  EXPECT_EQ(pushed, 4095);
  EXPECT_EQ(host.RingPending(), 4095);
  EXPECT_EQ(host.RingFree(), 0);
}

}  // namespace
}  // namespace vx
