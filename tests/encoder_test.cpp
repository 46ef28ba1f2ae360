// The segment encoder on the wire: packing six records to a packet, the
// speed limit, the SegmentsAck cadence set by the board's replies, and
// failed transfers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "motion_support.h"

namespace vx {
namespace {

using test::MotionTest;
using test::Written;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A board that always answers SegmentsAck with `reply` and never has to
// hold its answer for room.
sim::MachineOptions ConstantFlow(uint8_t reply) {
  sim::MachineOptions o;
  o.Board.QueueCapacity = 1u << 20;
  o.Board.Flow = [reply](size_t, size_t) { return reply; };
  return o;
}

class EncoderTest : public MotionTest {};

TEST_F(EncoderTest, SixRecordsMakeOnePacketAndFiveSendNothing) {
  struct Record {
    double d[5];
    int32_t line;
  } records[6] = {
      {{300.0, -300.0, 0.0, 0.0, 256.0}, 7},
      {{0, 0, 0, 0, 0}, 7},
      {{400.0, 0, 0, 0, 0}, 0x123456},
      {{0.9, -0.9, 0, 0, 0}, -1},
      {{0, 0, 0, 0, 0}, 0xFFFFFE},
      {{-1, 400, -300, 257, 399.99}, 0x10},
  };
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(hw().EncodeSegment(records[i].d, records[i].line), 0) << "record " << i;
    EXPECT_TRUE(Written(board()).empty()) << "record " << i;
    EXPECT_EQ(ctx().SlotCount, i + 1);
    EXPECT_EQ(ctx().SegmentBuffer[proto::segments::Count], i + 1);
    EXPECT_EQ(ctx().SegmentBuffer[proto::kCommandByte], proto::kSegments);
  }
  ASSERT_EQ(hw().EncodeSegment(records[5].d, records[5].line), 0);
  auto w = Written(board());
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(test::PayloadHex(w[0].Bytes),
            "51 2C 2C 00 00 00 07 00 00 41 "
            "00 00 00 00 00 00 07 00 00 00 "
            "41 90 00 00 00 00 56 34 12 00 "
            "01 00 00 00 00 00 FF FF FF 00 "
            "00 00 00 00 00 00 FE FF FF 00 "
            "1A 01 90 2C 01 8F 10 00 00 55 "
            "00 00 06 04");
  EXPECT_EQ(ctx().SlotCount, 0);
  EXPECT_EQ(ctx().PacketCount, 1);
  EXPECT_EQ(ctx().EndPending, 1);
  EXPECT_EQ(test::PayloadHex(ctx().SegmentBuffer), test::PayloadHex(proto::Payload{}));
  EXPECT_TRUE(board().Violations().empty()) << board().Violations().front();
}

TEST_F(EncoderTest, SpeedLimitRefusesTheRecordAndChangesNothingElse) {
  ASSERT_EQ(Encode(10, 1), 0);
  ASSERT_EQ(Encode(-20, 2), 0);
  const proto::Payload buffer = ctx().SegmentBuffer;
  const struct {
    int axis;
    double value;
  } refused[] = {{0, 400.5},  {0, -400.5}, {1, 400.5}, {2, -400.5}, {3, 400.5}, {4, -400.5},
                 {0, 1e300},  {4, -kInf},  {1, kInf},  {2, kNaN},   {3, -kNaN}};
  for (const auto& c : refused) {
    ctx().SpeedTooHigh = 0;
    ctx().EndPending = 0;
    double d[5] = {};
    d[c.axis] = c.value;
    EXPECT_EQ(hw().EncodeSegment(d, 3), 1) << "axis " << c.axis << " value " << c.value;
    EXPECT_EQ(ctx().SpeedTooHigh, 1) << "axis " << c.axis << " value " << c.value;
    EXPECT_EQ(ctx().EndPending, 1) << "axis " << c.axis << " value " << c.value;
    EXPECT_EQ(ctx().SlotCount, 2);
    EXPECT_EQ(ctx().PacketCount, 0);
    EXPECT_EQ(ctx().AckInterval, 12);
    EXPECT_EQ(ctx().AckPending, 0);
    EXPECT_EQ(test::PayloadHex(ctx().SegmentBuffer), test::PayloadHex(buffer));
  }
  // Exactly 400 steps on every axis, both ways, is the board's limit and passes.
  ctx().SpeedTooHigh = 0;
  const double limit[5] = {400.0, -400.0, 400.0, -400.0, 400.0};
  EXPECT_EQ(hw().EncodeSegment(limit, 4), 0);
  EXPECT_EQ(ctx().SpeedTooHigh, 0);
  EXPECT_EQ(ctx().SlotCount, 3);
  proto::Segment s = proto::DecodeSegment(ctx().SegmentBuffer.data() + 20);
  for (int a = 0; a < 5; ++a) EXPECT_EQ(s.Magnitude[a], 400) << "axis " << a;
  EXPECT_EQ(s.Directions, 0x15);
  EXPECT_TRUE(Written(board()).empty());
}

// The reply to SegmentsAck, divided by 10, is the number of packets up to
// and including the next SegmentsAck; below 10 the board gets every packet
// answered instead of none.
TEST(EncoderFlow, AckCadenceFollowsTheReply) {
  const struct {
    uint8_t reply;
    int interval;
  } cases[] = {{95, 9}, {255, 25}, {120, 12}, {20, 2}, {19, 1}, {10, 1}, {9, 1}, {0, 1}};
  for (const auto& c : cases) {
    sim::Machine m(ConstantFlow(c.reply));
    m.Start();
    m.Update();
    m.board.ClearTranscript();
    ASSERT_EQ(m.ctx->AckInterval, 12);
    const int packets = 12 + 3 * c.interval;
    const double d[5] = {1, 0, 0, 0, 0};
    for (int i = 0; i < packets * 6; ++i) ASSERT_EQ(m.ctx->Device->Hardware->EncodeSegment(d, i), 0);
    std::string got, expected;
    for (const auto& w : Written(m.board)) got += w.Code == proto::kSegmentsAck ? 'A' : 'S';
    for (int p = 1; p <= packets; ++p) {
      bool ack = p == 12 || (p > 12 && (p - 12) % c.interval == 0);
      expected += ack ? 'A' : 'S';
    }
    EXPECT_EQ(got, expected) << "reply " << int(c.reply);
    EXPECT_EQ(m.ctx->AckInterval, c.interval) << "reply " << int(c.reply);
    EXPECT_EQ(m.ctx->AckPending, 0);
    // The reply is the plug-in's new picture of the board.
    auto answers = test::Answers(m.board);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(test::PayloadHex(m.ctx->BoardState), test::PayloadHex(answers.back().Bytes));
    EXPECT_EQ(m.ctx->BoardState[proto::input::AckInterval], c.reply);
    EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
  }
}

TEST(EncoderFlow, FailedTransfersTakeTheLinkDownQuietly) {
  enum Fault { WriteFails, ReadFails };
  const struct {
    const char* what;
    int32_t packetsBefore;  // PacketCount before the sixth record
    Fault fault;
    int32_t packetCount;    // after
    uint8_t ackPending;
  } cases[] = {
      {"Segments write", 0, WriteFails, 1, 0},
      {"SegmentsAck write", 11, WriteFails, 0, 1},
      {"SegmentsAck read", 11, ReadFails, 0, 1},
  };
  for (const auto& c : cases) {
    sim::Machine m;
    m.Start();
    m.Update();
    m.host.ClearStatusHistory();
    PluginContext& ctx = *m.ctx;
    const proto::Payload stateBefore = ctx.BoardState;
    ctx.PacketCount = c.packetsBefore;
    const double d[5] = {5, 0, 0, 0, 0};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(ctx.Device->Hardware->EncodeSegment(d, i), 0);
    if (c.fault == WriteFails) m.board.FailWrite(1);
    else m.board.FailRead(1);
    // A packet that went out is taken, even when its answer is lost.
    EXPECT_EQ(ctx.Device->Hardware->EncodeSegment(d, 5),
              c.fault == ReadFails ? SegmentSentUnanswered : SegmentRefused)
        << c.what;
    EXPECT_EQ(ctx.LinkError, 1) << c.what;
    EXPECT_EQ(ctx.LinkUp, 0) << c.what;
    EXPECT_EQ(ctx.SlotCount, 0) << c.what;
    EXPECT_EQ(ctx.PacketCount, c.packetCount) << c.what;
    EXPECT_EQ(ctx.AckPending, c.ackPending) << c.what;
    EXPECT_EQ(ctx.AckInterval, 12) << c.what;
    EXPECT_EQ(test::PayloadHex(ctx.BoardState), test::PayloadHex(stateBefore)) << c.what;
    EXPECT_FALSE(m.host.EStop()) << c.what;
    EXPECT_TRUE(m.host.StatusHistory().empty()) << c.what;
    if (c.fault == ReadFails)
      EXPECT_EQ(test::PayloadHex(ctx.SegmentBuffer), test::PayloadHex(proto::Payload{})) << c.what;
  }
}

}  // namespace
}  // namespace vx
