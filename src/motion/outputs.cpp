// The output step: recompute the Status image (outputs, spindle byte, LED,
// Z steps, E-stop) that the next status exchange carries to the board.
#include "motion/outputs.h"

#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

uint8_t SpindleCorrection(uint8_t p) {
  double v;
  if (p <= 14) {
    v = p * 1.1;
  } else if (p <= 59) {
    v = (1.1 - static_cast<double>(p - 15) * 0.0013) * p;
  } else if (p <= 94) {
    v = (1.0415 - static_cast<double>(p - 60) * 0.0011) * p;
  } else {
    return p;
  }
  return static_cast<uint8_t>(proto::TruncInt32(v));
}

uint8_t SpindlePercent(double speed, double override, double fullScale) {
  double q = speed * override;
  q = q / 100;
  q = q * 100;
  q = q / fullScale;
  return static_cast<uint8_t>(proto::TruncInt32(q));
}

void MyDeviceClass::RefreshOutputs() {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  uint8_t* block = c.OutputBlock.data();

  uint32_t bits = 0;
  for (int o = 0; o < host::kOutSignals; ++o) {
    if (h.OutActive(o) && h.OutActivated(o) != h.OutNegated(o)) bits |= 1u << o;
  }
  proto::PutU32(block + proto::status::OutputBits, bits);

  const double s = h.GetDRO(kDroSpindleSpeed);
  const double v = h.GetDRO(kDroSpindleOverride);
  const double m = h.GetDRO(kDroSpindleFullScale);
  block[proto::status::SpindleByte] = SpindleCorrection(SpindlePercent(s, v, m));

  const bool estop = h.EStop();
  block[proto::status::EStopByte] = estop ? 1 : 0;
  block[proto::status::SpindleLedByte] = (h.GetLED(kLedSpindle) && !estop) ? 1 : 0;
  proto::PutU16(block + proto::status::StepsWord,
                static_cast<uint16_t>(proto::TruncInt32(h.Steps(2))));
}

}  // namespace vx
