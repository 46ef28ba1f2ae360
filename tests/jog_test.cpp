// Jogging against the host and board simulators: the Move a jog sends, its
// stop by JogOff, the end reported by the sequence step, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "operator_support.h"

namespace vx {
namespace {

using sim::Machine;
using test::Commands;
using test::Device;
using test::MoveBytes;
using test::Moves;
using test::StartIdle;
using test::Texts;

constexpr int kXLimit = 0;
constexpr int kLimitOver = 24;

// X at 10.0 units with 100 steps per unit, soft limits -5000..5000 steps.
void SoftLimitedX(Machine& m) {
  m.host.SetAxisTuning(0, 100.0, 20.0, 100.0);
  m.host.SetPosition(0, 1000);
  m.host.SetMachinePosition(0, 10.0);
  m.host.SetSoftLimits(0, -5000, 5000);
  m.host.SetSoftLimitsEnable(true);
  m.host.SetJogPercent(50.0);
}

void ExpectJogEnded(Machine& m) {
  EXPECT_FALSE(m.host.EngineJogging());
  EXPECT_FALSE(m.host.PlannerJogging());
  EXPECT_FALSE(m.host.AxisJogging(0));
  EXPECT_TRUE(m.host.ExternalStill());
  EXPECT_TRUE(m.host.Sync());
  EXPECT_EQ(Device(m).WaitForJogIdle, 0);
  EXPECT_EQ(Device(m).InMotion, 0);
  EXPECT_EQ(Device(m).JogAxis, -1);
}

TEST(Jog, JogOffStopsTheMoveEarlyAndTheIdleBoardEndsTheJog) {
  Machine m;
  SoftLimitedX(m);
  StartIdle(m);
  m.host.SetExternalStill(true);

  m.ctx->JogOn(0, 0, 0.0);
  // 50 % of 20 units/s at 100 steps/unit; 100 units/s^2; 5000 - 1000 steps.
  ASSERT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(0, 4000, 1000, 10000)}));
  EXPECT_TRUE(m.host.EngineJogging());
  EXPECT_TRUE(m.host.PlannerJogging());
  EXPECT_TRUE(m.host.AxisJogging(0));
  EXPECT_EQ(m.host.JogVelocity(0), 1000);
  EXPECT_FALSE(m.host.ExternalStill());
  EXPECT_EQ(Device(m).InMotion, 1);
  EXPECT_EQ(m.ctx->BoardIdle, 0);

  m.Updates(300);
  ASSERT_TRUE(m.host.EngineJogging());  // the jog waits for the key's release
  const int32_t beforeStop = m.board.Position(0);
  EXPECT_GT(beforeStop, 1100);
  m.host.ClearSync();

  m.ctx->JogOff(3);  // the argument names no axis: the running jog stops
  EXPECT_EQ(Commands(m.board), (std::vector<uint8_t>{proto::kMove, proto::kJogStop}));
  EXPECT_TRUE(m.host.JogStopSent(0));
  EXPECT_EQ(Device(m).WaitForJogIdle, 1);
  EXPECT_TRUE(m.host.EngineJogging());

  // The end comes with the first status reply that reports the board idle.
  for (int i = 0; m.host.EngineJogging(); ++i) {
    ASSERT_LT(i, 2000);
    ASSERT_EQ(m.ctx->BoardIdle, 0) << "a jog still open after an idle reply";
    m.Update();
  }
  EXPECT_EQ(m.ctx->BoardIdle, 1);
  ExpectJogEnded(m);
  EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::JogStop);
  EXPECT_GT(m.board.Position(0), beforeStop);
  EXPECT_LT(m.board.Position(0), 5000);
  EXPECT_EQ(m.host.Position(0), m.board.Position(0));
  EXPECT_TRUE(m.host.StatusHistory().empty());
  EXPECT_TRUE(m.board.Violations().empty());
}

TEST(Jog, MoveThatReachedItsEndStillEndsAtJogOffWithoutJogStop) {
  Machine m;
  SoftLimitedX(m);
  m.host.SetSoftLimits(0, -5000, 1200);
  StartIdle(m);

  m.ctx->JogOn(0, 0, 0.0);
  ASSERT_TRUE(m.UpdateUntil([&] { return m.board.Idle(); }, 5000));
  m.Updates(5);
  EXPECT_EQ(m.board.Position(0), 1200);
  EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::Distance);
  EXPECT_TRUE(m.host.EngineJogging());  // the jog stays until JogOff
  m.host.ClearSync();

  m.ctx->JogOff(0);
  EXPECT_EQ(Commands(m.board), (std::vector<uint8_t>{proto::kMove}));
  EXPECT_FALSE(m.host.JogStopSent(0));
  m.Update();
  ExpectJogEnded(m);
  EXPECT_EQ(m.host.Position(0), 1200);
}

