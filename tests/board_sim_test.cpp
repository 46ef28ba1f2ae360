#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link_support.h"
#include "sim/board_sim.h"

namespace vx::sim {
namespace {

using namespace vx::proto;

bool Send(BoardSim& b, const Payload& p) {
  Report r{};
  std::memcpy(PayloadOf(r), p.data(), kPayloadSize);
  return b.Receive(r.data());
}

Payload Read(BoardSim& b, bool* ok = nullptr) {
  Report r{};
  bool got = b.Answer(r.data());
  if (ok) *ok = got;
  Payload p;
  std::memcpy(p.data(), PayloadOf(r), kPayloadSize);
  return p;
}

Payload Command(uint8_t code) {
  Payload p{};
  p[kCommandByte] = code;
  if (code == kIdentify) PutU16(p.data() + identify::Magic, identify::kMagic);
  if (code == kSegments || code == kSegmentsAck) p[segments::Count] = 6;
  if (code == kSegmentsEnd) p[0] = segments::kEndMark;
  return p;
}

Payload Move(int axis, int32_t distance, double vel, double acc, int pin = 0, int level = 0) {
  Payload p{};
  EncodeMove(p.data(), axis, distance, pin, level, vel, acc);
  return p;
}

// A trajectory packet of the given records; `code` 9 marks the last one.
Payload Packet(uint8_t code, const std::vector<Segment>& segs) {
  Payload p{};
  for (size_t i = 0; i < segs.size(); ++i) {
    Segment s = segs[i];
    s.EndMark = code == kSegmentsEnd && i + 1 == segs.size();
    EncodeSegment(p.data() + 10 * i, s);
  }
  if (code == kSegmentsEnd && segs.empty()) p[0] = segments::kEndMark;
  p[segments::Count] = static_cast<uint8_t>(segs.size());
  p[kCommandByte] = code;
  return p;
}

Segment Seg(int32_t line, double x, double y = 0) {
  const double d[5] = {x, y, 0, 0, 0};
  return MakeSegment(d, line);
}

TEST(BoardSim, AnswersExactlyTheFourAnsweredCommands) {
  const uint8_t codes[] = {kSetPositions, kStatus, kSegments, kSegmentsAck, kSegmentsEnd,
                           kMove,         kJogStop, kAxisSetup, kIdentify,  kStop};
  for (uint8_t code : codes) {
    BoardSim b;
    ASSERT_TRUE(Send(b, Command(code))) << CommandName(code);
    EXPECT_EQ(b.AnswerPending(), IsAnswered(code)) << CommandName(code);
    bool ok = false;
    Read(b, &ok);
    EXPECT_EQ(ok, IsAnswered(code)) << CommandName(code);
    // Reading with nothing pending would block the real board.
    EXPECT_EQ(b.Violations().size(), IsAnswered(code) ? 0u : 1u) << CommandName(code);
  }
}

TEST(BoardSim, StatusAnswerCarriesTheFirmwareState) {
  BoardSim b;
  b.SetPosition(0, -5);
  b.SetPosition(4, 123456);
  b.SetPin(10, 1);
  b.SetPin(17, 1);
  b.SetPin(24, 1);
  Send(b, Command(kStatus));
  Payload a = Read(b);
  EXPECT_TRUE(BoardIdleBit(a.data()));
  EXPECT_FALSE(MoveDoneBit(a.data()));
  EXPECT_EQ(BoardPosition(a.data(), 0), -5);
  EXPECT_EQ(BoardPosition(a.data(), 4), 123456);
  EXPECT_EQ(static_cast<uint32_t>(BoardLine(a.data())), segments::kNoLine);
  uint32_t w = LevelWord(a.data());
  for (int pin = 1; pin <= 32; ++pin)
    EXPECT_EQ(PinLevel(w, pin), pin == 10 || pin == 17 || pin == 24 ? 1 : 0) << "pin " << pin;
}

TEST(BoardSim, StatusRecordsTheOutputs) {
  BoardSim b;
  Payload p = Command(kStatus);
  PutU32(p.data(), 0x20000401);
  p[4] = 87;
  p[5] = 1;
  PutU16(p.data() + 6, static_cast<uint16_t>(-2000));
  p[8] = 1;
  Send(b, p);
  EXPECT_EQ(b.LastOutputs().OutputBits, 0x20000401u);
  EXPECT_EQ(b.LastOutputs().Spindle, 87);
  EXPECT_EQ(b.LastOutputs().StepsWord, -2000);
  EXPECT_EQ(b.LastOutputs().EStop, 1);
  p[30] = 1;  // bytes 9..62 must be 0
  Read(b);
  Send(b, p);
  EXPECT_EQ(b.Violations().size(), 1u);
}

TEST(BoardSim, MoveRampsToItsTarget) {
  struct Case {
    int axis;
    int32_t distance;
    double vel, acc;
    uint64_t minUs, maxUs;  // simulated time the move should take
  } cases[] = {
      {1, 1000, 10000, 100000, 190000, 215000},    // triangle: 2 x sqrt(d/a)
      {2, -20000, 10000, 100000, 2090000, 2120000},  // trapezoid: d/v + v/a
      {0, 500, 5000, 0, 99000, 101000},            // no ramp
      {3, 0, 1000, 1000, 0, 0},
  };
  for (const Case& c : cases) {
    BoardSim b;
    Send(b, Move(c.axis, c.distance, c.vel, c.acc));
    ASSERT_TRUE(b.RunUntilIdle(10'000'000)) << c.distance;
    EXPECT_EQ(b.Position(c.axis), c.distance);
    EXPECT_TRUE(b.MoveDone());
    EXPECT_GE(b.Now(), c.minUs) << c.distance;
    EXPECT_LE(b.Now(), c.maxUs) << c.distance;
    for (int a = 0; a < 5; ++a) {
      if (a != c.axis) EXPECT_EQ(b.Position(a), 0) << "axis " << a;
    }
  }
}

TEST(BoardSim, MoveEndsOnItsStopInput) {
  BoardSim b;
  b.AddSwitch(AxisSwitch{0, 12, 1000, true, 1});   // home switch, active high
  b.AddSwitch(AxisSwitch{1, 15, -300, false, 0});  // active low, below -300
  // Seek until the pin reads its active level, then back off until it lets go.
  Send(b, Move(0, 999999, 5000, 50000, 12, 1));
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.Position(0), 1000);
  EXPECT_EQ(b.PinLevel(12), 1);
  Send(b, Move(0, -999999, 500, 50000, 12, 0));
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.Position(0), 999);

