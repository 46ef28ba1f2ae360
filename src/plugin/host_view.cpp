#include "plugin/host_view.h"

namespace vx {

void HostView::CopyStepDeltas(int32_t i, double out[host::kAxes]) const {
  uint8_t record[host::planner::MovesSize] = {};
  HostAddr addr = planner_ + host::planner::Moves +
                  host::planner::MovesSize * (static_cast<uint32_t>(i) & host::kRingMask);
  if (memory_ != nullptr && planner_ != 0) {
    if (const uint8_t* p = memory_->Map(addr, sizeof record, false)) std::memcpy(record, p, sizeof record);
  }
  std::memcpy(out, record + host::planner::MoveStepDelta, sizeof(double) * host::kAxes);
}

void HostView::ClearSoftWaitBit56() {
  HostAddr upper = planner_ + host::planner::SoftWait + 4;
  Put<uint32_t>(upper, Get<uint32_t>(upper) & ~(1u << 24));
}

}  // namespace vx