TEST(Jog, FeedFromSpeedPercentAndFullSpeedByte) {
  struct Case {
    const char* name;
    double speed;
    bool fullSpeed;
    uint32_t velocity;  // steps/s, with Vel 2.0, Steps 1000 and JogPercent 25
  } cases[] = {
      {"percent of Vel", 0.0, false, 500},
      {"full speed byte", 0.0, true, 2000},
      {"asked speed", 1.5, false, 1500},
      {"asked speed, byte set", 1.5, true, 1500},
      {"asked fraction truncates", 0.0123456, false, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host.SetJogPercent(25.0);
    m.host.SetJogFullSpeed(c.fullSpeed);
    StartIdle(m);
    m.ctx->JogOn(1, 0, c.speed);
    EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(1, 999999, c.velocity, 10000)}));
    EXPECT_EQ(m.host.JogVelocity(1), static_cast<int32_t>(c.velocity));
  }
}

TEST(Jog, DistanceFromSoftLimitsOrFixed) {
  constexpr int32_t kMost = std::numeric_limits<int32_t>::max();
  struct Case {
    const char* name;
    int axis;
    bool softLimits;
    double machinePosition, steps;
    int32_t lo, hi;
    bool reverse;
    int direction;
    int32_t distance;
  } cases[] = {
      {"free +", 0, false, 10.0, 100, -5000, 5000, false, 0, 999999},
      {"free -", 0, false, 10.0, 100, -5000, 5000, false, 1, -999999},
      {"free + reversed", 0, false, 10.0, 100, -5000, 5000, true, 0, -999999},
      {"free -, any nonzero direction", 0, false, 10.0, 100, -5000, 5000, false, -7, -999999},
      {"free - reversed", 0, false, 10.0, 100, -5000, 5000, true, 1, 999999},
      {"soft +", 0, true, 10.0, 100, -5000, 5000, false, 0, 4000},
      {"soft -", 0, true, 10.0, 100, -5000, 5000, false, 1, -6000},
      {"soft + reversed", 0, true, 10.0, 100, -5000, 5000, true, 0, -4000},
      {"soft - reversed", 0, true, 10.0, 100, -5000, 5000, true, 1, 6000},
      {"soft, Y's own settings +", 1, true, -2.5, 200, -3000, 1000, false, 0, 1500},
      {"soft, Y's own settings -", 1, true, -2.5, 200, -3000, 1000, false, 1, -2500},
      {"soft, truncated toward zero +", 2, true, 0.0123, 1000, -100, 100, false, 0, 87},
      {"soft, truncated toward zero -", 2, true, 0.0123, 1000, -100, 100, false, 1, -112},
      // Beyond a limit there is no room toward it: the axis stays.
      {"beyond high, asked +", 0, true, 60.0, 100, -5000, 5000, false, 0, 0},
      {"beyond high, asked -", 0, true, 60.0, 100, -5000, 5000, false, 1, -11000},
      {"beyond low, asked -", 0, true, -60.0, 100, -5000, 5000, false, 1, 0},
      {"beyond high, reversed, asked -", 0, true, 60.0, 100, -5000, 5000, true, 1, 11000},
      // Out of the int32 range: as far as the board counts, same direction.
      {"saturated +", 3, true, -3.0e6, 1000, -5000, 5000, false, 0, kMost},
      {"saturated -", 3, true, 3.0e6, 1000, -5000, 5000, false, 1, -kMost},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host.SetJogFullSpeed(true);
    // X keeps settings of its own, which other axes must not pick up.
    m.host.SetAxisTuning(0, 100, 2.0, 10.0);
    m.host.SetMachinePosition(0, 10.0);
    m.host.SetSoftLimits(0, -5000, 5000);
    m.host.SetAxisTuning(c.axis, c.steps, 2.0, 10.0);
    m.host.SetMachinePosition(c.axis, c.machinePosition);
    m.host.SetSoftLimits(c.axis, c.lo, c.hi);
    m.host.SetSoftLimitsEnable(c.softLimits);
    m.host.SetJogReverse(c.axis, c.reverse);
    StartIdle(m);
    m.ctx->JogOn(c.axis, c.direction, 0.0);
    const auto vel = static_cast<uint32_t>(2.0 * c.steps);
    const auto acc = static_cast<uint32_t>(10.0 * c.steps);
    EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(c.axis, c.distance, vel, acc)}));
    EXPECT_EQ(Device(m).JogDistance, c.distance);
  }
}

