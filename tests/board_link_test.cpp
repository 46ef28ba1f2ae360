#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "link/board_link.h"
#include "link_support.h"
#include "motion/device.h"

namespace vx {
namespace {

using proto::Payload;
using test::Hex;
using test::LinkRig;

std::string PayloadHex(const Payload& p) { return Hex(p.data(), p.size()); }
std::string PayloadHex(const uint8_t* p) { return Hex(p, proto::kPayloadSize); }

class BoardLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.Connect());
    rig.LinkUp();
  }
  Payload LastWritten(uint8_t code) {
    auto all = rig.board.Written(code);
    EXPECT_FALSE(all.empty()) << proto::CommandName(code) << " never written";
    return all.empty() ? Payload{} : all.back();
  }
  LinkRig rig;
  PluginContext& ctx = *rig.ctx;
};

TEST_F(BoardLink, StatusSendsOutputBlockAndKeepsTheAnswer) {
  for (int i = 0; i < 9; ++i) ctx.OutputBlock[i] = uint8_t(0xA0 + i);
  rig.board.SetPosition(1, -1234);
  rig.board.SetPin(10, 1);
  ASSERT_TRUE(StatusExchange(ctx, StatusReport::UpdateCycle));
  Payload expected = ctx.OutputBlock;
  expected[63] = 3;
  EXPECT_EQ(PayloadHex(LastWritten(proto::kStatus)), PayloadHex(expected));
  EXPECT_EQ(proto::BoardPosition(ctx.BoardState.data(), 1), -1234);
  EXPECT_EQ(proto::PinLevel(proto::LevelWord(ctx.BoardState.data()), 10), 1);
  EXPECT_TRUE(proto::BoardIdleBit(ctx.BoardState.data()));
  EXPECT_EQ(PayloadHex(ctx.BoardState), PayloadHex(ctx.InPayload()));
  EXPECT_TRUE(rig.board.Violations().empty());
}

TEST_F(BoardLink, SilentStatusLeavesBoardStateAlone) {
  ctx.BoardState.fill(0x77);
  rig.board.SetPosition(0, 42);
  ASSERT_TRUE(StatusExchange(ctx, StatusReport::Silent));
  EXPECT_EQ(ctx.BoardState[4], 0x77);
  EXPECT_EQ(proto::BoardPosition(ctx.InPayload(), 0), 42);
}

TEST_F(BoardLink, SetPositionsRepeatsTheLastAnswer) {
  rig.board.SetPosition(3, 99);
  rig.board.SetPin(17, 1);
  ASSERT_TRUE(StatusExchange(ctx, StatusReport::UpdateCycle));
  Payload answer = ctx.BoardState;
  const int32_t positions[5] = {1, -2, 300000, INT32_MIN, INT32_MAX};
  LoadPositions(ctx, positions);
  Payload expected = answer;
  for (int a = 0; a < 5; ++a) proto::PutU32(expected.data() + 4 + 4 * a, uint32_t(positions[a]));
  expected[63] = 2;
  EXPECT_EQ(PayloadHex(LastWritten(proto::kSetPositions)), PayloadHex(expected));
  EXPECT_EQ(PayloadHex(ctx.BoardState), PayloadHex(expected));
  for (int a = 0; a < 5; ++a) EXPECT_EQ(rig.board.Position(a), positions[a]) << "axis " << a;
}

TEST_F(BoardLink, MoveAndAxisSetupPayloads) {
  SendMove(ctx, 2, -500, 12, 1, 1500.7, 30000.0);
  Payload move{};
  proto::EncodeMove(move.data(), 2, -500, 12, 1, 1500.7, 30000.0);
  EXPECT_EQ(PayloadHex(LastWritten(proto::kMove)), PayloadHex(move));
  EXPECT_EQ(move[4], 0);  // direction of a negative distance
  EXPECT_EQ(proto::GetU32(move.data() + 8), 500u);

  const double steps[5] = {70000.7, 200, 400, 1, 0.5};
  const double vel[5] = {1, 10, 20, 30, 40};
  const double acc[5] = {2, 100, 200, 300, 400};
  for (int a = 0; a < 5; ++a) rig.host.SetAxisTuning(a, steps[a], vel[a], acc[a]);
  SendAxisSetup(ctx);
  Payload setup = LastWritten(proto::kAxisSetup);
  EXPECT_EQ(Hex(setup.data(), 10), "70 11 C8 00 90 01 01 00 00 00");
  EXPECT_EQ(proto::GetU32(setup.data() + 10), 70000u);  // the full product
  EXPECT_EQ(proto::GetU32(setup.data() + 30 + 16), 200u);
  EXPECT_EQ(setup[63], 14);
  EXPECT_TRUE(rig.board.HasAxisSetup());
}

