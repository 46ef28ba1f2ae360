// Probing, dwells and purges against the host and board simulators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "operator_support.h"

namespace vx {
namespace {

using sim::AxisSwitch;
using sim::Machine;
using sim::MachineOptions;
using test::Commands;
using test::Device;
using test::MoveBytes;
using test::Moves;
using test::StartIdle;
using test::Texts;

constexpr int kProbeSignal = 22;
constexpr int kProbePin = 15;

MachineOptions Steps200() {
  MachineOptions o;
  o.Steps = 200.0;
  return o;
}

void SetCurrent(Machine& m, double x, double y, double z) {
  m.host.Dro[800] = x;
  m.host.Dro[801] = y;
  m.host.Dro[802] = z;
}

TEST(Probe, MovesTheAxisFarthestFromTheTarget) {
  struct Case {
    const char* name;
    double target[3], current[3];
    int axis;
    int32_t distance;  // steps, at 200 steps per unit
  } cases[] = {
      {"X farthest", {10, 3, 2}, {0, 0, 0}, 0, 2000},
      {"X and Y tie above Z: Y", {5, -5, 2}, {0, 0, 0}, 1, -1000},
      {"Z equal to the larger of X and Y: Z", {4, 1, -4}, {0, 0, 0}, 2, -800},
      {"Z farthest", {1, 1, -7.5}, {0, 0, 0}, 2, -1500},
      {"Y farthest from a current point", {1, 2, 0}, {0.5, -3, 0.25}, 1, 1000},
      {"fraction truncates toward zero", {0, 0, -1.00499}, {0, 0, 0}, 2, -200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(Steps200());
    m.host.SetInput(kProbeSignal, true, kProbePin);
    StartIdle(m);
    m.host.SetProbeTarget(c.target[0], c.target[1], c.target[2]);
    SetCurrent(m, c.current[0], c.current[1], c.current[2]);
    m.host.Dro[818] = 60.0;  // units per minute
    m.ctx->Probe();
    // 60 units/min x 200 steps/unit / 60 = 200 steps/s; acceleration 1.
    EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(c.axis, c.distance, 200, 1, kProbePin, 1)}));
    for (int d = 800; d <= 802; ++d) EXPECT_EQ(m.host.DroReads[d], d == 800 + c.axis ? 2 : 1) << "DRO " << d;
    EXPECT_EQ(m.host.DroReads[818], 1);
    EXPECT_EQ(Device(m).WaitForJogIdle, 1);
    EXPECT_EQ(Device(m).InMotion, 0);
    EXPECT_FALSE(m.host.EngineJogging());
  }
}

TEST(Probe, StopsOnTheSurfaceAndEndsWithTheIdleBoard) {
  struct Case {
    const char* name;
    bool negated;
  } cases[] = {{"active high", false}, {"active low", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MachineOptions o = Steps200();
    o.UpdatePeriodUs = 10000;  // the probe ramps up at 1 step/s^2
    Machine m(o);
    m.host.SetInput(kProbeSignal, true, kProbePin, 1, c.negated);
    // The surface 12 steps below Z = 0.
    m.board.AddSwitch(AxisSwitch{2, kProbePin, -12, false, c.negated ? 0 : 1});
    StartIdle(m);
    m.host.SetProbeTarget(0, 0, -1.0);
    m.host.Dro[818] = 60.0;
    m.ctx->Probe();
    const int level = c.negated ? 0 : 1;
    EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(2, -200, 200, 1, kProbePin, level)}));

    // The end comes with the first status reply that reports the board idle.
    m.Update();
    for (int i = 0; Device(m).WaitForJogIdle == 1; ++i) {
      ASSERT_LT(i, 2000);
      ASSERT_EQ(m.ctx->BoardIdle, 0) << "a probe still open after an idle reply";
      m.Update();
    }
    EXPECT_EQ(m.ctx->BoardIdle, 1);
    EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::StopInput);
    EXPECT_EQ(m.board.PinLevel(kProbePin), level);
    EXPECT_EQ(m.board.Position(2), -12);
    EXPECT_EQ(m.host.Position(2), -12);
    EXPECT_TRUE(m.host.ExternalStill());
    EXPECT_TRUE(m.host.Sync());
    EXPECT_EQ(Device(m).JogAxis, -1);
    for (int a = 0; a < 5; ++a) EXPECT_FALSE(m.host.AxisJogging(a));
  }
}

TEST(Probe, NoStepsToGoSendsNoMoveButStillEnds) {
  struct Case {
    const char* name;
    double targetZ;
  } cases[] = {{"target at the current position", -3.0}, {"less than a step away", -3.004}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(Steps200());
    m.host.SetInput(kProbeSignal, true, kProbePin);
    StartIdle(m);
    SetCurrent(m, 0, 0, -3.0);
    m.host.SetProbeTarget(0, 0, c.targetZ);
    m.ctx->Probe();
    EXPECT_TRUE(m.board.Transcript().empty());
    EXPECT_EQ(Device(m).WaitForJogIdle, 1);
    m.Update();
    EXPECT_EQ(Device(m).WaitForJogIdle, 0);
    EXPECT_TRUE(m.host.ExternalStill());
    EXPECT_TRUE(m.host.Sync());
    EXPECT_EQ(Commands(m.board), std::vector<uint8_t>{});
  }
}

