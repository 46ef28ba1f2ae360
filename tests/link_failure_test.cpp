// What a failed transfer leaves behind in the running machine, case by case:
// the faults the fault sweep found, each pinned down on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/board_protocol.h"
#include "motion/device.h"
#include "sim/machine.h"

namespace vx {
namespace {

using sim::Direction;
using sim::Machine;

// Commands written from transcript entry `from` on, failed ones included.
std::vector<std::string> WrittenSince(const sim::BoardSim& board, size_t from) {
  std::vector<std::string> out;
  const auto& t = board.Transcript();
  for (size_t i = from; i < t.size(); ++i) {
    if (t[i].Dir != Direction::ToBoard) continue;
    out.push_back(std::string(proto::CommandName(t[i].Command)) + (t[i].Failed ? " (failed)" : ""));
  }
  return out;
}

// A full reset whose SetPositions or AxisSetup is lost has already posted
// "Vendrix connected"; it must not leave that standing over a board that
// is not configured.
TEST(LinkFailure, ResetWhoseSetupIsLostEndsInEStop) {
  struct Case {
    const char* Lost;
    int Write;  // Identify is the first write of the start-up reset
  } cases[] = {{"SetPositions", 2}, {"AxisSetup", 3}};
  for (const Case& c : cases) {
    Machine m;
    m.board.FailWrite(c.Write);
    m.Start();
    EXPECT_EQ(m.ctx->LinkError, 1) << c.Lost;
    EXPECT_EQ(m.ctx->LinkUp, 0) << c.Lost;
    EXPECT_TRUE(m.host.EStop()) << c.Lost;
    EXPECT_EQ(m.host.StatusText(), "Vendrix communicate error!!") << c.Lost;

    // The host's reset configures the board and brings the link up.
    m.host.SetEStop(false);
    m.ctx->Reset();
    EXPECT_TRUE(m.LinkUp()) << c.Lost;
    EXPECT_EQ(m.host.StatusText(), "Vendrix connected") << c.Lost;
    EXPECT_TRUE(m.board.HasAxisSetup()) << c.Lost;
  }
}

// The answer to a SegmentsAck is lost after the packet itself went out: the
// board has the record that completed it, so the record leaves the ring and
// is not sent a second time after the reset.
TEST(LinkFailure, LostSegmentsAckAnswerDoesNotSendTheRecordTwice) {
  Machine m;
  m.Start();
  m.Update();
  // After a reset the twelfth full packet is the SegmentsAck: 72 records.
  std::vector<Machine::Record> program(80);
  for (size_t i = 0; i < program.size(); ++i) {
    program[i].Delta[0] = 3.0;
    program[i].Line = static_cast<int32_t>(100 + i);
  }
  ASSERT_EQ(m.Feed(program, 0, program.size()), program.size());
  m.board.FailRead(1);
  m.Updates(2);  // 41 records, then the SegmentsAck packet
  ASSERT_EQ(m.ctx->LinkError, 1);
  EXPECT_EQ(m.host.TrajIndex(), 72) << "the record of the acknowledged packet left the ring";
  EXPECT_TRUE(m.host.EStop());
  EXPECT_EQ(m.host.StatusText(), "Cnc communicate error!!");

  m.host.SetEStop(false);
  m.ctx->Reset();
  ASSERT_TRUE(m.LinkUp());
  m.host.SetBufferEnding(true);
  ASSERT_TRUE(m.RunToEnd());
  int sent = 0;
  for (const auto& p : m.board.Written(proto::kSegments)) {
    for (int s = 0; s < 6; ++s) sent += proto::DecodeSegment(p.data() + 10 * s).Line == 171;
  }
  for (const auto& p : m.board.Written(proto::kSegmentsAck)) {
    for (int s = 0; s < 6; ++s) sent += proto::DecodeSegment(p.data() + 10 * s).Line == 171;
  }
  EXPECT_EQ(sent, 1) << "line 171 completed the SegmentsAck packet";
  // The reset stopped the board, dropping what it had queued, and kept the
  // host's positions: only the eight records after the packet ran.
  EXPECT_EQ(m.board.Position(0), 3 * 8);
  EXPECT_EQ(m.host.Position(0), 3 * 8);
}

// A status exchange that fails ends the Update cycle: nothing else of that
// cycle talks to the board or posts over the error message. Without this
// the settle step loaded positions, and a homing step commanded its
// back-off move, right after the E-stop the failure raised.
TEST(LinkFailure, FailedStatusEndsTheUpdateCycle) {
  struct Case {
    const char* Name;
    bool Homing;  // else: the settle after the start-up reset
    bool FailWrite;
    const char* Message;
  } cases[] = {
      {"settle, write", false, true, "Cnc communicate error!"},
      {"settle, read", false, false, "Cnc communicate error!!"},
      {"homing back-off due, read", true, false, "Cnc communicate error!!"},
  };
  for (const Case& c : cases) {
    Machine m;
    m.host.SetInput(2, true, 12);
    m.host.SetHoming(0, 100, true);
    m.board.AddSwitch({0, 12, 30, true, 1});
    m.Start();
    if (c.Homing) {
      m.Update();
      ASSERT_EQ(m.ctx->Device->Sequence, SeqIdle) << c.Name;
      m.ctx->Home(0);
      // Until the seek has stopped on the switch and its settle count has
      // run out: the next sequence step sends the back-off.
      ASSERT_TRUE(m.UpdateUntil([&] {
        const MyDeviceClass& d = *m.ctx->Device;
        return d.Sequence == SeqHomeSeek && d.HomeSettle == 0 && m.ctx->BoardIdle == 1;
      }, 1000))
          << c.Name;
    } else {
      ASSERT_EQ(m.ctx->Device->Sequence, SeqSettle) << c.Name;
    }
    const size_t from = m.board.Transcript().size();
    const int32_t sequence = m.ctx->Device->Sequence;
    if (c.FailWrite) {
      m.board.FailWrite(1);
    } else {
      m.board.FailRead(1);
    }
    m.Update();
    EXPECT_EQ(WrittenSince(m.board, from),
              std::vector<std::string>{c.FailWrite ? "Status (failed)" : "Status"})
        << c.Name;
    EXPECT_TRUE(m.host.EStop()) << c.Name;
    EXPECT_EQ(m.host.StatusText(), c.Message) << c.Name;
    EXPECT_EQ(m.ctx->Device->Sequence, sequence) << c.Name;
  }
}

}  // namespace
}  // namespace vx