TEST_F(BoardLink, StopAndJogStopWriteOnlyTheCommandByte) {
  struct Case {
    const char* name;
    std::function<void()> send;
    uint8_t code;
  } cases[] = {
      {"Stop", [&] { SendStop(ctx); }, proto::kStop},
      {"JogStop", [&] { SendJogStop(ctx); }, proto::kJogStop},
  };
  for (const Case& c : cases) {
    SendMove(ctx, 1, 777, 0, 0, 100.0, 100.0);
    Payload previous;
    std::memcpy(previous.data(), ctx.OutPayload(), 64);
    c.send();
    Payload expected = previous;
    expected[63] = c.code;
    EXPECT_EQ(PayloadHex(LastWritten(c.code)), PayloadHex(expected)) << c.name;
  }
}

TEST_F(BoardLink, IdentifyWritesItsTailOverTheConfiguration) {
  for (int i = 0; i < 61; ++i) ctx.OutPayload()[i] = uint8_t(i * 3 + 1);
  rig.board.Config().SerialFirst = 0xAB;
  rig.board.Config().Version = 7;
  EXPECT_EQ(IdentifyExchange(ctx), 0);
  Payload sent = LastWritten(proto::kIdentify);
  for (int i = 0; i < 61; ++i) ASSERT_EQ(sent[i], uint8_t(i * 3 + 1)) << "byte " << i;
  EXPECT_EQ(Hex(sent.data() + 61, 3), "1F BA 62");
  EXPECT_EQ(ctx.InPayload()[10], 0xAB);
  EXPECT_EQ(ctx.InPayload()[20], 7);
  EXPECT_EQ(ctx.LinkError, 0);
}

TEST_F(BoardLink, IdentifyFailures) {
  struct Case {
    const char* name;
    std::function<void(sim::BoardSim&)> fault;
    bool linkDown;
    int reads;  // no read waits for the answer to a request that never went out
  } cases[] = {
      {"wrong answer code", [](sim::BoardSim& b) { b.SetIdentifyAnswerCode(0x61); }, false, 1},
      {"read fails", [](sim::BoardSim& b) { b.FailRead(1); }, true, 1},
      {"write fails", [](sim::BoardSim& b) { b.FailWrite(1); }, true, 0},
      {"unplugged", [](sim::BoardSim& b) { b.Unplug(); }, true, 0},
  };
  for (const Case& c : cases) {
    LinkRig r;
    ASSERT_TRUE(r.Connect());
    r.LinkUp();
    std::memset(r.ctx->InPayload(), 0x55, 64);
    c.fault(r.board);
    int readsBefore = r.hid.Reads();
    EXPECT_EQ(IdentifyExchange(*r.ctx), 1) << c.name;
    EXPECT_EQ(r.hid.Reads(), readsBefore + c.reads) << c.name;
    EXPECT_TRUE(r.board.Violations().empty()) << c.name << ": " << r.board.Violations().front();
    EXPECT_EQ(r.ctx->LinkError, c.linkDown ? 1 : 0) << c.name;
    EXPECT_EQ(r.ctx->LinkUp, c.linkDown ? 0 : 1) << c.name;
    if (c.linkDown) {
      Payload zero{};
      EXPECT_EQ(PayloadHex(r.ctx->InPayload()), PayloadHex(zero)) << c.name;
    }
  }
}

TEST_F(BoardLink, IdentifyIgnoresBytesItDoesNotInterpret) {
  rig.board.SetGarbage(sim::Garbage::Uninterpreted, 7);
  EXPECT_EQ(IdentifyExchange(ctx), 0);
  EXPECT_EQ(ctx.InPayload()[10], rig.board.Config().SerialFirst);
}

