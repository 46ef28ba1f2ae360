// The output step: the Status image of outputs, spindle byte, LED, Z steps
// and E-stop, and its arrival at the board with the next exchange.
#include <gtest/gtest.h>

#include "motion_support.h"
#include "motion/outputs.h"

namespace vx {
namespace {

using test::MotionTest;

class OutputsTest : public MotionTest {
 protected:
  const uint8_t* Block() { return ctx().OutputBlock.data(); }
};

TEST_F(OutputsTest, OutputBitsAreTheElectricalLevels) {
  const struct {
    int output;
    bool active, negated, activated;
    bool bit;
  } rows[] = {
      {3, true, false, true, true},   {4, true, true, true, false},  {5, true, true, false, true},
      {6, false, true, false, false}, {7, false, false, true, false}, {16, true, false, true, true},
      {18, true, false, false, false}, {20, true, false, true, true}, {29, true, false, true, true},
      {0, true, true, false, true},
  };
  uint32_t expected = 0;
  for (const auto& r : rows) {
    host().SetOutput(r.output, r.active, r.negated, r.activated);
    if (r.bit) expected |= 1u << r.output;
  }
  dev().RefreshOutputs();
  EXPECT_EQ(proto::GetU32(Block() + proto::status::OutputBits), expected);

  // Every output at its active level still leaves bits 30 and 31 clear.
  for (int o = 0; o < 30; ++o) host().SetOutput(o, true, false, true);
  dev().RefreshOutputs();
  EXPECT_EQ(proto::GetU32(Block() + proto::status::OutputBits), 0x3FFFFFFFu);
}

TEST_F(OutputsTest, SpindleLedEStopAndZSteps) {
  const struct {
    const char* what;
    double speed, percent, full;
    bool led, estop;
    double zSteps;
    uint8_t spindle, ledByte;
    uint16_t stepsWord;
  } cases[] = {
      {"full speed", 10000, 100, 10000, true, false, 2000.75, 100, 1, 2000},
      {"half speed", 5000, 100, 10000, false, false, 70000, 52, 0, 4464},
      {"E-stop forces the LED off", 24000, 100, 24000, true, true, 1000, 100, 0, 1000},
      {"no full scale", 10000, 100, 0, true, false, -1.5, 0, 1, 0xFFFF},
      {"300 percent wraps", 30000, 100, 10000, false, false, 1e12, 46, 0, 0},
  };
  for (const auto& c : cases) {
    host().Dro[817] = c.speed;
    host().Dro[74] = c.percent;
    host().Dro[57] = c.full;
    host().Led[11] = c.led;
    host().SetEStop(c.estop);
    host().SetAxisTuning(2, c.zSteps, 1, 1);
    dev().RefreshOutputs();
    EXPECT_EQ(Block()[proto::status::SpindleByte], c.spindle) << c.what;
    EXPECT_EQ(Block()[proto::status::SpindleLedByte], c.ledByte) << c.what;
    EXPECT_EQ(Block()[proto::status::EStopByte], c.estop ? 1 : 0) << c.what;
    EXPECT_EQ(proto::GetU16(Block() + proto::status::StepsWord), c.stepsWord) << c.what;
    for (int i = 9; i < 64; ++i) ASSERT_EQ(Block()[i], 0) << c.what << ": byte " << i;
  }
}

// Values computed in one cycle reach the board with the next Status.
TEST_F(OutputsTest, TheNextStatusCarriesTheBlock) {
  host().SetOutput(2, true, false, true);
  host().Dro[817] = 5000;
  host().Dro[74] = 100;
  host().Dro[57] = 10000;
  host().Led[11] = true;
  host().SetAxisTuning(2, 2000.75, 1, 1);
  m->Update();
  EXPECT_EQ(board().LastOutputs().OutputBits, 0u);
  m->Update();
  const auto& out = board().LastOutputs();
  EXPECT_EQ(out.OutputBits, 1u << 2);
  EXPECT_EQ(out.Spindle, 52);
  EXPECT_EQ(out.Led, 1);
  EXPECT_EQ(out.StepsWord, 2000);
  EXPECT_EQ(out.EStop, 0);
  auto w = test::Written(board());
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(test::PayloadHex(w.back().Bytes),
            test::PayloadHex(test::MakePayload(proto::kStatus, {{0, 0x04}, {4, 52}, {5, 1}, {6, 0xD0}, {7, 0x07}})));
  EXPECT_TRUE(board().Violations().empty()) << board().Violations().front();
}

}  // namespace
}  // namespace vx
