// Placeholder bodies until the motion core lands.
#include "diag/console.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {
MyDeviceClass::~MyDeviceClass() {
  delete Hardware;
  delete Console;
}
void MyDeviceClass::Reset(ResetKind) {}
void MyDeviceClass::AdoptPositions(const int32_t p[proto::kAxes]) {
  for (int a = 0; a < proto::kAxes; ++a) ctx_.host.SetPosition(a, p[a]);
}
void MyDeviceClass::StatusStep() {}
void MyDeviceClass::StreamTrajectory() {}
void MyDeviceClass::RefreshOutputs() {}
void MyDeviceClass::SequenceStep() {}
void MyDeviceClass::JogOn(int, int, double) {}
void MyDeviceClass::JogOff() {}
void MyDeviceClass::Home(int) {}
void MyDeviceClass::Probe() {}
void MyDeviceClass::DoDwell(double) {}
void MyDeviceClass::Purge(int) {}
void MyDeviceClass::SeqSettleStep(bool) {}
void MyDeviceClass::SeqDwellStep() {}
void MyDeviceClass::SeqHomeSeekStep(bool) {}
void MyDeviceClass::SeqHomeBackOffStep(bool) {}
void MyDeviceClass::SeqHomeEndStep() {}
int MyHardwareClass::Identify() { return 1; }
void MyHardwareClass::LoadPositions(const int32_t*) {}
int MyHardwareClass::EncodeSegment(const double*, int32_t) { return 1; }
void MyHardwareClass::BuildSegmentsEnd() {}
}  // namespace vx
