// Host structure contents made up by the input, written over the fields the
// plug-in reads (tuning, homing and probe parameters, soft limits, signal
// records with pins and ports out of range, flags with any byte, the ring's
// indices, records and line ids, DRO values), and the host's requests with
// arguments of any value: non-finite, huge and negative doubles, axes and
// flags out of range. Whatever the host holds, the plug-in must not crash
// or misbehave, must send the board no move for an axis it does not have,
// and must write no host byte outside the fields it owns.
#include <vector>

#include "fuzz_input.h"
#include "machine_rig.h"

namespace vx {
namespace {

using sim::Struct;

struct Field {
  Struct In;
  uint32_t Offset;
  uint32_t Size;
  uint32_t Stride;  // between entries of an array, 0 for one field
  uint32_t Count;
};

namespace he = host::engine;
namespace hp = host::planner;

// Every field the plug-in reads and the host writes (TrajIndex is the
// plug-in's alone).
const Field kRead[] = {
    {Struct::Planner, hp::Steps, 8, 8, 6},
    {Struct::Planner, hp::Vel, 8, 8, 6},
    {Struct::Planner, hp::Acc, 8, 8, 6},
    {Struct::Planner, hp::HomeSpeedPercent, 4, 4, 5},
    {Struct::Planner, hp::HomeDirection, 1, 1, 5},
    {Struct::Planner, hp::ProbeTarget, 8, 8, 3},
    {Struct::Planner, hp::MachinePosition, 8, 8, 5},
    {Struct::Planner, hp::DwellMilliseconds, 1, 0, 1},
    {Struct::Planner, hp::BufferEnding, 1, 0, 1},
    {Struct::Settings, host::settings::JogPercent, 8, 0, 1},
    {Struct::Engine, he::InSignal, 16, 16, 53},  // whole records: active, pin, port, negated...
    {Struct::Engine, he::OutSignal, 5, 5, 30},
    {Struct::Engine, he::Motor, 1, he::MotorSize, 7},
    {Struct::Engine, he::Axis + he::AxisPosition, 4, he::AxisSize, 5},
    {Struct::Engine, he::Axis + he::AxisResetFlagA, 1, he::AxisSize, 5},
    {Struct::Engine, he::Axis + he::AxisResetFlagB, 1, he::AxisSize, 5},
    {Struct::Engine, he::Axis + he::AxisResetFlagC, 1, he::AxisSize, 5},
    {Struct::Engine, he::SlimHi, 4, 4, 5},
    {Struct::Engine, he::SlimLo, 4, 4, 5},
    {Struct::Engine, he::SoftLimitsEnable, 1, 0, 1},
    {Struct::Engine, he::JogReverse, 1, 1, 5},
    {Struct::Engine, he::HomePosition, 4, 4, 5},
    {Struct::Engine, he::OffLine, 1, 0, 1},
    {Struct::Engine, he::EStop, 1, 0, 1},
    {Struct::Engine, he::Jogging, 1, 0, 1},
    {Struct::Engine, he::HomingActive, 1, 0, 1},
    {Struct::Engine, he::TrajHead, 4, 0, 1},
    {Struct::Engine, he::Trajectory + he::TrajLineId, 4, he::TrajectorySize, 4096},
    {Struct::Planner, hp::Moves + hp::MoveStepDelta, 40, hp::MovesSize, 4096},
};

// Every field the plug-in writes.
std::vector<sim::ByteRange> Owned(const sim::HostSim& h) {
  std::vector<sim::ByteRange> r;
  auto add = [&](Struct s, uint32_t off, uint32_t size) { r.push_back(h.Field(s, off, size)); };
  add(Struct::Engine, he::TrajIndex, 4);
  add(Struct::Engine, he::Jogging, 1);
  add(Struct::Engine, he::Sync, 1);
  for (int a = 0; a < host::kAxes; ++a) {
    const uint32_t rec = he::Axis + he::AxisSize * a;
    add(Struct::Engine, rec + he::AxisPosition, 4);
    add(Struct::Engine, rec + he::AxisJogStopSent, 1);
    add(Struct::Engine, rec + he::AxisJogging, 1);
    add(Struct::Engine, rec + he::AxisJogVelocity, 4);
    add(Struct::Engine, he::Referenced + a, 1);
  }
  for (int s = 0; s < host::kInSignals; ++s) add(Struct::Engine, he::InSignal + 16 * s + he::InActivated, 1);
  add(Struct::Engine, he::EStop, 1);
  add(Struct::Engine, he::DwellTime, 4);
  add(Struct::Engine, he::ProbeActive, 4);
  add(Struct::Engine, he::CurrentLine, 4);
  add(Struct::Engine, he::LastLine, 4);
  add(Struct::Engine, he::HomingActive, 1);
  add(Struct::Planner, hp::Jogging, 1);
  add(Struct::Planner, hp::StatusMessage, 4);
  add(Struct::Planner, hp::ProbePending, 4);
  add(Struct::Planner, hp::PulseRate, 8 * host::kPulseRates);
  add(Struct::Planner, hp::ExternalStill, 1);
  add(Struct::Planner, hp::SoftWait, 8);
  add(Struct::Planner, hp::InitWord, 2);
  add(Struct::Planner, hp::InitReal, 8);
  add(Struct::Planner, hp::InitCount, 4);
  add(Struct::View, host::view::InitFlag, 1);
  r.push_back(h.StringHeap());
  return r;
}

// Writes input bytes over one entry of one field.
void Scribble(sim::HostSim& host, fuzz::Input& in) {
  const Field& f = kRead[in.Byte() % (sizeof kRead / sizeof kRead[0])];
  const uint32_t entry = f.Count > 1 ? in.U16() % f.Count : 0;
  uint8_t bytes[40] = {};
  const size_t n = in.Take(bytes, f.Size);
  uint8_t* at = host.Ptr(host.Addr(f.In, f.Offset + f.Stride * entry), f.Size);
  if (at != nullptr) std::memcpy(at, bytes, n);
}

constexpr int kDros[] = {57, 74, 817, 800, 801, 802, 818};

}  // namespace
}  // namespace vx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx;
  fuzz::Input in(data, size);
  sim::MachineOptions o;
  o.Board.SegmentPeriodUs = 100;
  sim::Machine m(o);
  fuzz::WireMachine(m);
  // Some of the host's contents before the start, the rest as it runs.
  for (int i = 0, n = in.Byte() % 16; i < n; ++i) Scribble(m.host, in);
  m.host.ClearWriteLog();
  m.Start();
  for (int step = 0; step < 300 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    switch (op % 12) {
      case 0:
      case 1: Scribble(m.host, in); break;
      case 2: {
        const int code = kDros[in.Byte() % 7];
        m.host.Dro[code] = in.Double();
        break;
      }
      case 3: m.host.Led[11] = in.Bool(); break;
      case 4: {
        const int32_t axis = in.I32();
        const int32_t direction = in.I32();
        m.ctx->JogOn(axis, direction, in.Double());
        break;
      }
      case 5: m.ctx->Home(in.I32()); break;
      case 6: m.ctx->DoDwell(in.Double()); break;
      case 7: m.ctx->Purge(in.I32()); break;
      case 8: m.ctx->Notify(in.I32()); break;
      case 9: m.ctx->JogOff(in.I32()); break;
      default: fuzz::HostStep(m, in); break;
    }
    fuzz::CheckMachine(m);
  }
  const auto stray = m.host.WritesOutside(Owned(m.host));
  if (!stray.empty()) fuzz::Fail("host bytes written outside the plug-in's fields:", m.host.DescribeRanges(stray));
  return 0;
}