TEST(Probe, RefusedRequestsClearTheHostsProbeFlags) {
  struct Case {
    const char* name;
    bool configured, estop;
    const char* message;
  } cases[] = {
      {"probe input not configured", false, false, "Probe called but not turned on."},
      {"not configured, in E-stop", false, true, "Probe called but not turned on."},
      // Nothing moves in E-stop.
      {"E-stop", true, true, "No Probing in Estop!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m(Steps200());
    m.host.SetInput(kProbeSignal, c.configured, kProbePin);
    StartIdle(m);
    m.host.SetEStop(c.estop);
    m.host.SetProbeTarget(0, 0, -5.0);
    HostView v = m.host.View();
    v.SetProbeActive(1);
    v.SetProbePending(1);
    m.ctx->Probe();
    EXPECT_EQ(m.host.StatusHistory(), Texts{c.message});
    EXPECT_EQ(m.host.ProbeActive(), 0);
    EXPECT_EQ(m.host.ProbePending(), 0);
    EXPECT_TRUE(m.board.Transcript().empty());
    EXPECT_EQ(m.host.DroReads[800], 0);
    EXPECT_EQ(Device(m).WaitForJogIdle, 0);
  }
}

TEST(Dwell, EndsOnTheFirstStepAfterItsLength) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr uint32_t kLongest = 0x7FFFFFFF;
  struct Case {
    const char* name;
    double time;
    bool milliseconds;
    uint32_t startTick;
    uint32_t length;  // ms
  } cases[] = {
      {"1.5 s", 1.5, false, 1000, 1500},
      {"1.5 with the ms flag", 1.5, true, 1000, 1},
      {"across the tick counter's wrap", 1.5, false, 0xFFFFFF00u, 1500},
      {"zero", 0.0, false, 1000, 0},
      {"negative", -3.0, false, 1000, 0},
      {"NaN", kNaN, true, 0xFFFFFFF0u, 0},
      {"minus infinity", -kInf, false, 1000, 0},
      {"just below the cap", 2147483646.9, true, 7, kLongest - 1},
      {"2^31 ms", 2147483648.0, true, 7, kLongest},
      {"huge seconds", 1e300, false, 0xFFFFFFFFu, kLongest},
      {"infinity", kInf, false, 1000, kLongest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    StartIdle(m);
    m.host.SetDwellMilliseconds(c.milliseconds);
    m.clock.Set(c.startTick);
    m.ctx->DoDwell(c.time);
    EXPECT_EQ(Device(m).DwellStart, c.startTick);
    EXPECT_EQ(Device(m).DwellLength, c.length);
    EXPECT_EQ(m.host.DwellTime(), 1);
    EXPECT_EQ(Device(m).Sequence, SeqDwell);

    m.clock.Set(c.startTick + c.length);  // modulo 2^32
    m.ctx->Update();
    EXPECT_EQ(m.host.DwellTime(), 1) << "ended with no more than its length elapsed";
    m.clock.Set(c.startTick + c.length + 1);
    m.ctx->Update();
    EXPECT_EQ(m.host.DwellTime(), 0);
    EXPECT_EQ(Device(m).Sequence, SeqIdle);
  }
}

TEST(Dwell, CountsUpdateTicksWhileTheBoardIsBusy) {
  Machine m;  // one millisecond per Update
  m.host.SetJogFullSpeed(true);
  StartIdle(m);
  m.ctx->JogOn(0, 0, 0.0);
  m.ctx->DoDwell(0.02);
  int updates = 0;
  while (m.host.DwellTime() == 1 && updates < 100) {
    m.Update();
    ++updates;
  }
  // The step of update n sees n - 1 ms elapsed: done once 21 have passed.
  EXPECT_EQ(updates, 22);
  EXPECT_FALSE(m.board.Idle());
  EXPECT_EQ(Device(m).Sequence, SeqIdle);
}

TEST(Purge, ZeroesTheChosenAxesAndLoadsAllFive) {
  const int32_t start[5] = {100, -200, 300, -400, 500};
  struct Case {
    const char* name;
    int flags;
    bool estop;
    int32_t positions[5];
  } cases[] = {
      {"X and Z", 5, false, {0, -200, 0, -400, 500}},
      {"none", 0, false, {100, -200, 300, -400, 500}},
      {"all", 0x1F, false, {0, 0, 0, 0, 0}},
      {"Y and B", 0x12, false, {100, 0, 300, -400, 0}},
      {"only bits beyond B", 0xFFE0, false, {100, -200, 300, -400, 500}},
      {"X and Z in E-stop", 5, true, {0, -200, 0, -400, 500}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    for (int a = 0; a < 5; ++a) m.host.SetPosition(a, start[a]);
    StartIdle(m);
    m.Update();
    m.host.SetEStop(c.estop);
    // Every byte but the positions and the code repeats the board's last answer.
    const auto& last = m.board.Transcript().back();
    ASSERT_EQ(last.Dir, sim::Direction::FromBoard);
    proto::Payload expected;
    std::memcpy(expected.data(), proto::PayloadOf(last.Bytes), proto::kPayloadSize);
    for (int a = 0; a < 5; ++a) proto::PutU32(expected.data() + 4 + 4 * a, static_cast<uint32_t>(c.positions[a]));
    expected[63] = proto::kSetPositions;
    m.board.ClearTranscript();

    m.ctx->Purge(c.flags);
    EXPECT_EQ(m.board.Written(proto::kSetPositions), std::vector<proto::Payload>{expected});
    EXPECT_EQ(Commands(m.board), std::vector<uint8_t>{proto::kSetPositions});
    for (int a = 0; a < 5; ++a) {
      EXPECT_EQ(m.host.Position(a), c.positions[a]) << "axis " << a;
      EXPECT_EQ(m.board.Position(a), c.positions[a]) << "axis " << a;
    }
  }
}

}  // namespace
}  // namespace vx
