// The reset sequence: the full reset that identifies, configures and takes
// the link up; the short resets after an E-stop or a limit trip; failures on
// the way; and the device's teardown.
#include <gtest/gtest.h>

#include "motion_support.h"

namespace vx {
namespace {

using test::CodeNames;
using test::MotionTest;
using test::Written;

class ResetTest : public MotionTest {};

std::vector<int32_t> Positions(const proto::Payload& p) {
  std::vector<int32_t> v;
  for (int a = 0; a < proto::kAxes; ++a) v.push_back(proto::GetI32(p.data() + proto::setpos::Positions + 4 * a));
  return v;
}

TEST(ResetStart, FirstResetSendsNoStop) {
  sim::Machine m;
  m.Start();
  EXPECT_EQ(CodeNames(m.board), "Identify SetPositions AxisSetup Status");
}

TEST_F(ResetTest, FullResetConfiguresTheBoardAndClearsTheMotionState) {
  sim::HostSim& h = host();
  HostView v = h.View();
  for (int a = 0; a < 5; ++a) h.SetPosition(a, 1000 * (a + 1) - 3000);
  dev().JogAxis = 2;
  v.SetAxisJogging(2, true);
  v.SetEngineJogging(true);
  v.SetPlannerJogging(true);
  v.SetHomingActive(true);
  v.SetDwellTime(250);
  h.SetSoftWait(0xFFFFFFFFFFFFFFFFull);
  dev().HomeAxis = 1;
  dev().WaitForGcodeIdle = 1;
  dev().WaitForJogIdle = 1;
  dev().Sequence = SeqDwell;
  dev().InMotion = 0;
  ctx().AckInterval = 3;
  ctx().BoardIdle = 0;

  ctx().Reset();

  // Identified before, so the board is stopped first; nothing was streamed,
  // so no Status before the identification.
  EXPECT_EQ(CodeNames(board()), "Stop Identify SetPositions AxisSetup Status");
  EXPECT_EQ(Statuses(), std::vector<std::string>{"Vendrix connected"});
  auto setpos = Written(board())[2];
  EXPECT_EQ(Positions(setpos.Bytes), (std::vector<int32_t>{-2000, -1000, 0, 1000, 2000}));
  EXPECT_EQ(m->BoardPositions(), (std::vector<int32_t>{-2000, -1000, 0, 1000, 2000}));
  EXPECT_TRUE(m->LinkUp());
  EXPECT_EQ(dev().Sequence, SeqSettle);
  EXPECT_EQ(dev().InMotion, 1);
  EXPECT_EQ(dev().JogAxis, -1);
  EXPECT_EQ(dev().HomeAxis, -1);
  EXPECT_EQ(dev().WaitForGcodeIdle, 0);
  EXPECT_EQ(dev().WaitForJogIdle, 0);
  EXPECT_FALSE(h.AxisJogging(2));
  EXPECT_FALSE(h.EngineJogging());
  EXPECT_FALSE(h.PlannerJogging());
  EXPECT_FALSE(h.HomingActive());
  EXPECT_EQ(h.DwellTime(), 0);
  EXPECT_EQ(h.SoftWait(), 0u);
  EXPECT_EQ(ctx().AckInterval, 12);
  EXPECT_EQ(ctx().BoardIdle, 1);
  EXPECT_FALSE(h.EStop());

  // The settle loads the host's positions once more when the board is idle.
  m->Update();
  EXPECT_EQ(dev().Sequence, SeqIdle);
  EXPECT_EQ(dev().InMotion, 0);
  EXPECT_TRUE(h.Sync());
  EXPECT_TRUE(h.ExternalStill());
}

TEST_F(ResetTest, SignalConfigurationGoesOutWithIdentify) {
  sim::HostSim& h = host();
  h.SetInput(0, true, 10, 1, true);    // pin 10, negated
  h.SetInput(3, true, 0);              // no pin: 0
  h.SetInput(5, false, 12);            // inactive: 0
  h.SetInput(25, true, 15, 2);         // the port does not matter here
  h.SetInput(52, true, 200, 1, true);  // pin doubled within 8 bits
  h.SetResetFlags(0, true, false, false);
  h.SetResetFlags(2, false, true, false);
  h.SetResetFlags(4, false, false, true);
  h.SetMotorResetFlag(6, true);
  h.SetOutput(1, true, true);
  h.SetOutput(7, true, false);
  h.SetOutput(8, false, true);  // negated but inactive: neither bit
  h.SetOutput(10, true, true);
  h.SetOutput(2, true, true);   // not one of the five outputs the board takes

  ctx().Reset();

  auto w = Written(board());
  ASSERT_GE(w.size(), 2u);
  ASSERT_EQ(w[1].Code, proto::kIdentify);
  proto::Payload expected = test::MakePayload(
      proto::kIdentify, {{0, 0x15}, {25, 0x1E}, {52, 0x91}, {54, 0x01}, {55, 0x04}, {56, 0x10},
                         {57, 0x40}, {58, 0x13}, {59, 0x11}, {61, 0x1F}, {62, 0xBA}});
  EXPECT_EQ(test::PayloadHex(w[1].Bytes), test::PayloadHex(expected));
}

// With segments sent since the last SegmentsEnd the host takes the board's
// word for positions and line.
TEST(ResetPending, AdoptsTheBoardsPositionsAndLine) {
  const struct {
    const char* what;
    bool boardRunning;  // the board is still running line 5 when asked
    bool stopLost;      // the Stop write fails
    int32_t line;
    bool adopted;
  } cases[] = {
      {"board has no line", false, false, 77, true},
      {"board runs line 5", true, false, 5, true},
      // A board that may not have stopped is not asked for its positions;
      // the host's become the board's again.
      {"Stop lost", false, true, 77, false},
  };
  for (const auto& c : cases) {
    sim::Machine m;
    m.Start();
    m.Update();
    PluginContext& ctx = *m.ctx;
    MyHardwareClass& hw = *ctx.Device->Hardware;
    const double d[5] = {3, -2, 1, 0, 0};
    int records = c.boardRunning ? 6 : 3;
    for (int i = 0; i < records; ++i) ASSERT_EQ(hw.EncodeSegment(d, 5), 0);
    ctx.LastSentLine = 77;
    if (c.boardRunning) {
      m.board.Advance(1500);
      ASSERT_EQ(m.board.Line(), 5u);
      // A board not yet identified is not stopped first, so it still
      // reports the line it runs.
      hw.NotIdentified = 1;
    } else {
      m.board.SetPosition(0, 4321);
      m.board.SetPosition(4, -17);
    }
    if (c.stopLost) m.board.FailWrite(1);
    m.host.SetPosition(1, 999);  // stale: the board knows better
    const std::vector<int32_t> expected = c.adopted ? m.BoardPositions() : m.HostPositions();
    m.board.ClearTranscript();

    ctx.Reset();

    EXPECT_EQ(CodeNames(m.board),
              std::string(c.boardRunning || c.stopLost ? "" : "Stop ") +
                  "Status Identify SetPositions AxisSetup Status")
        << c.what;
    EXPECT_EQ(m.HostPositions(), expected) << c.what;
    EXPECT_EQ(m.BoardPositions(), expected) << c.what;
    EXPECT_EQ(m.host.CurrentLine(), c.line) << c.what;
    EXPECT_EQ(m.host.LastLine(), c.line) << c.what;
    EXPECT_EQ(ctx.EndPending, 0) << c.what;
    EXPECT_TRUE(m.LinkUp()) << c.what;
  }
}

TEST_F(ResetTest, ShortResetsStopAndClearStreamingButKeepTheLink) {
  for (ResetKind kind : {ResetEStop, ResetLimit}) {
    for (uint8_t pending : {0, 1}) {
      Make();
      if (pending) {
        for (int i = 0; i < 3; ++i) ASSERT_EQ(Encode(1, i), 0);
      } else {
        ctx().SlotCount = 3;
      }
      const proto::Payload buffer = ctx().SegmentBuffer;
      ctx().PacketCount = 4;
      ctx().AckInterval = 7;
      ctx().AckPending = 1;
      ctx().SpeedTooHigh = 1;
      ctx().BufferEndingSeen = 1;
      ctx().BoardIdle = 0;
      dev().Sequence = SeqDwell;
      dev().InMotion = 1;
      const std::string what = std::string(kind == ResetEStop ? "ResetEStop" : "ResetLimit") +
                               " EndPending " + std::to_string(pending);

      dev().Reset(kind);

      // With or without pending segments, the short reset asks the board
      // where it stopped.
      EXPECT_EQ(CodeNames(board()), "Stop Status") << what;
      EXPECT_TRUE(m->LinkUp()) << what;
      EXPECT_EQ(dev().Sequence, SeqDwell) << what;
      EXPECT_EQ(dev().InMotion, 1) << what;
      EXPECT_EQ(ctx().BoardIdle, 1) << what;
      EXPECT_EQ(ctx().AckInterval, 12) << what;
      EXPECT_EQ(ctx().SlotCount, 0) << what;
      EXPECT_EQ(ctx().PacketCount, 0) << what;
      EXPECT_EQ(ctx().AckPending, 0) << what;
      EXPECT_EQ(ctx().SpeedTooHigh, 0) << what;
      EXPECT_EQ(ctx().EndPending, 0) << what;
      EXPECT_EQ(ctx().BufferEndingSeen, 0) << what;
      EXPECT_EQ(test::PayloadHex(ctx().SegmentBuffer), test::PayloadHex(buffer)) << what;
      EXPECT_TRUE(Statuses().empty()) << what;
      EXPECT_FALSE(host().EStop()) << what;
    }
  }
}

TEST(ResetIdentify, SerialAndVersionTexts) {
  const struct {
    uint8_t first;
    std::array<uint8_t, 4> rest;
    uint8_t version;
    const char* serial;
    const char* versionText;
  } cases[] = {
      {0x0A, {{0x00, 0x1F, 0xFF, 0x03}}, 21, "a01fff3", "21"},
      {0xFF, {{0xFF, 0xFF, 0xFF, 0xFF}}, 255, "ffffffffff", "255"},
      {0x00, {{0x00, 0x00, 0x00, 0x00}}, 0, "00000", "0"},
      {0x10, {{0x01, 0xAB, 0x0C, 0x00}}, 7, "101abc0", "7"},
  };
  for (const auto& c : cases) {
    sim::MachineOptions o;
    o.Board.SerialFirst = c.first;
    o.Board.SerialRest = c.rest;
    o.Board.Version = c.version;
    sim::Machine m(o);
    m.Start();
    EXPECT_STREQ(m.ctx->BoardSerial, c.serial);
    EXPECT_STREQ(m.ctx->BoardVersion, c.versionText);
    EXPECT_EQ(m.ctx->Device->Hardware->NotIdentified, 0);
  }
}

TEST_F(ResetTest, FailuresOnTheWay) {
  enum Fault { WriteFails, ReadFails };
  const struct {
    const char* what;
    Fault fault;
    int n;  // which transfer of the reset (1 = the first)
    bool linkUp;
    bool estop;
    std::vector<std::string> statuses;
  } cases[] = {
      // A lost Stop does not matter once the board answers Identify.
      {"Stop write", WriteFails, 1, true, false, {"Vendrix connected"}},
      // The board is not configured: it must not be driven, and the host
      // must not be left believing "Vendrix connected".
      {"SetPositions write", WriteFails, 3, false, true, {"Vendrix connected", "Vendrix communicate error!!"}},
      {"AxisSetup write", WriteFails, 4, false, true, {"Vendrix connected", "Vendrix communicate error!!"}},
      {"Status write", WriteFails, 5, false, true, {"Vendrix connected", "Cnc communicate error!!"}},
      {"Status read", ReadFails, 2, false, true, {"Vendrix connected", "Cnc communicate error!!"}},
      {"Identify write", WriteFails, 2, false, true, {"Vendrix communicate error!!"}},
      {"Identify read", ReadFails, 1, false, true, {"Vendrix communicate error!!"}},
  };
  for (const auto& c : cases) {
    Make();
    if (c.fault == WriteFails) board().FailWrite(c.n);
    else board().FailRead(c.n);
    ctx().Reset();
    EXPECT_EQ(ctx().LinkUp, c.linkUp ? 1 : 0) << c.what;
    EXPECT_EQ(ctx().LinkError, c.linkUp ? 0 : 1) << c.what;
    EXPECT_EQ(host().EStop(), c.estop) << c.what;
    EXPECT_EQ(Statuses(), c.statuses) << c.what;
    // The identification texts survive a reset that got no answer.
    EXPECT_STREQ(ctx().BoardSerial, "1a2b34c5") << c.what;
    EXPECT_TRUE(board().Violations().empty()) << c.what << ": " << board().Violations().front();
  }
}

TEST_F(ResetTest, WrongAnswerCodeOverAGoodLinkPostsNothing) {
  board().SetIdentifyAnswerCode(0x61);
  ctx().Reset();
  EXPECT_TRUE(host().EStop());
  EXPECT_TRUE(Statuses().empty());
  EXPECT_EQ(hw().NotIdentified, 1);
  EXPECT_EQ(CodeNames(board()), "Stop Identify");
  // Not identified any more: the next reset sends no Stop.
  board().ClearTranscript();
  board().SetIdentifyAnswerCode(proto::kIdentify);
  ctx().Reset();
  EXPECT_EQ(CodeNames(board()), "Identify SetPositions AxisSetup Status");
}

TEST(ResetNoBoard, EStopAndMessageOrEndAtThePendingStatus) {
  sim::MachineOptions o;
  o.BoardPlugged = false;
  sim::Machine m(o);
  m.Start();
  EXPECT_EQ(m.host.StatusHistory(),
            (std::vector<std::string>{"No VendrixBoard, Please plug it in!", "Starting Vendrix plugin",
                                      "No VendrixBoard, Please plug it in!"}));
  EXPECT_TRUE(m.host.EStop());
  EXPECT_EQ(m.ctx->LinkUp, 0);
  EXPECT_EQ(m.ctx->LinkError, 1);

  // Segments pending: the reset's Status exchange fails first and ends it,
  // silently with no board to talk to.
  m.host.ClearStatusHistory();
  m.host.SetEStop(false);
  m.ctx->EndPending = 1;
  m.ctx->SlotCount = 3;
  m.ctx->Reset();
  EXPECT_TRUE(m.host.EStop());
  EXPECT_TRUE(m.host.StatusHistory().empty());
  EXPECT_EQ(m.ctx->EndPending, 1);
  EXPECT_EQ(m.ctx->SlotCount, 3);
  EXPECT_EQ(m.ctx->LinkUp, 0);
}

TEST_F(ResetTest, TeardownStopsResetsAndStopsAgain) {
  ctx().Device.reset();
  EXPECT_EQ(CodeNames(board()), "Stop Identify SetPositions AxisSetup Status Stop");
  EXPECT_TRUE(host().EStop());
  // The E-stop is raised before the reset, so the board hears it.
  auto w = Written(board());
  EXPECT_EQ(w[4].Bytes[proto::status::EStopByte], 1);
}

}  // namespace
}  // namespace vx