// Every sender takes the link down on every kind of failed transfer; only
// the reporting Status forms touch EStop.
TEST(BoardLinkFailures, EverySenderTakesTheLinkDown) {
  struct Sender {
    const char* name;
    std::function<void(PluginContext&)> send;
    bool reporting;
  } senders[] = {
      {"WriteReport", [](PluginContext& c) { WriteReport(c); }, false},
      {"LoadPositions", [](PluginContext& c) { const int32_t p[5] = {}; LoadPositions(c, p); }, false},
      {"SendMove", [](PluginContext& c) { SendMove(c, 0, 10, 0, 0, 1, 1); }, false},
      {"SendJogStop", [](PluginContext& c) { SendJogStop(c); }, false},
      {"SendStop", [](PluginContext& c) { SendStop(c); }, false},
      {"SendAxisSetup", [](PluginContext& c) { SendAxisSetup(c); }, false},
      {"Identify", [](PluginContext& c) { IdentifyExchange(c); }, false},
      {"Status silent", [](PluginContext& c) { StatusExchange(c, StatusReport::Silent); }, false},
      {"Status cycle", [](PluginContext& c) { StatusExchange(c, StatusReport::UpdateCycle); }, true},
      {"Status reset", [](PluginContext& c) { StatusExchange(c, StatusReport::Reset); }, true},
  };
  enum Fault { kNoHid, kInvalidHandle, kWriteFails, kUnplugged };
  for (const Sender& s : senders) {
    for (Fault f : {kNoHid, kInvalidHandle, kWriteFails, kUnplugged}) {
      LinkRig r;
      ASSERT_TRUE(r.Connect());
      r.LinkUp();
      if (f == kNoHid) r.ctx->os.Hid = nullptr;
      if (f == kInvalidHandle) r.ctx->BoardHandle = kInvalidHandle;
      if (f == kWriteFails) r.board.FailWrite(1);
      if (f == kUnplugged) r.board.Unplug();
      s.send(*r.ctx);
      EXPECT_EQ(r.ctx->LinkError, 1) << s.name << " fault " << f;
      EXPECT_EQ(r.ctx->LinkUp, 0) << s.name << " fault " << f;
      EXPECT_EQ(r.ctx->host.EStop(), s.reporting) << s.name << " fault " << f;
      EXPECT_EQ(r.lock.depth, 0) << s.name;
    }
  }
}

TEST(BoardLinkFailures, ReportingStatusStopsAtTheFirstFailure) {
  struct Case {
    bool failWrite;
    StatusReport report;
    int reads;  // reads made
  } cases[] = {
      {true, StatusReport::UpdateCycle, 0},
      {true, StatusReport::Reset, 0},
      {true, StatusReport::Silent, 0},  // a read would wait for good
      {false, StatusReport::UpdateCycle, 1},
      {false, StatusReport::Silent, 1},
  };
  for (const Case& c : cases) {
    LinkRig r;
    ASSERT_TRUE(r.Connect());
    r.LinkUp();
    r.ctx->BoardState.fill(0x3C);
    if (c.failWrite)
      r.board.FailWrite(1);
    else
      r.board.FailRead(1);
    EXPECT_FALSE(StatusExchange(*r.ctx, c.report));
    EXPECT_EQ(r.hid.Reads(), c.reads) << int(c.report) << " write " << c.failWrite;
    EXPECT_EQ(r.ctx->BoardState[0], 0x3C) << "nothing of a failed answer is used";
    EXPECT_EQ(r.ctx->LinkError, 1);
  }
}

// The reporting Status forms tell the user, but only while a board is
// plugged in; every form takes the link down.
TEST(BoardLinkFailures, StatusFailureMessages) {
  const char* none = nullptr;
  struct Case {
    StatusReport report;
    bool failWrite;
    const char* message;
  } cases[] = {
      {StatusReport::UpdateCycle, true, "Cnc communicate error!"},
      {StatusReport::UpdateCycle, false, "Cnc communicate error!!"},
      {StatusReport::Reset, true, "Cnc communicate error!!"},
      {StatusReport::Reset, false, "Cnc communicate error!!"},
      {StatusReport::Silent, true, none},
      {StatusReport::Silent, false, none},
  };
  for (const Case& c : cases) {
    for (uint8_t present : {0, 1}) {
      LinkRig r;
      ASSERT_TRUE(r.Connect());
      r.LinkUp();
      r.ctx->BoardPresent = present;
      r.host.ClearStatusHistory();
      if (c.failWrite)
        r.board.FailWrite(1);
      else
        r.board.FailRead(1);
      EXPECT_FALSE(StatusExchange(*r.ctx, c.report));
      std::string what = std::string(c.failWrite ? "write" : "read") + " form " +
                         std::to_string(int(c.report)) + " present " + std::to_string(present);
      if (c.message && present) {
        ASSERT_EQ(r.Posted().size(), 1u) << what;
        EXPECT_EQ(r.Posted()[0], c.message) << what;
      } else {
        EXPECT_TRUE(r.Posted().empty()) << what;
      }
      EXPECT_EQ(r.host.EStop(), c.message != nullptr) << what;
      EXPECT_EQ(r.ctx->LinkError, 1) << what;
      EXPECT_EQ(r.ctx->LinkUp, 0) << what;
    }
  }
}