  Send(b, Move(1, -999999, 5000, 50000, 15, 0));
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.Position(1), -300);

  // Already at the stop level: no step at all.
  Send(b, Move(1, -10, 5000, 50000, 15, 0));
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.Position(1), -300);
  // A pin the level bytes cannot carry reads 0, so stop level 0 ends at once.
  Send(b, Move(2, 100, 5000, 50000, 5, 0));
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.Position(2), 0);
}

TEST(BoardSim, JogStopDeceleratesToIdle) {
  BoardSim b;
  Send(b, Move(0, 1000000, 10000, 50000));
  b.Advance(500000);
  ASSERT_FALSE(b.Idle());
  int32_t at = b.Position(0);
  Send(b, Command(kJogStop));
  ASSERT_TRUE(b.RunUntilIdle());
  // v^2 / 2a = 1000 steps of braking.
  EXPECT_NEAR(b.Position(0) - at, 1000, 2);
  EXPECT_TRUE(b.MoveDone());
}

TEST(BoardSim, StopDropsEverything) {
  BoardSim b;
  Send(b, Move(0, 100000, 1000, 1000));
  Send(b, Packet(kSegments, {Seg(1, 10), Seg(2, 10), Seg(3, 10), Seg(4, 10), Seg(5, 10), Seg(6, 10)}));
  b.Advance(1500);
  Send(b, Command(kStop));
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.QueuedSegments(), 0u);
  EXPECT_FALSE(b.StreamOpen());
  int32_t x = b.Position(0);
  b.Advance(100000);
  EXPECT_EQ(b.Position(0), x);
}

TEST(BoardSim, StreamRunsSegmentsInOrder) {
  BoardSim b;  // 1 ms per segment
  std::vector<Segment> first, second;
  for (int i = 0; i < 6; ++i) first.push_back(Seg(10 + i, 100, -1));
  for (int i = 0; i < 6; ++i) second.push_back(Seg(20 + i, 0.5, 400));
  Send(b, Packet(kSegments, first));
  Send(b, Packet(kSegmentsAck, second));
  Payload ack = Read(b);
  EXPECT_EQ(ack[input::AckInterval], DefaultFlow(12, b.Config().QueueCapacity));
  Send(b, Packet(kSegmentsEnd, {Seg(30, 7), Seg(31, 8)}));
  Read(b);

  b.Advance(500);
  EXPECT_EQ(b.Line(), 10u);
  EXPECT_FALSE(b.Idle());
  b.Advance(1000);
  EXPECT_EQ(b.Line(), 11u);
  EXPECT_EQ(b.Position(0), 100);
  b.Advance(11000);  // 12.5 ms: segments 0..11 done, line 30 running
  EXPECT_EQ(b.Line(), 30u);
  EXPECT_EQ(b.Position(0), 600);
  EXPECT_EQ(b.Position(1), -6 + 6 * 400);
  EXPECT_FALSE(b.MoveDone());
  b.Advance(2000);
  EXPECT_TRUE(b.Idle());
  EXPECT_TRUE(b.MoveDone());
  EXPECT_EQ(b.Line(), segments::kNoLine);
  EXPECT_EQ(b.Position(0), 615);
  EXPECT_EQ(b.Statistics().SegmentsExecuted, 14u);
  EXPECT_EQ(b.Statistics().Underruns, 0u);
  EXPECT_TRUE(b.Violations().empty());
}

