// The host's trajectory planner, as small as it can be: a straight move at
// constant speed becomes per-record step increments, one record per record
// period, never more than the board takes in one record.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/vendrix_sim/gcode.h"

namespace vx::tool {

struct TrajRecord {
  double Delta[kAxes] = {};
  int32_t Line = 0;
};

// Steps one axis may move in one record.
constexpr int64_t kMaxStepsPerRecord = 400;

// Appends the records of a move of `steps` per axis that should take
// `seconds`, at `periodUs` per record. The increments are whole steps whose
// sum is exactly `steps` on every axis (the fractional share of each record
// is carried into the next); the record count is raised where the speed
// would need more than kMaxStepsPerRecord steps in one record. Returns the
// number of records appended (0 for a move of no steps).
size_t PlanMove(const int64_t steps[kAxes], double seconds, double periodUs, int32_t line,
                std::vector<TrajRecord>* out);

}  // namespace vx::tool