// The window thread may swap BoardHandle at any time it holds the board
// lock, so every transfer runs under it and no answered command lets it go
// between its request and its answer.
TEST_F(BoardLink, TransfersHoldTheBoardLock) {
  const int32_t p[5] = {1, 2, 3, 4, 5};
  StatusExchange(ctx, StatusReport::UpdateCycle);
  LoadPositions(ctx, p);
  SendMove(ctx, 0, 10, 0, 0, 100, 100);
  SendJogStop(ctx);
  SendStop(ctx);
  SendAxisSetup(ctx);
  IdentifyExchange(ctx);
  StatusExchange(ctx, StatusReport::Silent);
  std::memset(ctx.OutPayload(), 0, 64);
  ctx.OutPayload()[0] = proto::segments::kEndMark;
  ctx.OutPayload()[63] = proto::kSegmentsEnd;
  {
    LockGuard lock(ctx.os.BoardLock);
    WriteReport(ctx);
    ReadAnswer(ctx);
  }
  ASSERT_EQ(rig.probe.transfers.size(), 13u);
  for (size_t i = 0; i < rig.probe.transfers.size(); ++i) {
    const auto& t = rig.probe.transfers[i];
    EXPECT_TRUE(t.Held) << "transfer " << i;
    if (!t.Write) {
      EXPECT_EQ(t.FreesBefore, 0) << "lock let go before the answer of transfer " << i;
    }
  }
  EXPECT_EQ(rig.lock.depth, 0);
  EXPECT_TRUE(rig.board.Violations().empty()) << rig.board.Violations().front();
}

TEST(BoardLinkNotify, StopNotificationSendsStopThenSilentStatus) {
  for (int32_t code : {kNotifyStop, kNotifyStopAlt}) {
    LinkRig r;
    ASSERT_TRUE(r.Connect());
    r.LinkUp();
    PluginContext& c = *r.ctx;
    c.Device = std::make_unique<MyDeviceClass>(c);  // Notify serves a started plug-in
    std::memset(c.OutPayload(), 0x99, 64);
    for (int i = 0; i < 9; ++i) c.OutputBlock[i] = 0x11;
    c.OutputBlock[8] = 0;  // the last refresh saw no E-stop
    c.BoardState.fill(0x22);
    r.board.SetPosition(0, 5);
    c.Notify(code);
    EXPECT_TRUE(c.host.EStop());
    EXPECT_EQ(c.LinkUp, 0);
    EXPECT_EQ(c.LinkError, 0);
    auto& t = r.board.Transcript();
    ASSERT_EQ(t.size(), 3u) << code;
    Payload stop{};
    stop[63] = proto::kStop;
    EXPECT_EQ(PayloadHex(proto::PayloadOf(t[0].Bytes)), PayloadHex(stop));
    Payload status{};
    status[4] = 0x11;  // SpindleByte and StepsWord as the refresh left them
    status[6] = 0x11;
    status[7] = 0x11;
    status[8] = 1;  // the E-stop just raised
    status[63] = proto::kStatus;
    EXPECT_EQ(PayloadHex(proto::PayloadOf(t[1].Bytes)), PayloadHex(status));
    EXPECT_EQ(t[2].Dir, sim::Direction::FromBoard);
    EXPECT_EQ(c.BoardState[4], 0x22) << "the silent answer is not kept";
    EXPECT_EQ(proto::BoardPosition(c.InPayload(), 0), 5);
  }
}

TEST(BoardLinkNotify, StopWithoutBoardSendsNothingAndKeepsLinkError) {
  LinkRig r;
  ASSERT_TRUE(r.Connect());
  r.LinkUp();
  r.ctx->Device = std::make_unique<MyDeviceClass>(*r.ctx);
  r.ctx->BoardHandle = kInvalidHandle;
  r.ctx->Notify(kNotifyStop);
  EXPECT_TRUE(r.ctx->host.EStop());
  EXPECT_EQ(r.ctx->LinkUp, 0);
  EXPECT_EQ(r.ctx->LinkError, 0);
  EXPECT_EQ(r.hid.Writes() + r.hid.Reads(), 0);
}

}  // namespace
}  // namespace vx
