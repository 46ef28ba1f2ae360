#include "plugin/host_view.h"

namespace vx {

void HostView::MapRegions() {
  static constexpr uint32_t kSizes[kRegions] = {host::engine::Size, host::settings::Size, host::planner::Size,
                                                host::view::Size};
  for (int r = 0; r < kRegions; ++r) {
    Mapped& m = regions_[r];
    m.Native = (memory_ != nullptr && m.Base != 0) ? memory_->Map(m.Base, kSizes[r], false) : nullptr;
  }
}

void HostView::CopyStepDeltas(int32_t i, double out[host::kAxes]) const {
  uint8_t record[host::planner::MovesSize];
  const uint32_t offset = host::planner::Moves + host::planner::MovesSize * (static_cast<uint32_t>(i) & host::kRingMask);
  if (const uint8_t* p = Bytes(Planner, offset, sizeof record, false)) {
    std::memcpy(record, p, sizeof record);
  } else {
    std::memset(record, 0, sizeof record);
  }
  std::memcpy(out, record + host::planner::MoveStepDelta, sizeof(double) * host::kAxes);
}

void HostView::ClearSoftWaitBit56() {
  const uint32_t upper = host::planner::SoftWait + 4;
  SetField<uint32_t>(Planner, upper, Field<uint32_t>(Planner, upper) & ~(1u << 24));
}

}  // namespace vx
