// Spindle speed byte arithmetic of the output step.
#pragma once

#include <cstdint>

namespace vx {

// Host DROs and LED read by the output step.
constexpr int kDroSpindleFullScale = 57;
constexpr int kDroSpindleOverride = 74;
constexpr int kDroSpindleSpeed = 817;
constexpr int kLedSpindle = 11;

// Percentage of full scale, in the host's double arithmetic, truncated to
// its low byte (a non-finite or out-of-range value gives 0).
uint8_t SpindlePercent(double speed, double override, double fullScale);
// The board's correction curve for a percentage.
uint8_t SpindleCorrection(uint8_t percent);

}  // namespace vx
