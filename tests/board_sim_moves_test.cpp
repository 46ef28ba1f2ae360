// The board simulator's single-axis moves as homing, probing and jogging
// use them: stop inputs from switches on the axes, forced pins, JogStop and
// the idle and MoveDone bits of the answers.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/board_sim.h"

namespace vx::sim {
namespace {

using namespace vx::proto;

void Send(BoardSim& b, const Payload& p) {
  Report r{};
  std::memcpy(PayloadOf(r), p.data(), kPayloadSize);
  ASSERT_TRUE(b.Receive(r.data()));
}

Payload Move(int axis, int32_t distance, double vel, double acc, int pin = 0, int level = 0) {
  Payload p{};
  EncodeMove(p.data(), axis, distance, pin, level, vel, acc);
  return p;
}

Payload Command(uint8_t code) {
  Payload p{};
  p[kCommandByte] = code;
  return p;
}

// Idle and MoveDone as a Status answer reports them.
struct Bits {
  bool Idle, MoveDone;
};
Bits StatusBits(BoardSim& b) {
  Send(b, Command(kStatus));
  Report r{};
  EXPECT_TRUE(b.Answer(r.data()));
  return {BoardIdleBit(PayloadOf(r)), MoveDoneBit(PayloadOf(r))};
}

TEST(BoardSimMoves, SwitchesOnAxesEndMovesAtTheirPositions) {
  struct Case {
    const char* name;
    AxisSwitch sw;
    int32_t start, distance;
    int stopLevel;
    int32_t end;
    MoveEnd how;
  } cases[] = {
      {"home high, seek +", {0, 12, 300, true, 1}, 0, 999999, 1, 300, MoveEnd::StopInput},
      {"home high, back off -", {0, 12, 300, true, 1}, 300, -999999, 0, 299, MoveEnd::StopInput},
      {"home low, seek -", {1, 13, -250, false, 0}, 0, -999999, 0, -250, MoveEnd::StopInput},
      {"home low, back off +", {1, 13, -250, false, 0}, -250, 999999, 1, -249, MoveEnd::StopInput},
      {"probe contact below", {2, 15, -40, false, 1}, 0, -100, 1, -40, MoveEnd::StopInput},
      {"probe contact missed", {2, 15, -400, false, 1}, 0, -100, 1, -100, MoveEnd::Distance},
      {"already at the level", {3, 16, 0, true, 1}, 5, 50, 1, 5, MoveEnd::StopInput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardSim b;
    b.AddSwitch(c.sw);
    b.SetPosition(c.sw.Axis, c.start);
    Send(b, Move(c.sw.Axis, c.distance, 2000, 20000, c.sw.Pin, c.stopLevel));
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.Position(c.sw.Axis), c.end);
    EXPECT_EQ(MoveEndName(b.LastMoveEnd()), std::string(MoveEndName(c.how)));
    Bits bits = StatusBits(b);
    EXPECT_TRUE(bits.Idle);
    EXPECT_TRUE(bits.MoveDone);
  }
}

TEST(BoardSimMoves, ForcedPinOverridesTheSwitch) {
  BoardSim b;
  b.AddSwitch(AxisSwitch{0, 12, 300, true, 1});
  Send(b, Move(0, 999999, 2000, 20000, 12, 1));
  ASSERT_TRUE(b.RunUntilIdle());
  // A welded contact: backing off no longer releases it.
  b.ForcePin(12, 1);
  Send(b, Move(0, -500, 2000, 20000, 12, 0));
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.Position(0), -200);
  EXPECT_EQ(b.PinLevel(12), 1);
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::Distance);
  b.ReleasePin(12);
  EXPECT_EQ(b.PinLevel(12), 0);
}

TEST(BoardSimMoves, StopInputIsWatchedWhileTheAxisStands) {
  BoardSim b;
  // One step a second: long stretches without a step.
  Send(b, Move(2, -1000, 1, 0, 15, 1));
  b.Advance(1'500'000);
  EXPECT_EQ(b.Position(2), -1);
  b.ForcePin(15, 1);
  b.Advance(1000);
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.Position(2), -1);
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::StopInput);
}

TEST(BoardSimMoves, JogStopBrakesAndReportsIdleAndDone) {
  BoardSim b;
  Send(b, Move(0, 999999, 10000, 50000));
  b.Advance(100'000);
  Bits running = StatusBits(b);
  EXPECT_FALSE(running.Idle);
  EXPECT_FALSE(running.MoveDone);
  Send(b, Command(kJogStop));
  EXPECT_FALSE(b.Idle());  // braking takes time
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::JogStop);
  // 0.1 s at 50000 steps/s^2: 5000 steps/s, 250 steps out and 250 to brake.
  EXPECT_NEAR(b.Position(0), 500, 3);
  Bits stopped = StatusBits(b);
  EXPECT_TRUE(stopped.Idle);
  EXPECT_TRUE(stopped.MoveDone);

  // JogStop with nothing running changes nothing.
  int32_t at = b.Position(0);
  Send(b, Command(kJogStop));
  b.Advance(10'000);
  EXPECT_EQ(b.Position(0), at);
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::JogStop);
}

TEST(BoardSimMoves, MoveEnds) {
  BoardSim b;
  Send(b, Move(1, 100, 0, 1000));
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::NoSpeed);
  Send(b, Move(1, 0, 1000, 1000));
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::Distance);
  Send(b, Move(1, 100000, 1000, 1000));
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::None);
  b.Advance(10'000);
  Send(b, Command(kStop));
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.LastMoveEnd(), MoveEnd::Stop);
}

}  // namespace
}  // namespace vx::sim