TEST(Jog, OffATrippedLimitOnlyUnderLimitOverAndAtFivePercent) {
  Machine m;
  m.host.SetJogFullSpeed(true);
  m.host.SetInput(kXLimit, true, 11);
  m.host.SetInput(kLimitOver, true, 20);
  StartIdle(m);

  // Tripped with the override on: the board is reset once, no E-stop.
  m.board.SetPin(20, 1);
  m.board.SetPin(11, 1);
  m.Update();
  ASSERT_EQ(Device(m).LimitLatch, 1);
  ASSERT_FALSE(m.host.EStop());
  m.ctx->JogOn(0, 1, 0.0);
  // 5 % of 2.0 units/s x 1000 steps/unit.
  EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(0, -999999, 100, 10000)}));
  EXPECT_EQ(m.host.JogVelocity(0), 2000);
  m.ctx->JogOff(0);
  ASSERT_TRUE(m.UpdateUntil([&] { return !m.host.EngineJogging(); }, 2000));

  // The override let go while the switch is still on: no jog, not even the
  // E-stop message, because the latched limit is tested first.
  m.board.SetPin(20, 0);
  m.Update();
  ASSERT_TRUE(m.host.EStop());
  m.host.ClearStatusHistory();
  m.ctx->JogOn(0, 1, 0.0);
  EXPECT_EQ(Moves(m.board).size(), 1u);
  EXPECT_TRUE(m.host.StatusHistory().empty());
  EXPECT_FALSE(m.host.EngineJogging());
}

TEST(Jog, Refusals) {
  struct Case {
    const char* name;
    void (*setup)(Machine&);
    int axis;
    const char* message;  // nullptr: silent
  } cases[] = {
      {"E-stop", [](Machine& m) { m.host.SetEStop(true); }, 0, "No Jogging in Estop!!"},
      {"E-stop with records waiting",
       [](Machine& m) {
         m.host.SetEStop(true);
         const double d[5] = {1, 0, 0, 0, 0};
         m.host.PushRecord(d, 1);
       },
       0, "No Jogging in Estop!!"},
      {"sequence running", [](Machine& m) { m.ctx->DoDwell(5.0); }, 0, "Waiting for sequence to End!"},
      {"axis 5", [](Machine&) {}, 5, nullptr},
      {"axis -1", [](Machine&) {}, -1, nullptr},
      {"axis 5 in E-stop", [](Machine& m) { m.host.SetEStop(true); }, 5, nullptr},
      {"off line", [](Machine& m) { m.host.SetOffLine(true); }, 0, nullptr},
      {"off line in E-stop",
       [](Machine& m) {
         m.host.SetOffLine(true);
         m.host.SetEStop(true);
       },
       0, nullptr},
      {"records waiting",
       [](Machine& m) {
         const double d[5] = {1, 0, 0, 0, 0};
         m.host.PushRecord(d, 1);
       },
       0, nullptr},
      {"program end pending", [](Machine& m) { Device(m).WaitForGcodeIdle = 1; }, 0, nullptr},
      {"program end pending, sequence running",
       [](Machine& m) {
         Device(m).WaitForGcodeIdle = 1;
         m.ctx->DoDwell(5.0);
       },
       0, nullptr},
      {"a jog running", [](Machine& m) { m.ctx->JogOn(2, 0, 0.0); }, 0, nullptr},
      {"a jog stopping",
       [](Machine& m) {
         m.ctx->JogOn(2, 0, 0.0);
         m.ctx->JogOff(2);
       },
       0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host.SetJogFullSpeed(true);
    StartIdle(m);
    c.setup(m);
    const size_t movesBefore = Moves(m.board).size();
    const bool jogging = m.host.EngineJogging();
    m.host.ClearStatusHistory();
    m.ctx->JogOn(c.axis, 0, 0.0);
    EXPECT_EQ(Moves(m.board).size(), movesBefore);
    EXPECT_EQ(m.host.StatusHistory(), c.message ? Texts{c.message} : Texts{});
    EXPECT_EQ(m.host.EngineJogging(), jogging);
    EXPECT_FALSE(m.host.AxisJogging(0));
  }
}

TEST(Jog, JogOffWithoutAJogOrInEStopDoesNothing) {
  Machine m;
  m.host.SetJogFullSpeed(true);
  StartIdle(m);
  m.ctx->JogOff(0);
  EXPECT_TRUE(m.board.Transcript().empty());
  EXPECT_EQ(Device(m).WaitForJogIdle, 0);

  m.ctx->JogOn(0, 0, 0.0);
  m.Updates(10);
  m.host.SetEStop(true);
  m.ctx->JogOff(0);
  EXPECT_EQ(Commands(m.board), (std::vector<uint8_t>{proto::kMove}));
  EXPECT_EQ(Device(m).WaitForJogIdle, 0);
  EXPECT_FALSE(m.host.JogStopSent(0));
  EXPECT_TRUE(m.host.EngineJogging());
}

}  // namespace
}  // namespace vx