TEST(BoardSim, StreamUnderrunAndEmptyEnd) {
  BoardSim b;
  std::vector<Segment> six(6, Seg(1, 1));
  Send(b, Packet(kSegments, six));
  b.Advance(10000);  // drained with the stream still open
  EXPECT_EQ(b.Statistics().Underruns, 1u);
  EXPECT_TRUE(b.StreamOpen());
  EXPECT_FALSE(b.MoveDone());
  Send(b, Packet(kSegmentsEnd, {}));
  Payload end = Read(b);
  EXPECT_TRUE(BoardIdleBit(end.data()));
  EXPECT_TRUE(MoveDoneBit(end.data()));
  EXPECT_FALSE(b.StreamOpen());
  EXPECT_TRUE(b.MoveDone());
  EXPECT_EQ(b.Position(0), 6);
  EXPECT_TRUE(b.Violations().empty());
}

TEST(BoardSim, FlowControlFollowsTheBufferFill) {
  EXPECT_EQ(DefaultFlow(0, 1024), 120);
  EXPECT_EQ(DefaultFlow(1024, 1024), 10);
  EXPECT_EQ(DefaultFlow(5000, 1024), 10);
  uint8_t last = 255;
  for (size_t q = 0; q <= 1024; q += 64) {
    uint8_t v = DefaultFlow(q, 1024);
    EXPECT_LE(v, last) << q;
    EXPECT_EQ(v % 10, 0) << q;
    last = v;
  }
  BoardSim b;
  b.SetFlowPolicy([](size_t queued, size_t) { return static_cast<uint8_t>(queued == 6 ? 95 : 1); });
  Send(b, Packet(kSegmentsAck, std::vector<Segment>(6, Seg(1, 1))));
  EXPECT_EQ(Read(b)[0], 95);
}

TEST(BoardSim, FlagsMalformedPackets) {
  struct Case {
    const char* name;
    Payload packet;
  } cases[] = {
      {"five segments in Segments", Packet(kSegments, std::vector<Segment>(5, Seg(1, 1)))},
      {"six in SegmentsEnd", Packet(kSegmentsEnd, std::vector<Segment>(6, Seg(1, 1)))},
      {"end mark in a full packet",
       [] {
         Payload p = Packet(kSegments, std::vector<Segment>(6, Seg(1, 1)));
         p[20] |= segments::kEndMark;
         return p;
       }()},
      {"SegmentsEnd without its mark",
       [] {
         Payload p = Packet(kSegmentsEnd, {Seg(1, 1)});
         p[0] &= static_cast<uint8_t>(~segments::kEndMark);
         return p;
       }()},
      {"bytes 60..61",
       [] {
         Payload p = Packet(kSegments, std::vector<Segment>(6, Seg(1, 1)));
         p[61] = 1;
         return p;
       }()},
      {"stale empty slot",
       [] {
         Payload p = Packet(kSegmentsEnd, {Seg(1, 1)});
         p[15] = 3;
         return p;
       }()},
  };
  for (const Case& c : cases) {
    BoardSim b;
    Send(b, c.packet);
    EXPECT_FALSE(b.Violations().empty()) << c.name;
  }
}

TEST(BoardSim, IdentifyAnswer) {
  BoardConfig cfg;
  cfg.SerialFirst = 0x0F;
  cfg.SerialRest = {0x10, 0x00, 0xAB, 0x01};
  cfg.Version = 203;
  BoardSim b(cfg);
  Payload id = Command(kIdentify);
  id[0] = 25;  // signal configuration
  id[57] = 0x7F;
  Send(b, id);
  Payload a = Read(b);
  EXPECT_EQ(test::Hex(a.data() + 10, 1), "0F");
  EXPECT_EQ(test::Hex(a.data() + 16, 5), "10 00 AB 01 CB");
  EXPECT_EQ(a[63], 0x62);
  EXPECT_EQ(b.LastIdentifyConfig()[0], 25);
  EXPECT_EQ(b.LastIdentifyConfig()[57], 0x7F);
  b.SetIdentifyAnswerCode(0);
  Send(b, id);
  EXPECT_EQ(Read(b)[63], 0);
}

