// Probing (a Move that stops on the probe input), timed dwells and
// position purges.
#include <cmath>

#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {
constexpr int kProbeSignal = 22;
constexpr int kDroCurrentX = 800;  // 801 Y, 802 Z
constexpr int kDroProbeFeed = 818;  // units per minute
constexpr double kProbeAcceleration = 1.0;
constexpr uint32_t kLongestDwellMs = 0x7FFFFFFF;
constexpr const char* kProbeOff = "Probe called but not turned on.";
constexpr const char* kNoProbingInEStop = "No Probing in Estop!!";

// Milliseconds to wait: a negative or non-numeric time waits not at all, and
// the longest wait stays below half the tick counter's range so the
// wrap-safe elapsed time can always pass it.
uint32_t DwellMilliseconds(double ms) {
  if (!(ms > 0)) return 0;
  if (ms >= static_cast<double>(kLongestDwellMs)) return kLongestDwellMs;
  return static_cast<uint32_t>(ms);
}
}  // namespace

void MyDeviceClass::Probe() {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (!h.InActive(kProbeSignal)) {
    h.PostStatus(kProbeOff);
    h.SetProbeActive(0);
    h.SetProbePending(0);
    return;
  }
  // Nothing moves while the machine is in E-stop; the host hears that the
  // probe request is dropped, as for an unconfigured probe.
  if (h.EStop()) {
    h.PostStatus(kNoProbingInEStop);
    h.SetProbeActive(0);
    h.SetProbePending(0);
    return;
  }
  const double dx = std::fabs(h.ProbeTarget(0) - h.GetDRO(kDroCurrentX));
  const double dy = std::fabs(h.ProbeTarget(1) - h.GetDRO(kDroCurrentX + 1));
  const double dz = std::fabs(h.ProbeTarget(2) - h.GetDRO(kDroCurrentX + 2));
  int axis;
  if (std::fmax(dx, dy) > dz) {
    axis = dx > dy ? 0 : 1;
  } else {
    axis = 2;
  }
  const double current = h.GetDRO(kDroCurrentX + axis);
  const double feed = h.GetDRO(kDroProbeFeed);
  const double steps = h.Steps(axis);
  // Saturated, so that a far target never wraps into the wrong direction.
  const int32_t distance = SaturateInt32((h.ProbeTarget(axis) - current) * steps);
  const double velocity = feed * steps / 60.0;
  const int32_t pin = h.InPin(kProbeSignal);
  const int32_t level = h.InNegated(kProbeSignal) ? 0 : 1;
  if (distance != 0) SendMove(c, axis, distance, pin, level, velocity, kProbeAcceleration);
  WaitForJogIdle = 1;
}

void MyDeviceClass::DoDwell(double time) {
  HostView& h = ctx_.host;
  if (!h.DwellMilliseconds()) time *= 1000.0;
  const uint32_t start = ctx_.os.Clock ? ctx_.os.Clock->TickCount() : 0;
  DwellStart = start;
  DwellLength = DwellMilliseconds(time);
  // A dwell replaces any homing state; without its end state the homing
  // flag would keep the limit switches unwatched until a full reset.
  if (Sequence == SeqHomeSeek || Sequence == SeqHomeBackOff || Sequence == SeqHomeEnd) {
    h.SetHomingActive(false);
    HomeAxis = -1;
  }
  h.SetDwellTime(1);
  Sequence = SeqDwell;
}

void MyDeviceClass::SeqDwellStep() {
  const uint32_t now = ctx_.os.Clock ? ctx_.os.Clock->TickCount() : DwellStart;
  const uint32_t elapsed = now - DwellStart;  // modulo 2^32: survives a wrap
  if (elapsed > DwellLength) {
    ctx_.host.SetDwellTime(0);
    Sequence = SeqIdle;
  }
}

void MyDeviceClass::Purge(int flags) {
  HostView& h = ctx_.host;
  for (int a = 0; a < host::kAxes; ++a) {
    if (flags & (1 << a)) h.SetPosition(a, 0);
  }
  int32_t p[proto::kAxes];
  HostPositions(p);
  LoadPositions(ctx_, p);
}

}  // namespace vx
