// Scenarios a machine operator would recognise, through the whole machine:
// programs streamed to their end while the host keeps up or falls behind,
// the E-stop button and the limit switches mid-program, a record too fast
// for the board, the cable pulled and put back, and the board's flow
// control.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "motion_support.h"

namespace vx {
namespace {

using sim::Machine;
using Records = std::vector<Machine::Record>;
using test::Written;

constexpr int kXPin = 10, kOverPin = 16, kEStopPin = 15;

// Records in the board's range, both signs and fractions, lines 1, 2, 3...
Records RandomProgram(size_t n, uint32_t seed, double reach = 400.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> d(-reach, reach);
  Records records(n);
  for (size_t i = 0; i < n; ++i) {
    for (double& v : records[i].Delta) v = d(rng);
    records[i].Line = static_cast<int32_t>(i + 1);
  }
  return records;
}

// Every record moves X by `dx` steps.
Records StraightX(size_t n, double dx) {
  Records records(n);
  for (size_t i = 0; i < n; ++i) {
    records[i].Delta[0] = dx;
    records[i].Line = static_cast<int32_t>(i + 1);
  }
  return records;
}

// Where `start` ends up after records [from, to), in whole steps.
std::vector<int32_t> After(std::vector<int32_t> start, const Records& r, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    for (int a = 0; a < 5; ++a) start[a] += static_cast<int32_t>(std::trunc(r[i].Delta[a]));
  return start;
}

std::vector<uint32_t> Lines(const Records& r, size_t from, size_t to) {
  std::vector<uint32_t> lines;
  for (size_t i = from; i < to; ++i) lines.push_back(static_cast<uint32_t>(r[i].Line));
  return lines;
}

// The machine as an operator wires it: E-stop button, X limit switch (with
// its LIMIT OVER key) on the board's inputs and in the host's input table.
struct Shop {
  explicit Shop(sim::MachineOptions o = {}) : m(std::move(o)) {
    m.host.SetInput(0, true, kXPin);
    m.host.SetInput(24, true, kOverPin);
    m.host.SetInput(25, true, kEStopPin);
    m.board.SetEStopInput(kEStopPin, 1);
    m.Start();
    m.Update();
    m.host.ClearCallLog();
  }
  PluginContext& ctx() { return *m.ctx; }
  // Records handed to the board so far.
  size_t Taken(size_t fed) const { return fed - static_cast<size_t>(m.host.RingPending()); }
  int TrajectoryWrites() const {
    int n = 0;
    for (uint8_t code : {proto::kSegments, proto::kSegmentsAck, proto::kSegmentsEnd}) n += m.board.Received(code);
    return n;
  }
  Machine m;
};

TEST(Scenario, ProgramsRunToTheirExactEnd) {
  const struct {
    const char* what;
    size_t chunk;     // records the host plans per Update
    int feedUpdates;  // Updates in a row with planning...
    int pauseUpdates; // ...then Updates without
    bool ending;      // the host flags its program's end
  } cases[] = {
      {"host keeps ahead", 60, 1, 0, true},
      {"host falls behind now and then", 50, 7, 30, true},
      {"no end flag", 60, 1, 0, false},
  };
  const Records program = RandomProgram(3000, 7);
  for (const auto& c : cases) {
    Shop s;
    Machine& m = s.m;
    m.host.ClearStatusHistory();
    m.host.View().SetLastLine(-5);
    size_t fed = 0;
    int updates = 0, drains = 0;
    int32_t lastLineSeen = -5;
    while (fed < program.size()) {
      if (updates++ % (c.feedUpdates + c.pauseUpdates) < c.feedUpdates) fed += m.Feed(program, fed, c.chunk);
      const int ends = m.board.Received(proto::kSegmentsEnd);
      m.Update();
      if (m.board.Received(proto::kSegmentsEnd) > ends) {
        // The host fell behind: the board got the end of what there was,
        // and the host's lines name the last record sent.
        ++drains;
        const int32_t sent = program[s.Taken(fed) - 1].Line;
        EXPECT_EQ(m.host.LastLine(), sent) << c.what;
        EXPECT_EQ(m.host.CurrentLine(), sent) << c.what;
        lastLineSeen = sent;
      }
      ASSERT_LT(updates, 100000) << c.what;
    }
    m.host.SetBufferEnding(c.ending);
    ASSERT_TRUE(m.RunToEnd()) << c.what;

    const std::vector<int32_t> expected = After({0, 0, 0, 0, 0}, program, 0, program.size());
    EXPECT_EQ(m.BoardPositions(), expected) << c.what;
    EXPECT_EQ(m.HostPositions(), expected) << c.what;
    EXPECT_EQ(test::SegmentLines(m.board), Lines(program, 0, program.size())) << c.what;
    EXPECT_EQ(m.board.Statistics().SegmentsExecuted, program.size()) << c.what;
    EXPECT_EQ(m.host.CurrentLine(), program.back().Line) << c.what;
    // At a flagged end the host keeps the last line it was given before.
    EXPECT_EQ(m.host.LastLine(), c.ending ? lastLineSeen : program.back().Line) << c.what;
    EXPECT_EQ(drains > 0, c.pauseUpdates > 0) << c.what;
    EXPECT_EQ(s.ctx().Device->InMotion, 0) << c.what;
    EXPECT_TRUE(m.host.ExternalStill()) << c.what;
    EXPECT_FALSE(m.host.EStop()) << c.what;
    EXPECT_TRUE(m.host.StatusHistory().empty()) << c.what << ": " << m.host.StatusHistory().front();
    EXPECT_TRUE(m.board.Violations().empty()) << c.what << ": " << m.board.Violations().front();
  }
}

// The E-stop button stops the board at once, wherever the program is; the
// host's reset then changes no position, and the rest of the program (or a
// new one) runs from where the machine really is.
TEST(Scenario, EStopButtonMidProgram) {
  const struct {
    const char* what;
    int updatesBefore;  // Updates between the start and the press
  } cases[] = {
      {"while records stream", 20},
      {"after the last record, board still running", 1000},
  };
  // More than the board buffers: the host's ring holds the rest for a while.
  const Records program = RandomProgram(1500, 11, 100.0);
  for (const auto& c : cases) {
    Shop s;
    Machine& m = s.m;
    size_t fed = m.Feed(program, 0, program.size());
    m.host.SetBufferEnding(true);
    m.Updates(c.updatesBefore);
    ASSERT_FALSE(m.board.Idle()) << c.what;
    ASSERT_EQ(s.ctx().EndPending, c.updatesBefore < 100 ? 1 : 0) << c.what;
    m.host.ClearStatusHistory();

    // While records wait the board is asked every fourth Update.
    m.board.PressEStop(true);
    ASSERT_TRUE(m.UpdateUntil([&] { return m.host.EStop(); }, 4)) << c.what;
    EXPECT_EQ(m.host.StatusHistory(), std::vector<std::string>{"Emergence Button Pressed!"}) << c.what;
    EXPECT_TRUE(m.host.EStop()) << c.what;
    EXPECT_TRUE(m.board.Idle()) << c.what;
    const std::vector<int32_t> stoppedAt = m.BoardPositions();
    EXPECT_EQ(m.HostPositions(), stoppedAt) << c.what;
    const int writes = s.TrajectoryWrites();
    m.Updates(10);
    EXPECT_EQ(s.TrajectoryWrites(), writes) << c.what;

    m.board.PressEStop(false);
    m.Update();
    s.ctx().Reset();
    m.host.SetEStop(false);
    EXPECT_EQ(m.host.StatusHistory().back(), "Vendrix connected") << c.what;
    EXPECT_EQ(m.BoardPositions(), stoppedAt) << c.what;
    EXPECT_EQ(m.HostPositions(), stoppedAt) << c.what;

    // The host goes on with whatever its ring still holds.
    const size_t resumeAt = s.Taken(fed);
    ASSERT_TRUE(m.RunToEnd()) << c.what;
    const std::vector<int32_t> end = After(stoppedAt, program, resumeAt, program.size());
    EXPECT_EQ(m.BoardPositions(), end) << c.what;
    EXPECT_EQ(m.HostPositions(), end) << c.what;
    EXPECT_TRUE(m.board.Violations().empty()) << c.what << ": " << m.board.Violations().front();
  }
}

TEST(Scenario, LimitSwitchMidProgram) {
  // More than the board buffers, so records still wait when X reaches the
  // switch.
  const Records program = StraightX(3000, 100.0);
  for (bool limitOver : {false, true}) {
    const char* what = limitOver ? "with LIMIT OVER" : "without LIMIT OVER";
    Shop s;
    Machine& m = s.m;
    m.board.AddSwitch(sim::AxisSwitch{0, kXPin, 20000, true, 1});
    if (limitOver) m.board.SetPin(kOverPin, 1);
    m.Feed(program, 0, program.size());
    ASSERT_TRUE(m.UpdateUntil([&] { return !m.host.StatusHistory().empty() &&
                                            m.host.StatusHistory().back() != "Vendrix connected"; },
                              5000))
        << what;
    const std::string message =
        limitOver ? "XLimit Switch Triggered! LIMIT OVER Activated" : "XLimit Switch Triggered!";
    EXPECT_EQ(m.host.StatusHistory().back(), message) << what;
    // The program is stopped either way: under LIMIT OVER by the records
    // still waiting after the trip.
    EXPECT_EQ(m.host.DoButtons, std::vector<int>{1003}) << what;
    EXPECT_TRUE(m.host.EStop()) << what;
    EXPECT_TRUE(m.board.Idle()) << what;
    EXPECT_EQ(s.ctx().Device->LimitLatch, 1) << what;
    const std::vector<int32_t> stoppedAt = m.BoardPositions();
    EXPECT_GE(stoppedAt[0], 20000) << what;
    EXPECT_EQ(m.HostPositions(), stoppedAt) << what;

    // The host's stop empties its planner; still on the switch, the message
    // comes again on every step and nothing moves.
    m.host.SetRing(m.host.TrajHead(), m.host.TrajHead());
    m.host.ClearStatusHistory();
    const int writes = s.TrajectoryWrites();
    m.Updates(5);
    EXPECT_EQ(m.host.StatusHistory().size(), 5u) << what;
    EXPECT_EQ(s.TrajectoryWrites(), writes) << what;
    EXPECT_EQ(m.host.DoButtons.size(), 1u) << what;

    // The host resets; the machine has not moved.
    s.ctx().Reset();
    EXPECT_EQ(m.BoardPositions(), stoppedAt) << what;
    EXPECT_EQ(m.HostPositions(), stoppedAt) << what;
  }
}

TEST(Scenario, RecordTooFastForTheBoard) {
  Records program = RandomProgram(400, 3, 300.0);
  program[250].Delta[1] = -450.0;
  Shop s;
  Machine& m = s.m;
  m.Feed(program, 0, program.size());
  ASSERT_TRUE(m.UpdateUntil([&] { return m.host.EStop(); }, 1000));
  EXPECT_EQ(m.host.StatusHistory().back(), "Speed is too high");
  EXPECT_EQ(m.host.CurrentLine(), program[250].Line);
  EXPECT_EQ(m.host.RingPending(), 150);  // the record stays in the ring
  EXPECT_EQ(test::SegmentLines(m.board).size(), 246u);  // 41 packets; four records wait

  // Clearing the E-stop is not enough.
  for (int i = 0; i < 3; ++i) {
    m.host.ClearStatusHistory();
    m.host.SetEStop(false);
    m.Update();
    EXPECT_TRUE(m.host.EStop());
    EXPECT_EQ(m.host.StatusHistory(), std::vector<std::string>{"Speed is too high"});
  }
  // The reset clears it; the host learns where the board stopped and which
  // line to go on from.
  s.ctx().Reset();
  const std::vector<int32_t> at = m.BoardPositions();
  EXPECT_EQ(s.ctx().SpeedTooHigh, 0);
  EXPECT_EQ(m.HostPositions(), at);
  EXPECT_EQ(m.host.LastLine(), program[250].Line);
  EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
}

// Pulling the cable mid-program stops everything; after the replug and the
// host's reset the host holds the board's positions and line, and the rest
// of the program runs to an exact end.
TEST(Scenario, CablePulledMidProgramAndPutBack) {
  const Records program = RandomProgram(900, 5, 200.0);
  Shop s;
  Machine& m = s.m;
  size_t fed = m.Feed(program, 0, program.size());
  m.host.SetBufferEnding(true);
  m.Updates(12);
  m.host.ClearStatusHistory();

  m.Unplug();
  m.Updates(3);
  EXPECT_TRUE(m.host.EStop());
  EXPECT_FALSE(m.LinkUp());
  const size_t taken = s.Taken(fed);
  m.Updates(5);
  EXPECT_EQ(s.Taken(fed), taken);  // streaming has stopped

  m.Replug();
  EXPECT_TRUE(m.host.EStop());
  s.ctx().Reset();
  EXPECT_EQ(m.host.StatusHistory(),
            (std::vector<std::string>{"No VendrixBoard, Please plug it in!", "Vendrix Connected.",
                                      "Vendrix connected"}));
  EXPECT_TRUE(m.LinkUp());
  // The board came back with fresh counters; the host takes them.
  const std::vector<int32_t> at = m.BoardPositions();
  EXPECT_EQ(m.HostPositions(), at);
  // With the board's line gone, the last line sent is where the host stands.
  EXPECT_EQ(m.host.CurrentLine(), s.ctx().LastSentLine);
  EXPECT_EQ(m.host.LastLine(), s.ctx().LastSentLine);
  EXPECT_GE(s.ctx().LastSentLine, program[taken - 1].Line);
  EXPECT_LE(s.ctx().LastSentLine, program[taken].Line);

  m.host.SetEStop(false);
  ASSERT_TRUE(m.RunToEnd());
  const std::vector<int32_t> end = After(at, program, taken, program.size());
  EXPECT_EQ(m.BoardPositions(), end);
  EXPECT_EQ(m.HostPositions(), end);
  EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
}

// The board throttles the plug-in by its SegmentsAck answers: each answer
// N x 10 means N - 1 Segments packets and then the next SegmentsAck.
TEST(Scenario, FlowControlFollowsEachReply) {
  sim::MachineOptions o;
  o.Board.QueueCapacity = 600;
  o.Board.Flow = [](size_t queued, size_t) -> uint8_t {
    if (queued < 100) return 255;
    if (queued < 300) return 95;
    if (queued < 450) return 30;
    return 5;
  };
  Shop s(o);
  Machine& m = s.m;
  const Records program = RandomProgram(4000, 9, 50.0);
  size_t fed = 0;
  while (fed < program.size()) {
    fed += m.Feed(program, fed, 80);
    m.Update();
  }
  m.host.SetBufferEnding(true);
  ASSERT_TRUE(m.RunToEnd());

  int packets = 0;  // full packets since the last SegmentsAck
  int expectedRun = 12;
  int acks = 0;
  std::set<int> intervals;
  for (const auto& e : m.board.Transcript()) {
    if (e.Failed) continue;
    if (e.Dir == sim::Direction::ToBoard && (e.Command == proto::kSegments || e.Command == proto::kSegmentsAck)) {
      ++packets;
      EXPECT_EQ(e.Command == proto::kSegmentsAck, packets == expectedRun)
          << "packet " << packets << " of " << expectedRun << " after ack " << acks;
      if (e.Command == proto::kSegmentsAck) packets = 0;
    }
    if (e.Dir == sim::Direction::FromBoard && e.Command == proto::kSegmentsAck) {
      ++acks;
      int n = proto::PayloadOf(e.Bytes)[proto::input::AckInterval] / 10;
      expectedRun = n == 0 ? 1 : n;
      intervals.insert(expectedRun);
    }
  }
  EXPECT_EQ(intervals, (std::set<int>{25, 9, 3, 1}));
  EXPECT_EQ(m.BoardPositions(), After({0, 0, 0, 0, 0}, program, 0, program.size()));
  EXPECT_EQ(m.board.Statistics().SegmentsExecuted, program.size());
  EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
}

}  // namespace
}  // namespace vx
