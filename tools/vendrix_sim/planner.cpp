#include "tools/vendrix_sim/planner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vx::tool {
namespace {

// Floor division of a possibly negative numerator.
int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

size_t PlanMove(const int64_t steps[kAxes], double seconds, double periodUs, int32_t line,
                std::vector<TrajRecord>* out) {
  int64_t longest = 0;
  for (int a = 0; a < kAxes; ++a) longest = std::max<int64_t>(longest, std::llabs(steps[a]));
  if (longest == 0) return 0;
  int64_t n = 1;
  if (seconds > 0 && periodUs > 0) {
    double records = std::ceil(seconds * 1e6 / periodUs - 1e-9);
    if (records > 1) n = static_cast<int64_t>(std::min(records, 1e9));
  }
  // Equal shares of at most the limit: the rounded-up share never passes it.
  n = std::max(n, (longest + kMaxStepsPerRecord - 1) / kMaxStepsPerRecord);
  out->reserve(out->size() + static_cast<size_t>(n));
  int64_t done[kAxes] = {};
  for (int64_t k = 1; k <= n; ++k) {
    TrajRecord r;
    r.Line = line;
    for (int a = 0; a < kAxes; ++a) {
      // Where the axis should be after k records, in whole steps.
      int64_t at = FloorDiv(steps[a] * k, n);
      r.Delta[a] = static_cast<double>(at - done[a]);
      done[a] = at;
    }
    out->push_back(r);
  }
  return static_cast<size_t>(n);
}

}  // namespace vx::tool
