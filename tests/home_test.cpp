// Homing against the host and board simulators: seek onto the home switch,
// back off until it lets go, the ten idle steps before each test, the end
// state the host always receives, the failures and the refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "operator_support.h"

namespace vx {
namespace {

using sim::AxisSwitch;
using sim::Machine;
using test::Commands;
using test::Device;
using test::MoveBytes;
using test::Moves;
using test::StartIdle;
using test::Texts;

constexpr int kHomeSignal[5] = {2, 5, 8, 11, 14};
constexpr int32_t kStart[5] = {100, 200, 300, 400, 500};
constexpr uint64_t kAllWaits = ~0ull;
constexpr uint64_t kHomingWait = 1ull << 56;
constexpr const char* kNotReached = "Something wrong with homing - switch should be activated";
constexpr const char* kNotReleased = "Something wrong with homing - switch should NOT be activated";

struct HomeSetup {
  int axis = 0;
  int pin = 12;
  bool negated = false;
  bool towardPositive = true;
  bool withSwitch = true;
};

// Axes start at 100..500 steps; the home switch sits 300 steps away in the
// homing direction; homing at 50 % of 2.0 units/s, 1000 steps per unit.
void ConfigureHoming(Machine& m, const HomeSetup& s) {
  for (int a = 0; a < 5; ++a) {
    m.host.SetPosition(a, kStart[a]);
    m.host.SetHomePosition(a, 7000 + a);
  }
  m.host.SetInput(kHomeSignal[s.axis], true, s.pin, 1, s.negated);
  m.host.SetHoming(s.axis, 50, s.towardPositive);
  if (s.withSwitch) {
    const int32_t at = kStart[s.axis] + (s.towardPositive ? 300 : -300);
    m.board.AddSwitch(AxisSwitch{s.axis, s.pin, at, s.towardPositive, s.negated ? 0 : 1});
  }
}

// Started, settled, with every SoftWait bit set for the homing end to clear.
void StartForHoming(Machine& m, const HomeSetup& s) {
  ConfigureHoming(m, s);
  StartIdle(m);
  m.host.SetSoftWait(kAllWaits);
}

bool HomingOver(Machine& m) {
  return Device(m).Sequence == SeqIdle && !m.host.HomingActive();
}

// The end state that success and failure share.
void ExpectHomingEnded(Machine& m) {
  EXPECT_FALSE(m.host.HomingActive());
  EXPECT_EQ(m.host.SoftWait(), kAllWaits & ~kHomingWait);
  EXPECT_TRUE(m.host.Sync());
  EXPECT_TRUE(m.host.ExternalStill());
  EXPECT_EQ(Device(m).HomeAxis, -1);
  EXPECT_EQ(Device(m).InMotion, 0);
  EXPECT_EQ(Device(m).Sequence, SeqIdle);
}

TEST(Home, EachAxisBothDirectionsBothSwitchPolarities) {
  const HomeSetup cases[] = {
      {0, 10, false, true},  {0, 12, true, false}, {1, 13, true, true},  {1, 15, false, false},
      {2, 16, false, true},  {2, 17, true, false}, {3, 20, true, true},  {3, 23, false, false},
      {4, 24, false, true},  {4, 11, true, false},
  };
  for (const HomeSetup& c : cases) {
    SCOPED_TRACE(::testing::Message() << "axis " << c.axis << " pin " << c.pin
                                      << (c.negated ? " active low" : " active high")
                                      << (c.towardPositive ? " toward +" : " toward -"));
    Machine m;
    StartForHoming(m, c);
    m.ctx->Home(c.axis);
    EXPECT_EQ(Device(m).Sequence, SeqHomeSeek);
    EXPECT_TRUE(m.host.HomingActive());
    EXPECT_FALSE(m.host.ExternalStill());
    ASSERT_TRUE(m.UpdateUntil([&] { return HomingOver(m); }, 3000));

    const int32_t seek = c.towardPositive ? 999999 : -999999;
    const int act = c.negated ? 0 : 1;
    // Seek at 1000 steps/s, back off at a tenth; 10 units/s^2 x 1000.
    EXPECT_EQ(Moves(m.board), (std::vector<proto::Payload>{MoveBytes(c.axis, seek, 1000, 10000, c.pin, act),
                                                           MoveBytes(c.axis, -seek, 100, 10000, c.pin, 1 - act)}));
    EXPECT_EQ(Commands(m.board), (std::vector<uint8_t>{proto::kMove, proto::kMove, proto::kSetPositions}));
    EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing...", "home finished"}));
    ExpectHomingEnded(m);

    std::vector<int32_t> expected(kStart, kStart + 5);
    expected[static_cast<size_t>(c.axis)] = 7000 + c.axis;
    const proto::Payload loaded = m.board.Written(proto::kSetPositions).back();
    for (int a = 0; a < 5; ++a) {
      SCOPED_TRACE(::testing::Message() << "axis " << a);
      EXPECT_EQ(m.host.Referenced(a), a == c.axis);
      EXPECT_EQ(m.host.Position(a), expected[static_cast<size_t>(a)]);
      EXPECT_EQ(proto::GetI32(loaded.data() + 4 + 4 * a), expected[static_cast<size_t>(a)]);
      EXPECT_EQ(m.board.Position(a), expected[static_cast<size_t>(a)]);
    }
    EXPECT_TRUE(m.board.Violations().empty());
  }
}

// Updates until `done`; returns how many of them had a status reply that
// reported the board idle.
template <typename Pred>
int IdleUpdatesUntil(Machine& m, Pred done, int maxUpdates = 5000) {
  int idle = 0;
  for (int i = 0; i < maxUpdates && !done(); ++i) {
    m.Update();
    if (m.ctx->BoardIdle == 1) ++idle;
  }
  EXPECT_TRUE(done());
  return idle;
}

void KeepBoardBusy(Machine& m, int32_t steps) {
  proto::Report r{};
  proto::EncodeMove(proto::PayloadOf(r), 4, steps, 0, 0, 1000.0, 0.0);
  ASSERT_TRUE(m.board.Receive(r.data()));
}

TEST(Home, SwitchIsTestedOnTheEleventhIdleStepOfEachState) {
  Machine m;
  StartForHoming(m, HomeSetup{});
  m.ctx->Home(0);
  // The seek itself keeps the board busy for hundreds of steps.
  int idle = IdleUpdatesUntil(m, [&] { return Device(m).HomeSettle < 10; });
  EXPECT_EQ(idle, 1);
  EXPECT_EQ(m.board.Position(0), 400);
  idle += IdleUpdatesUntil(m, [&] { return Device(m).HomeSettle == 5; });
  EXPECT_EQ(idle, 5);
  // Busy steps in the middle of the settle do not count.
  KeepBoardBusy(m, 30);
  idle += IdleUpdatesUntil(m, [&] { return Device(m).Sequence == SeqHomeBackOff; });
  EXPECT_EQ(idle, 11);
  EXPECT_EQ(Moves(m.board).size(), 3u);

  idle = IdleUpdatesUntil(m, [&] { return Device(m).Sequence != SeqHomeBackOff; });
  EXPECT_EQ(idle, 11);
  EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing...", "home finished"}));
}

TEST(Home, FailuresStillEndTheHoming) {
  struct Case {
    const char* name;
    bool withSwitch;
    bool weldSwitch;  // the contact sticks once reached
    size_t moves;
    const char* message;
  } cases[] = {
      {"switch never reached", false, false, 1, kNotReached},
      {"switch never released", true, true, 2, kNotReleased},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    // Fast enough that 999999 steps pass in a fraction of a second.
    m.host.SetAxisTuning(0, 1000.0, 10000.0, 100000.0);
    HomeSetup s;
    s.withSwitch = c.withSwitch;
    StartForHoming(m, s);
    m.ctx->Home(0);
    if (c.weldSwitch) {
      ASSERT_TRUE(m.UpdateUntil([&] { return m.board.Idle(); }, 1000));
      m.board.ForcePin(s.pin, 1);
    }
    ASSERT_TRUE(m.UpdateUntil([&] { return HomingOver(m); }, 5000));
    EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::Distance);
    EXPECT_EQ(Moves(m.board).size(), c.moves);
    EXPECT_EQ(m.board.Written(proto::kSetPositions).size(), 0u);
    EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing...", c.message}));
    EXPECT_FALSE(m.host.Referenced(0));
    EXPECT_NE(m.host.Position(0), 7000);
    ExpectHomingEnded(m);
  }
}

TEST(Home, Refusals) {
  struct Case {
    const char* name;
    void (*setup)(Machine&);
    int axis;
    const char* message;  // nullptr: silent
  } cases[] = {
      {"E-stop", [](Machine& m) { m.host.SetEStop(true); }, 0, "No Homing in Estop!!"},
      {"E-stop, switch not configured",
       [](Machine& m) {
         m.host.SetEStop(true);
         m.host.SetInput(2, false, 12);
       },
       0, "No Homing in Estop!!"},
      {"sequence running", [](Machine& m) { m.ctx->DoDwell(5.0); }, 0, "Waiting for sequence to End!"},
      {"switch not configured", [](Machine& m) { m.host.SetInput(2, false, 12); }, 0,
       "Wrong home switch configuration!"},
      {"switch on port 2", [](Machine& m) { m.host.SetInput(2, true, 12, 2); }, 0,
       "Wrong home switch configuration!"},
      {"switch already active",
       [](Machine& m) {
         m.board.Switch(0).Position = kStart[0];
         m.Update();
       },
       0, "Home switch activated, jog off it first"},
      {"pin 14", [](Machine& m) { m.host.SetInput(2, true, 14); }, 0, "Wrong home pin"},
      {"pin 9", [](Machine& m) { m.host.SetInput(2, true, 9); }, 0, "Wrong home pin"},
      {"pin 25", [](Machine& m) { m.host.SetInput(2, true, 25); }, 0, "Wrong home pin"},
      {"pin -3", [](Machine& m) { m.host.SetInput(2, true, -3); }, 0, "Wrong home pin"},
      {"axis 5", [](Machine&) {}, 5, nullptr},
      {"axis -1", [](Machine&) {}, -1, nullptr},
      {"off line", [](Machine& m) { m.host.SetOffLine(true); }, 0, nullptr},
      {"records waiting",
       [](Machine& m) {
         const double d[5] = {1, 0, 0, 0, 0};
         m.host.PushRecord(d, 1);
       },
       0, nullptr},
      {"program end pending", [](Machine& m) { Device(m).WaitForGcodeIdle = 1; }, 0, nullptr},
      {"a jog stopping",
       [](Machine& m) {
         m.ctx->JogOn(1, 0, 0.0);
         m.ctx->JogOff(1);
       },
       0, nullptr},
      {"host already homing", [](Machine& m) { m.host.View().SetHomingActive(true); }, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host.SetJogFullSpeed(true);
    StartForHoming(m, HomeSetup{});
    c.setup(m);
    const size_t moves = Moves(m.board).size();
    const int32_t sequence = Device(m).Sequence;
    const bool homing = m.host.HomingActive();
    m.host.ClearStatusHistory();
    m.ctx->Home(c.axis);
    EXPECT_EQ(Moves(m.board).size(), moves);
    EXPECT_EQ(m.host.StatusHistory(), c.message ? Texts{c.message} : Texts{});
    EXPECT_EQ(Device(m).Sequence, sequence);
    EXPECT_EQ(m.host.HomingActive(), homing);
    EXPECT_EQ(Device(m).HomeAxis, -1);
  }
}

TEST(Home, FullResetAbandonsTheHoming) {
  Machine m;
  StartForHoming(m, HomeSetup{});
  m.ctx->Home(0);
  m.Updates(50);
  ASSERT_FALSE(m.board.Idle());
  m.ctx->Reset();
  EXPECT_FALSE(m.host.HomingActive());
  EXPECT_EQ(m.host.SoftWait(), 0u);
  EXPECT_EQ(Device(m).HomeAxis, -1);
  EXPECT_EQ(Device(m).Sequence, SeqSettle);
  EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::Stop);
  m.Updates(30);
  EXPECT_EQ(Device(m).Sequence, SeqIdle);
  EXPECT_EQ(Moves(m.board).size(), 1u);
  EXPECT_FALSE(m.host.Referenced(0));
  EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing...", "Vendrix connected"}));
}

TEST(Home, NotRefusedWhileAnUnstoppedJogRuns) {
  Machine m;
  m.host.SetJogFullSpeed(true);
  StartForHoming(m, HomeSetup{});
  m.ctx->JogOn(0, 1, 0.0);
  m.Updates(5);
  m.ctx->Home(0);
  EXPECT_EQ(Commands(m.board), (std::vector<uint8_t>{proto::kMove, proto::kMove}));
  EXPECT_EQ(Moves(m.board).back(), MoveBytes(0, 999999, 1000, 10000, 12, 1));
  EXPECT_EQ(Device(m).Sequence, SeqHomeSeek);
  EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing..."}));
}

// A home switch that doubles as the X limit switch: homing drives onto it on
// purpose, so the limits wait until the homing is over.
TEST(Home, SharedLimitSwitchIsLeftAloneWhileHoming) {
  Machine m;
  m.host.SetInput(0, true, 12);  // X limit on the home switch's pin
  StartForHoming(m, HomeSetup{});
  m.ctx->Home(0);
  ASSERT_TRUE(m.UpdateUntil([&] { return HomingOver(m); }, 3000));
  EXPECT_EQ(m.host.StatusHistory(), (Texts{"Homing...", "home finished"}));
  EXPECT_FALSE(m.host.EStop());
  EXPECT_TRUE(m.host.Referenced(0));
  EXPECT_EQ(Device(m).LimitLatch, 0);
}

// An E-stop is never ignored: the board stops, no back-off move is sent to
// a machine in E-stop, and the axis is not referenced.
TEST(Home, EStopEndsTheHomingWithoutAnotherMove) {
  struct Case {
    const char* name;
    bool button;  // the E-stop input during the seek; else the host's E-stop after the switch
    Texts history;
  } cases[] = {
      {"E-stop input during the seek", true, {"Homing...", "Emergence Button Pressed!"}},
      {"host E-stop with the switch reached", false, {"Homing..."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.host.SetInput(25, true, 21);
    m.board.SetEStopInput(21, 1);
    StartForHoming(m, HomeSetup{});
    m.ctx->Home(0);
    if (c.button) {
      m.Updates(50);
      m.board.PressEStop(true);
      m.Update();
      m.board.PressEStop(false);
      EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::Stop);
    } else {
      ASSERT_TRUE(m.UpdateUntil([&] { return m.board.Idle(); }, 1000));
      EXPECT_EQ(m.board.LastMoveEnd(), sim::MoveEnd::StopInput);
      m.host.SetEStop(true);
    }
    EXPECT_TRUE(m.host.EStop());
    ASSERT_TRUE(m.UpdateUntil([&] { return HomingOver(m); }, 100));
    EXPECT_EQ(Moves(m.board).size(), 1u);
    EXPECT_EQ(m.host.StatusHistory(), c.history);
    EXPECT_FALSE(m.host.Referenced(0));
    ExpectHomingEnded(m);
  }
}

// A dwell replaces the homing state; the homing flag goes with it, so the
// limit switches are watched again (here the one shared with the home
// switch, which the seek still runs onto).
TEST(Home, DwellReplacingTheHomingClearsItsFlag) {
  Machine m;
  m.host.SetInput(0, true, 12);
  StartForHoming(m, HomeSetup{});
  m.ctx->Home(0);
  m.Updates(20);
  m.ctx->DoDwell(0.002);
  EXPECT_FALSE(m.host.HomingActive());
  EXPECT_EQ(Device(m).HomeAxis, -1);
  EXPECT_EQ(Device(m).Sequence, SeqDwell);
  EXPECT_EQ(m.host.DwellTime(), 1);
  ASSERT_TRUE(m.UpdateUntil([&] { return m.host.EStop(); }, 1000));
  EXPECT_EQ(m.host.StatusHistory().back(), "XLimit Switch Triggered!");
  EXPECT_EQ(Moves(m.board).size(), 1u);
  EXPECT_FALSE(m.host.Referenced(0));
}

}  // namespace
}  // namespace vx