TEST(BoardSim, GarbageSparesWhatThePluginReads) {
  BoardSim clean, noisy;
  noisy.SetGarbage(Garbage::Uninterpreted, 99);
  for (BoardSim* b : {&clean, &noisy}) {
    b->SetPosition(2, 77);
    b->SetPin(18, 1);
    Send(*b, Move(0, 10, 1, 1));  // busy
    Send(*b, Command(kStatus));
  }
  Payload c = Read(clean), n = Read(noisy);
  EXPECT_EQ(c[0], n[0]);
  EXPECT_EQ(c[41], n[41]);
  EXPECT_EQ(test::Hex(c.data() + 4, 20), test::Hex(n.data() + 4, 20));
  EXPECT_EQ(test::Hex(c.data() + 28, 4), test::Hex(n.data() + 28, 4));
  EXPECT_EQ(c[1] & 0x80, n[1] & 0x80);
  EXPECT_EQ(c[40] & 0x80, n[40] & 0x80);
  int differing = 0;
  for (int i = 0; i < 64; ++i) differing += c[i] != n[i];
  EXPECT_GT(differing, 30);
}

TEST(BoardSim, InjectedTransferFaults) {
  BoardSim b;
  b.FailWrite(2);
  EXPECT_TRUE(Send(b, Command(kStop)));
  EXPECT_FALSE(Send(b, Command(kStop)));
  EXPECT_TRUE(Send(b, Command(kStop)));
  EXPECT_EQ(b.Received(kStop), 2);

  b.FailRead(1);
  Send(b, Command(kStatus));
  bool ok = true;
  Read(b, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(b.AnswerPending()) << "the failed read lost the answer";
  EXPECT_TRUE(b.Violations().empty());
}

TEST(BoardSim, UnplugAndReplugPowerCycles) {
  BoardSim b;
  b.AddSwitch(AxisSwitch{0, 12, 5, true, 1});
  Send(b, Move(0, 100, 1000, 0));
  b.Advance(50000);
  b.Unplug();
  EXPECT_FALSE(b.Plugged());
  EXPECT_FALSE(Send(b, Command(kStatus)));
  b.Replug();
  EXPECT_EQ(b.PlugGeneration(), 1u);
  EXPECT_TRUE(b.Idle());
  EXPECT_EQ(b.Position(0), 0);
  EXPECT_EQ(b.PinLevel(12), 0) << "wiring stays, position is back at 0";
  EXPECT_TRUE(Send(b, Command(kStatus)));
}

TEST(BoardSim, WriteBeforeReadingTheAnswerIsAViolation) {
  BoardSim b;
  Send(b, Command(kStatus));
  Send(b, Command(kStop));
  ASSERT_EQ(b.Violations().size(), 1u);
  EXPECT_EQ(b.Violations()[0], "Stop written while the answer to Status is unread");
}

TEST(BoardSim, EStopInput) {
  BoardSim b;
  b.SetEStopInput(16, 0);  // normally closed: reads 1 until pressed
  EXPECT_EQ(b.PinLevel(16), 1);
  b.PressEStop(true);
  EXPECT_EQ(b.PinLevel(16), 0);
  b.PressEStop(false);
  EXPECT_EQ(b.PinLevel(16), 1);
}

TEST(BoardSim, TranscriptDecodesBothDirections) {
  BoardSim b;
  b.SetPosition(1, -3);
  Payload st = Command(kStatus);
  st[4] = 50;
  Send(b, st);
  Read(b);
  Send(b, Move(0, -500, 1000.5, 20000, 12, 1));
  Send(b, Packet(kSegmentsEnd, {Seg(7, 300, -300)}));
  Read(b);
  b.FailWrite(1);
  Send(b, Command(kStop));
  EXPECT_EQ(b.TranscriptText(),
            "     0.000 ms -> Status out=0x00000000 spindle=50 led=0 zsteps=0 estop=0\n"
            "     0.000 ms <- Status idle=1 done=0 pos=[0,-3,0,0,0] line=- pins=-\n"
            "     0.000 ms -> Move axis=0 dist=-500 vel=1000 acc=20000 stop=pin12@1\n"
            "     0.000 ms -> SegmentsEnd n=1 {L7 X+300 Y-300 END}\n"
            "     0.000 ms <- SegmentsEnd idle=0 done=0 pos=[0,-3,0,0,0] line=- pins=-\n"
            "     0.000 ms -> FAILED Stop\n");
  ASSERT_EQ(b.Written(kMove).size(), 1u);
  EXPECT_EQ(b.Written(kStop).size(), 0u);
}

}  // namespace
}  // namespace vx::sim
