// Whole-machine scenarios: the plug-in started against the host and board
// simulators, driven through Update the way Mach3 drives it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "motion/device.h"
#include "sim/machine.h"

namespace vx {
namespace {

using sim::Machine;

std::vector<uint8_t> Codes(const sim::BoardSim& board) {
  std::vector<uint8_t> codes;
  for (const auto& e : board.Transcript()) {
    if (e.Dir == sim::Direction::ToBoard) codes.push_back(e.Command);
  }
  return codes;
}

TEST(Machine, StartUpIdentifiesConfiguresAndSettles) {
  Machine m;
  m.host.SetPosition(0, 1234);
  m.Start();
  EXPECT_EQ(m.host.StatusText(), "Vendrix connected");
  EXPECT_EQ(Codes(m.board),
            (std::vector<uint8_t>{proto::kIdentify, proto::kSetPositions, proto::kAxisSetup, proto::kStatus}));
  EXPECT_TRUE(m.LinkUp());
  EXPECT_EQ(m.ctx->Device->Sequence, SeqSettle);
  EXPECT_EQ(m.ctx->Device->InMotion, 1);
  EXPECT_STREQ(m.ctx->BoardVersion, "21");

  m.Update();
  EXPECT_EQ(m.ctx->Device->Sequence, SeqIdle);
  EXPECT_EQ(m.ctx->Device->InMotion, 0);
  EXPECT_TRUE(m.host.Sync());
  EXPECT_TRUE(m.host.ExternalStill());
  EXPECT_EQ(m.board.Position(0), 1234);
  EXPECT_TRUE(m.board.Violations().empty());
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// Random records in the board's range, both signs and fractions.
std::vector<sim::Machine::Record> RandomProgram(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> d(-400.0, 400.0);
  std::vector<sim::Machine::Record> records(n);
  for (size_t i = 0; i < n; ++i) {
    for (double& v : records[i].Delta) v = d(rng);
    records[i].Line = static_cast<int32_t>(i / 3 + 1);
  }
  return records;
}

TEST(Machine, ProgramStreamsToTheEndWithNoStepLost) {
  sim::Machine m;
  m.Start();
  m.Update();
  const auto program = RandomProgram(3000, 7);
  std::vector<int64_t> expected(5, 0);
  for (const auto& r : program) {
    for (int a = 0; a < 5; ++a) expected[a] += static_cast<int64_t>(std::trunc(r.Delta[a]));
  }
  size_t next = 0;
  for (int i = 0; i < 200000 && next < program.size(); ++i) {
    next += m.Feed(program, next, 60);  // the host refills while streaming
    m.Update();
  }
  ASSERT_EQ(next, program.size());
  m.host.SetBufferEnding(true);
  ASSERT_TRUE(m.RunToEnd());
  for (int a = 0; a < 5; ++a) {
    EXPECT_EQ(m.board.Position(a), expected[a]) << "axis " << a;
    EXPECT_EQ(m.host.Position(a), expected[a]) << "axis " << a;
  }
  EXPECT_TRUE(m.host.ExternalStill());
  EXPECT_EQ(m.ctx->Device->InMotion, 0);
  EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
  EXPECT_EQ(m.board.Statistics().SegmentsExecuted, program.size());
  EXPECT_EQ(m.host.CurrentLine(), program.back().Line);
  EXPECT_FALSE(m.host.EStop());
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The window thread's hot-plug handling and the host threads' posts must not
// interleave: every status post happens under the board lock.
TEST(Machine, HotPlugPostsAndHandleSwapsRunUnderTheBoardLock) {
  sim::Machine m;
  m.Start();
  int posts = 0, unlocked = 0;
  m.host.OnStatusPosted = [&] {
    ++posts;
    if (!m.lock.Held()) ++unlocked;
  };
  m.Unplug();
  m.Update();  // the failed exchange posts its error
  m.Replug();
  m.ctx->Reset();
  EXPECT_GE(posts, 3);
  EXPECT_EQ(unlocked, 0);
  EXPECT_TRUE(m.lock.Balanced());
  EXPECT_EQ(m.host.StatusText(), "Vendrix connected");
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The host's stop notification leaves the host's axes where the board
// stopped, so the reset that follows loads no stale positions.
TEST(Machine, StopNotificationAdoptsWhereTheBoardStopped) {
  sim::Machine m;
  m.Start();
  m.Update();
  std::vector<sim::Machine::Record> program(200);
  for (size_t i = 0; i < program.size(); ++i) {
    program[i].Delta[0] = 100.0;
    program[i].Delta[2] = -37.5;
    program[i].Line = static_cast<int32_t>(i + 1);
  }
  size_t next = m.Feed(program, 0, program.size());
  for (int i = 0; i < 200 && m.ctx->EndPending == 1; ++i) m.Update();  // SegmentsEnd went out
  ASSERT_EQ(next, program.size());
  m.Updates(3);  // the board is still running its queue
  ASSERT_FALSE(m.board.Idle());
  m.ctx->Notify(kNotifyStop);
  EXPECT_TRUE(m.host.EStop());
  EXPECT_EQ(m.HostPositions(), m.BoardPositions());
  const std::vector<int32_t> stopped = m.BoardPositions();
  m.host.SetEStop(false);
  m.ctx->Reset();
  EXPECT_TRUE(m.LinkUp());
  EXPECT_EQ(m.BoardPositions(), stopped) << "the reset shifted the board's coordinates";
}

// An Identify answered with the wrong code over a working link: E-stop, no
// message, and the board is not driven any more.
TEST(Machine, WrongIdentifyAnswerTakesTheLinkOutOfService) {
  sim::Machine m;
  m.Start();
  ASSERT_TRUE(m.LinkUp());
  m.board.SetIdentifyAnswerCode(0x61);
  m.host.ClearStatusHistory();
  m.ctx->Reset();
  EXPECT_TRUE(m.host.EStop());
  EXPECT_EQ(m.ctx->LinkError, 0);
  EXPECT_EQ(m.ctx->LinkUp, 0);
  EXPECT_TRUE(m.host.StatusHistory().empty());
  const int before = m.hid.Writes();
  m.Updates(5);
  EXPECT_EQ(m.hid.Writes(), before) << "Update kept driving an unidentified board";
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// A board that keeps moving while the plug-in talks to it, as a real one
// does: every written report finds it some time further on.
class RealTimeBoard : public sim::HidDevice {
 public:
  explicit RealTimeBoard(sim::BoardSim& board) : board_(board) {}
  bool Receive(const uint8_t* report) override {
    board_.Advance(3000);
    return board_.Receive(report);
  }
  bool Answer(uint8_t* report) override { return board_.Answer(report); }
  bool Plugged() const override { return board_.Plugged(); }
  uint32_t PlugGeneration() const override { return board_.PlugGeneration(); }

 private:
  sim::BoardSim& board_;
};

// An E-stop during a jog: the board runs on between its Status answer and
// the Stop. The host must end up where the board stopped, so that the reset
// that follows does not shift the board's coordinates.
TEST(Machine, EStopDuringAJogKeepsTheBoardsCoordinates) {
  sim::Machine m;
  RealTimeBoard realTime(m.board);
  m.hid.Candidate(m.boardCandidate).Device = &realTime;
  constexpr int kEStopPin = 13;
  m.host.SetInput(25, true, kEStopPin);
  m.board.SetEStopInput(kEStopPin, 1);
  m.host.SetJogFullSpeed(true);
  m.Start();
  m.Updates(2);
  m.ctx->JogOn(0, 0, 0.0);
  m.Updates(20);
  ASSERT_FALSE(m.board.Idle());
  m.board.PressEStop(true);
  m.Update();
  EXPECT_TRUE(m.host.EStop());
  ASSERT_TRUE(m.board.Idle());
  EXPECT_EQ(m.HostPositions(), m.BoardPositions());
  const std::vector<int32_t> stopped = m.BoardPositions();
  m.board.PressEStop(false);
  m.Updates(2);
  m.host.SetEStop(false);
  m.ctx->Reset();
  EXPECT_TRUE(m.LinkUp());
  EXPECT_EQ(m.BoardPositions(), stopped) << "the reset shifted the board's coordinates";
}

// The settle after a reset while a program resumes: the SegmentsEnd that
// closes the program marks the board idle while its answer shows it still
// running. Loading the host's positions then (3 ms later on this board)
// would rewind the board's counters by the segments run in between.
TEST(Machine, SettleWaitsForTheBoardsOwnIdleAfterASegmentsEnd) {
  sim::Machine m;
  RealTimeBoard realTime(m.board);
  m.hid.Candidate(m.boardCandidate).Device = &realTime;
  m.Start();
  m.Updates(3);
  ASSERT_EQ(m.ctx->Device->Sequence, SeqIdle);
  const double d[5] = {10, -4, 0, 0, 0};
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(m.host.PushRecord(d, i));
  m.ctx->Reset();
  ASSERT_EQ(m.ctx->Device->Sequence, SeqSettle);
  m.host.SetBufferEnding(true);
  ASSERT_TRUE(m.RunToEnd());
  EXPECT_EQ(m.ctx->Device->Sequence, SeqIdle);
  EXPECT_EQ(m.BoardPositions(), (std::vector<int32_t>{300, -120, 0, 0, 0}));
  EXPECT_EQ(m.HostPositions(), m.BoardPositions());
}

}  // namespace
}  // namespace vx
