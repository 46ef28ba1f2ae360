// The Update cycle's gate and Status cadence, input mirroring, and the
// E-stop input and limit switches acting on the board.
#include <gtest/gtest.h>

#include "motion_support.h"

namespace vx {
namespace {

using test::CodeNames;
using test::CountWritten;
using test::MotionTest;
using test::Written;

// Input pins of the machine's switches.
constexpr int kXPin = 10, kYPin = 11, kZPin = 12, kOverPin = 16, kEStopPin = 15;

class StatusStepTest : public MotionTest {
 protected:
  void SetUp() override {
    MotionTest::SetUp();
    host().SetInput(0, true, kXPin);
    host().SetInput(3, true, kYPin);
    host().SetInput(7, true, kZPin);
    host().SetInput(24, true, kOverPin);
    host().SetInput(25, true, kEStopPin);
  }
  // One Update with the host's E-stop cleared first, so that every step
  // shows whether it raised it.
  void Step() {
    host().SetEStop(false);
    board().ClearTranscript();
    host().ClearStatusHistory();
    host().ClearCallLog();
    ctx().Update();
  }
};

TEST_F(StatusStepTest, UpdateDoesNothingButCountWhenItMayNotRun) {
  const struct {
    const char* what;
    void (*set)(PluginContext&);
  } cases[] = {
      {"not started", [](PluginContext& c) { c.Device->Started = 0; }},
      {"link error", [](PluginContext& c) { c.LinkError = 1; }},
      {"link not up", [](PluginContext& c) { c.LinkUp = 0; }},
      {"cycle running", [](PluginContext& c) { c.UpdateBusy = 1; }},
  };
  for (const auto& c : cases) {
    Make();
    Push(5, 1);
    c.set(ctx());
    const uint8_t poll = ctx().PollCount;
    const int32_t busy = ctx().UpdateBusy;
    host().ClearWriteLog();
    ctx().Update();
    EXPECT_EQ(ctx().PollCount, uint8_t(poll + 1)) << c.what;
    EXPECT_EQ(ctx().UpdateBusy, busy) << c.what;
    EXPECT_TRUE(Written(board()).empty()) << c.what << ": " << CodeNames(board());
    EXPECT_TRUE(host().WrittenRanges().empty()) << c.what;
    EXPECT_EQ(host().RingPending(), 1) << c.what;
  }
}

TEST_F(StatusStepTest, StatusEveryFourthCallWhileRecordsWait) {
  PushMany(700, 0, 1);
  ctx().PollCount = 0;
  std::string got;
  for (int call = 1; call <= 12; ++call) {
    Step();
    got += CountWritten(board(), proto::kStatus) == 1 ? 'S' : '-';
  }
  EXPECT_EQ(got, "---S---S---S");
}

TEST_F(StatusStepTest, FirstCallWithRecordsAfterAnEmptyStretch) {
  const struct {
    uint8_t poll;  // PollCount before the call
    bool status;
  } cases[] = {{0, false}, {2, false}, {3, true}, {40, true}, {255, false}};
  for (const auto& c : cases) {
    Make();
    Push(1, 1);
    ctx().PollCount = c.poll;
    ctx().Update();
    EXPECT_EQ(CountWritten(board(), proto::kStatus), c.status ? 1 : 0) << "PollCount " << int(c.poll);
    EXPECT_EQ(ctx().PollCount, c.status ? 0 : uint8_t(c.poll + 1)) << "PollCount " << int(c.poll);
  }
}

TEST_F(StatusStepTest, InputsMirrorTheBoardsPinLevels) {
  const struct {
    const char* what;
    int signal;
    bool active;
    int pin, port;
    bool negated;
    int level;       // the board's pin level
    bool before;     // Activated before the step
    bool activated;  // after
  } cases[] = {
      {"pin 10 negated, level 1", 10, true, 10, 1, true, 1, true, false},
      {"pin 10 negated, level 0", 10, true, 10, 1, true, 0, false, true},
      {"pin 11 plain, level 1", 11, true, 11, 1, false, 1, false, true},
      {"pin 11 plain, level 0", 11, true, 11, 1, false, 0, true, false},
      {"pin 17 from byte 0 bit 7", 12, true, 17, 1, false, 1, false, true},
      {"pin 24 from byte 41 bit 7", 13, true, 24, 1, false, 1, false, true},
      {"pin 5 always reads 0", 14, true, 5, 1, true, 1, false, true},
      {"port 2 left alone (1)", 15, true, 12, 2, false, 0, true, true},
      {"port 2 left alone (0)", 15, true, 12, 2, false, 1, false, false},
      {"inactive left alone", 16, false, 13, 1, false, 0, true, true},
  };
  for (const auto& c : cases) {
    host().SetInput(c.signal, c.active, c.pin, c.port, c.negated);
    host().SetInputActivated(c.signal, c.before);
    board().SetPin(c.pin, c.level);
    Step();
    EXPECT_EQ(host().InputActivated(c.signal), c.activated) << c.what;
  }
}

// A held E-stop button is handled at once and then again every seventh
// step; the host's E-stop is raised on every step.
TEST_F(StatusStepTest, HeldEStopIsHandledAgainEverySeventhStep) {
  board().SetEStopInput(kEStopPin, 1);
  board().PressEStop(true);
  std::vector<int> handled;
  for (int step = 1; step <= 22; ++step) {
    Step();
    EXPECT_TRUE(host().EStop()) << "step " << step;
    const int stops = CountWritten(board(), proto::kStop);
    const bool message = Statuses() == std::vector<std::string>{"Emergence Button Pressed!"};
    EXPECT_EQ(stops == 1, message) << "step " << step;
    if (message) handled.push_back(step);
    EXPECT_TRUE(host().DoButtons.empty());
  }
  EXPECT_EQ(handled, (std::vector<int>{1, 7, 14, 21}));

  // Released for one step, pressed again: handled at once.
  board().PressEStop(false);
  Step();
  EXPECT_FALSE(host().EStop());
  EXPECT_TRUE(Statuses().empty());
  board().PressEStop(true);
  Step();
  EXPECT_EQ(Statuses(), std::vector<std::string>{"Emergence Button Pressed!"});
  EXPECT_EQ(CodeNames(board()), "Status Stop Status");
}

TEST_F(StatusStepTest, FirstLimitTripStopsTheProgramAndResets) {
  const struct {
    const char* what;
    int pin;
    bool jogging;
    bool pending;  // segments sent since the last SegmentsEnd
    const char* codes;
    bool adopted;
    const char* message;
  } cases[] = {
      // The board keeps running its queue after a SegmentsEnd: the host must
      // hold where it stopped, as for Y and Z.
      {"X, not jogging", kXPin, false, false, "Status Stop Status", true, "XLimit Switch Triggered!"},
      {"X, segments pending", kXPin, false, true, "Status Stop Status", true, "XLimit Switch Triggered!"},
      {"X, jogging", kXPin, true, false, "Status Stop Status", true, "XLimit Switch Triggered!"},
      {"Y", kYPin, false, false, "Status Stop Stop Status", true, "YLimit Switch Triggered!"},
      // The short reset asks the board where it stopped, pending or not.
      {"Z, segments pending", kZPin, false, true, "Status Stop Stop Status", true,
       "ZLimit Switch Triggered!"},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.jogging) host().View().SetEngineJogging(true);
    if (c.pending) ASSERT_EQ(Encode(0, 1), 0);
    board().SetPosition(0, 555);
    board().SetPin(c.pin, 1);
    Step();
    EXPECT_EQ(CodeNames(board()), c.codes) << c.what;
    EXPECT_EQ(host().DoButtons, std::vector<int>{1003}) << c.what;
    EXPECT_EQ(Statuses(), std::vector<std::string>{c.message}) << c.what;
    EXPECT_TRUE(host().EStop()) << c.what;
    EXPECT_EQ(dev().LimitLatch, 1) << c.what;
    EXPECT_EQ(host().Position(0), c.adopted ? 555 : 0) << c.what;

    // Still on the switch: the message and the E-stop again, nothing else.
    Step();
    EXPECT_EQ(CodeNames(board()), "Status") << c.what;
    EXPECT_TRUE(host().DoButtons.empty()) << c.what;
    EXPECT_EQ(Statuses(), std::vector<std::string>{c.message}) << c.what;
    EXPECT_TRUE(host().EStop()) << c.what;

    // Off the switch with the ring empty: the latch falls.
    board().SetPin(c.pin, 0);
    Step();
    EXPECT_EQ(dev().LimitLatch, 0) << c.what;
    EXPECT_TRUE(Statuses().empty()) << c.what;
  }
}

// Every short reset leaves the host with the board's positions, also when
// no segments are pending.
TEST_F(StatusStepTest, ShortResetsLeaveTheHostWithTheBoardsPositions) {
  const struct {
    const char* what;
    std::vector<int> pins;
  } cases[] = {
      {"E-stop input", {kEStopPin}},
      {"Z limit under LIMIT OVER", {kZPin, kOverPin}},
  };
  for (const auto& c : cases) {
    SetUp();
    for (int a = 0; a < 5; ++a) board().SetPosition(a, 100 * a - 150);
    for (int pin : c.pins) board().SetPin(pin, 1);
    Step();
    EXPECT_EQ(CodeNames(board()), "Status Stop Status") << c.what;
    EXPECT_EQ(m->HostPositions(), m->BoardPositions()) << c.what;
  }
}

TEST_F(StatusStepTest, OnlyOneSafetyInputIsHandledPerStep) {
  // The E-stop input masks the limits.
  board().SetPin(kEStopPin, 1);
  board().SetPin(kXPin, 1);
  Step();
  EXPECT_EQ(Statuses(), std::vector<std::string>{"Emergence Button Pressed!"});
  EXPECT_TRUE(host().DoButtons.empty());
  EXPECT_EQ(dev().LimitLatch, 0);

  // X before Z.
  board().SetPin(kEStopPin, 0);
  board().SetPin(kZPin, 1);
  Step();
  EXPECT_EQ(Statuses(), std::vector<std::string>{"XLimit Switch Triggered!"});
  EXPECT_EQ(CodeNames(board()), "Status Stop Status");
}

TEST_F(StatusStepTest, LimitOverResetsOnceAndLeavesTheEStopAlone) {
  board().SetPin(kOverPin, 1);
  board().SetPin(kYPin, 1);
  int stops = 0;
  for (int step = 1; step <= 6; ++step) {
    Step();
    stops += CountWritten(board(), proto::kStop);
    EXPECT_EQ(Statuses(), std::vector<std::string>{"YLimit Switch Triggered! LIMIT OVER Activated"})
        << "step " << step;
    EXPECT_FALSE(host().EStop()) << "step " << step;
    EXPECT_TRUE(host().DoButtons.empty()) << "step " << step;
    EXPECT_EQ(dev().LimitLatch, 1);
    EXPECT_EQ(ctx().LimitOverLatched, 1);
  }
  EXPECT_EQ(stops, 1);
  // Off the switch, but records wait: the latch holds (and the records
  // meet it in the streaming step).
  board().SetPin(kYPin, 0);
  Push(1, 1);
  ctx().PollCount = 3;
  Step();
  EXPECT_EQ(CodeNames(board()), "Status");
  EXPECT_EQ(dev().LimitLatch, 1);
  EXPECT_EQ(ctx().LimitOverLatched, 1);
  host().SetRing(host().TrajHead(), host().TrajHead());
  Step();
  EXPECT_EQ(dev().LimitLatch, 0);
  EXPECT_EQ(ctx().LimitOverLatched, 0);
}

TEST_F(StatusStepTest, HomingIgnoresLimitsButStillSyncs) {
  host().View().SetHomingActive(true);
  board().SetPin(kXPin, 1);
  // A move that ends at once leaves the board's move-done bit set.
  SendMove(ctx(), 1, 0, 0, 0, 1000, 1000);
  host().ClearSync();
  Step();
  EXPECT_TRUE(Statuses().empty());
  EXPECT_EQ(CodeNames(board()), "Status");
  EXPECT_FALSE(host().EStop());
  EXPECT_TRUE(host().Sync());
  EXPECT_TRUE(host().InputActivated(0));  // still mirrored

  // A move under way clears the bit: no Sync.
  SendMove(ctx(), 1, 100000, 0, 0, 1000, 1000);
  host().ClearSync();
  Step();
  EXPECT_FALSE(host().Sync());

  // The E-stop input is never ignored.
  board().SetPin(kEStopPin, 1);
  Step();
  EXPECT_EQ(Statuses(), std::vector<std::string>{"Emergence Button Pressed!"});
  EXPECT_TRUE(host().EStop());
}

TEST_F(StatusStepTest, FailedStatusTakesTheLinkDown) {
  const struct {
    const char* what;
    bool write;
    bool present;
    std::vector<std::string> statuses;
  } cases[] = {
      {"write", true, true, {"Cnc communicate error!"}},
      {"read", false, true, {"Cnc communicate error!!"}},
      {"write, board gone", true, false, {}},
  };
  for (const auto& c : cases) {
    SetUp();
    board().SetPin(kXPin, 1);
    ctx().BoardPresent = c.present ? 1 : 0;
    if (c.write) board().FailWrite(1);
    else board().FailRead(1);
    Step();
    EXPECT_EQ(Statuses(), c.statuses) << c.what;
    EXPECT_TRUE(host().EStop()) << c.what;
    EXPECT_FALSE(m->LinkUp()) << c.what;
    // Nothing of the answer is used.
    EXPECT_FALSE(host().InputActivated(0)) << c.what;
    EXPECT_TRUE(host().DoButtons.empty()) << c.what;
  }
}

}  // namespace
}  // namespace vx
