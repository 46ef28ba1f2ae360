// The spindle speed byte: percentage arithmetic and the correction curve.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "motion/outputs.h"

namespace vx {
namespace {

TEST(SpindleCorrection, SelectedValuesOfTheCurve) {
  const struct { int p, expected; } cases[] = {
      {0, 0},   {5, 5},   {10, 11}, {14, 15}, {15, 16}, {30, 32},  {59, 61},  {60, 62},
      {72, 74}, {73, 74}, {87, 88}, {88, 88}, {94, 94}, {95, 95}, {100, 100}, {255, 255},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpindleCorrection(static_cast<uint8_t>(c.p)), c.expected) << "p = " << c.p;
  }
}

TEST(SpindlePercent, DroArithmetic) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct { double s, v, m; int expected; const char* what; } cases[] = {
      {10000, 100, 10000, 100, "full speed"},
      {5000, 100, 10000, 50, "half speed"},
      {24000, 100, 24000, 100, "other full scale"},
      {10000, 50, 10000, 50, "override halves"},
      {100, 100, 0, 0, "zero full scale is infinite"},
      {0, 100, 0, 0, "zero over zero is NaN"},
      {nan, 100, 10000, 0, "NaN speed"},
      {inf, 100, 10000, 0, "infinite speed"},
      {25600, 100, 10000, 0, "256 wraps to 0"},
      {30000, 100, 10000, 44, "300 wraps to 44"},
      {-100, 100, 10000, 255, "-1 gives the low byte 255"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SpindlePercent(c.s, c.v, c.m), c.expected) << c.what;
  }
  EXPECT_EQ(SpindleCorrection(SpindlePercent(5000, 100, 10000)), 52);
  EXPECT_EQ(SpindleCorrection(SpindlePercent(30000, 100, 10000)), 46);
}

}  // namespace
}  // namespace vx
