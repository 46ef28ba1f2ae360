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

