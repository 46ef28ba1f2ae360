// The streaming step: ring records to the encoder, at most 41 per Update,
// the SegmentsEnd that closes a drained stream, positions and lines flowing
// back to the host, and the stops (E-stop, limit latch, speed limit, failed
// transfers).
#include <gtest/gtest.h>

#include "motion_support.h"

namespace vx {
namespace {

using test::CodeNames;
using test::MotionTest;
using test::Written;

class StreamingTest : public MotionTest {
 protected:
  void SetBoardStatePositions(std::initializer_list<int32_t> p) {
    int a = 0;
    for (int32_t v : p) proto::PutU32(ctx().BoardState.data() + proto::input::Positions + 4 * a++, static_cast<uint32_t>(v));
  }
  int TrajectoryReports() {
    int n = 0;
    for (const auto& w : Written(board())) n += test::IsTrajectory(w.Code) ? 1 : 0;
    return n;
  }
};

TEST_F(StreamingTest, EStopStopsEverythingEvenThePositionCopy) {
  PushMany(10, 1, 1);
  host().SetEStop(true);
  SetBoardStatePositions({42, 42, 42, 42, 42});
  const int32_t index = host().TrajIndex();
  dev().StreamTrajectory();
  EXPECT_TRUE(Written(board()).empty());
  EXPECT_EQ(host().TrajIndex(), index);
  EXPECT_EQ(m->HostPositions(), (std::vector<int32_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(ctx().EndPending, 0);
}

TEST_F(StreamingTest, EmptyRingSendsNothingButCopiesPositions) {
  SetBoardStatePositions({1, -2, 3, -4, 5});
  dev().StreamTrajectory();
  EXPECT_TRUE(Written(board()).empty());
  EXPECT_EQ(m->HostPositions(), (std::vector<int32_t>{1, -2, 3, -4, 5}));
  EXPECT_EQ(dev().WaitForGcodeIdle, 0);
}

TEST_F(StreamingTest, AtMost41RecordsPerCall) {
  PushMany(100, 1, 1);
  const int32_t start = host().TrajIndex();
  const struct {
    int taken, reports, slots;
  } calls[] = {{41, 6, 5}, {82, 13, 4}, {100, 16, 4}};
  for (const auto& c : calls) {
    dev().StreamTrajectory();
    EXPECT_EQ(host().TrajIndex(), (start + c.taken) & 0xFFF) << c.taken;
    EXPECT_EQ(TrajectoryReports(), c.reports) << c.taken;
    EXPECT_EQ(ctx().SlotCount, c.slots) << c.taken;
    EXPECT_EQ(host().CurrentLine(), c.taken) << c.taken;
    EXPECT_EQ(ctx().LastSentLine, c.taken) << c.taken;
    EXPECT_EQ(dev().InMotion, 1);
    EXPECT_EQ(ctx().BoardIdle, 0);
  }
  std::vector<uint32_t> expected;
  for (uint32_t line = 1; line <= 96; ++line) expected.push_back(line);
  EXPECT_EQ(test::SegmentLines(board()), expected);
}

// A SegmentsAck answer inside the loop is a fresh picture of the board.
TEST_F(StreamingTest, AckAnswerPositionsReachTheHostAtOnce) {
  ctx().PacketCount = 11;
  PushMany(6, 1, 1);
  board().SetPosition(0, 777);
  dev().StreamTrajectory();
  ASSERT_EQ(CodeNames(board()), "SegmentsAck");
  EXPECT_EQ(host().Position(0), 777);
}

TEST_F(StreamingTest, RingIndexWrapsAt4096) {
  host().SetRing(4094, 4094);
  PushMany(3, 1, 1);
  ASSERT_EQ(host().TrajHead(), 1);
  dev().StreamTrajectory();
  EXPECT_EQ(host().TrajIndex(), 1);
  EXPECT_EQ(ctx().SlotCount, 3);
  EXPECT_EQ(proto::DecodeSegment(ctx().SegmentBuffer.data() + 20).Line, 3u);
}

// The Update in which the ring drains sends nothing more; the next one
// closes the stream with what is left.
TEST_F(StreamingTest, SegmentsEndClosesTheDrainedStream) {
  const struct {
    const char* what;
    int records;
    const char* endBytes;
  } cases[] = {
      {"three records", 3,
       "01 02 00 00 00 00 07 00 00 00 01 02 00 00 00 00 08 00 00 00 21 02 00 00 00 00 09 00 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 03 09"},
      {"six records", 6,
       "20 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 09"},
  };
  for (const auto& c : cases) {
    Make();
    host().View().SetLastLine(-5);
    PushMany(c.records, 2, 7);
    dev().StreamTrajectory();
    EXPECT_EQ(CodeNames(board()), c.records == 6 ? "Segments" : "") << c.what;
    EXPECT_EQ(host().LastLine(), -5) << c.what;
    board().ClearTranscript();

    SetBoardStatePositions({9, 9, 9, 9, 9});
    dev().StreamTrajectory();
    auto w = Written(board());
    ASSERT_EQ(w.size(), 1u) << c.what;
    EXPECT_EQ(w[0].Code, proto::kSegmentsEnd) << c.what;
    EXPECT_EQ(test::PayloadHex(w[0].Bytes), c.endBytes) << c.what;
    auto answers = test::Answers(board());
    ASSERT_EQ(answers.size(), 1u) << c.what;
    EXPECT_EQ(test::PayloadHex(ctx().BoardState), test::PayloadHex(answers[0].Bytes)) << c.what;
    // The reply's positions reach the host.
    EXPECT_EQ(m->HostPositions(), m->BoardPositions()) << c.what;
    const int32_t last = 7 + c.records - 1;
    EXPECT_EQ(host().LastLine(), last) << c.what;
    EXPECT_EQ(host().CurrentLine(), last) << c.what;
    EXPECT_EQ(ctx().EndPending, 0) << c.what;
    EXPECT_EQ(ctx().SlotCount, 0) << c.what;
    EXPECT_EQ(ctx().BoardIdle, 1) << c.what;
    EXPECT_EQ(dev().WaitForGcodeIdle, 1) << c.what;
    EXPECT_EQ(test::PayloadHex(ctx().SegmentBuffer), test::PayloadHex(proto::Payload{})) << c.what;

    // Closed: the next call sends nothing.
    board().ClearTranscript();
    dev().StreamTrajectory();
    EXPECT_TRUE(Written(board()).empty()) << c.what;
    EXPECT_TRUE(board().Violations().empty()) << board().Violations().front();
  }
}

// At a program's end (BufferEnding) the drained Update already reports the
// stop and the SegmentsEnd leaves the host's lines alone; when the host just
// fell behind, the SegmentsEnd sets them to the last line sent.
TEST_F(StreamingTest, ProgramEndAndHostFallingBehind) {
  for (bool ending : {true, false}) {
    const char* what = ending ? "program end" : "host behind";
    Make();
    host().SetBufferEnding(ending);
    host().View().SetLastLine(-5);
    PushMany(10, 3, 1);
    host().SetExternalStill(false);
    ctx().PollCount = 0;  // no Status in this call
    ctx().Update();
    EXPECT_EQ(host().RingPending(), 0) << what;
    EXPECT_EQ(CodeNames(board()), "Segments") << what;
    EXPECT_EQ(ctx().BufferEndingSeen, ending ? 1 : 0) << what;
    EXPECT_EQ(dev().InMotion, ending ? 0 : 1) << what;
    EXPECT_EQ(host().ExternalStill(), ending) << what;
    EXPECT_EQ(host().CurrentLine(), 10) << what;

    board().ClearTranscript();
    host().SetExternalStill(false);
    host().View().SetCurrentLine(99);  // the host moved on
    ctx().Update();
    EXPECT_EQ(CodeNames(board()), "Status SegmentsEnd") << what;
    EXPECT_EQ(Written(board())[1].Bytes[proto::segments::Count], 4) << what;
    EXPECT_EQ(host().CurrentLine(), ending ? 99 : 10) << what;
    EXPECT_EQ(host().LastLine(), ending ? -5 : 10) << what;
    EXPECT_EQ(ctx().BufferEndingSeen, 0) << what;
    EXPECT_EQ(dev().InMotion, 0) << what;
    EXPECT_TRUE(host().ExternalStill()) << what;
  }
}

TEST_F(StreamingTest, LimitLatchTurnsNewMotionIntoAnEStop) {
  // An empty ring still closes a pending stream.
  PushMany(3, 1, 1);
  dev().StreamTrajectory();
  dev().LimitLatch = 1;
  board().ClearTranscript();
  dev().StreamTrajectory();
  EXPECT_EQ(CodeNames(board()), "SegmentsEnd");
  EXPECT_FALSE(host().EStop());

  // The first record that arrives stops the program.
  board().ClearTranscript();
  PushMany(5, 1, 4);
  const int32_t index = host().TrajIndex();
  dev().StreamTrajectory();
  dev().StreamTrajectory();
  EXPECT_EQ(host().DoButtons, std::vector<int>{1003});
  EXPECT_TRUE(host().EStop());
  EXPECT_EQ(host().TrajIndex(), index);
  EXPECT_TRUE(Written(board()).empty());
}

TEST_F(StreamingTest, RefusedRecordStaysInTheRingAndRaisesTheEStopNextCycle) {
  Push(10, 1);
  Push(10, 2);
  Push(400.5, 3);
  Push(10, 4);
  const int32_t index = host().TrajIndex();
  ctx().Update();
  EXPECT_EQ(host().TrajIndex(), (index + 2) & 0xFFF);
  EXPECT_EQ(host().CurrentLine(), 3);
  EXPECT_EQ(ctx().LastSentLine, 3);
  EXPECT_EQ(ctx().SpeedTooHigh, 1);
  EXPECT_FALSE(host().EStop());
  EXPECT_EQ(dev().InMotion, 0);  // the sequence step reported the stop
  EXPECT_TRUE(host().ExternalStill());

  for (int cycle = 0; cycle < 2; ++cycle) {
    // Clearing the E-stop without a reset only raises it again.
    host().SetEStop(false);
    Quiet();
    ctx().Update();
    EXPECT_TRUE(host().EStop());
    EXPECT_EQ(Statuses(), std::vector<std::string>{"Speed is too high"});
    EXPECT_EQ(host().TrajIndex(), (index + 2) & 0xFFF);
  }
  // Only a reset clears it; the host resumes at the refused line.
  ctx().Reset();
  EXPECT_EQ(ctx().SpeedTooHigh, 0);
  EXPECT_EQ(ctx().EndPending, 0);
  EXPECT_EQ(host().CurrentLine(), 3);
  EXPECT_EQ(host().LastLine(), 3);
}

TEST_F(StreamingTest, FailedTrajectoryTransfersStopTheHost) {
  enum Fault { EndWrite, EndRead, PacketWrite, AckRead };
  const struct {
    const char* what;
    Fault fault;
    bool present;
    std::vector<std::string> statuses;
  } cases[] = {
      {"SegmentsEnd write", EndWrite, true, {"Cnc communicate error!!"}},
      {"SegmentsEnd read", EndRead, true, {"Cnc communicate error!!"}},
      {"SegmentsEnd write, board gone", EndWrite, false, {}},
      {"Segments write", PacketWrite, true, {"Cnc communicate error!!"}},
      {"SegmentsAck read", AckRead, true, {"Cnc communicate error!!"}},
      {"Segments write, board gone", PacketWrite, false, {}},
  };
  for (const auto& c : cases) {
    Make();
    ctx().BoardPresent = c.present ? 1 : 0;
    const bool atEnd = c.fault == EndWrite || c.fault == EndRead;
    if (atEnd) {
      PushMany(3, 1, 1);
      dev().StreamTrajectory();
      if (c.fault == EndWrite) board().FailWrite(1);
      else board().FailRead(1);
    } else {
      if (c.fault == AckRead) {
        ctx().PacketCount = 11;
        board().FailRead(1);
      } else {
        board().FailWrite(1);
      }
      PushMany(12, 1, 1);
    }
    const int32_t index = host().TrajIndex();
    dev().StreamTrajectory();
    EXPECT_TRUE(host().EStop()) << c.what;
    EXPECT_EQ(Statuses(), c.statuses) << c.what;
    EXPECT_EQ(ctx().LinkError, 1) << c.what;
    EXPECT_EQ(ctx().LinkUp, 0) << c.what;
    EXPECT_EQ(ctx().EndPending, 1) << c.what;
    if (atEnd) {
      EXPECT_EQ(test::PayloadHex(ctx().SegmentBuffer), test::PayloadHex(proto::Payload{})) << c.what;
    } else {
      // The sixth record, whose packet was lost, stays in the ring; one
      // whose packet reached the board, answer lost or not, does not.
      EXPECT_EQ(host().TrajIndex(), (index + (c.fault == AckRead ? 6 : 5)) & 0xFFF) << c.what;
      EXPECT_EQ(dev().WaitForGcodeIdle, 1) << c.what;
    }
    // No later cycle runs until a reset.
    Quiet();
    ctx().Update();
    EXPECT_TRUE(Written(board()).empty()) << c.what;
  }
}

}  // namespace
}  // namespace vx
