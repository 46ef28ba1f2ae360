// Jogging: one single-axis Move toward the soft limit (or a long fixed
// distance), stopped early by JogStop; the sequence step reports its end.
#include <cmath>
#include <limits>

#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {
constexpr double kJogDistanceFree = 999999.0;
constexpr double kLimitOffVelocityFactor = 0.05;
constexpr int kLimitOverSignal = 24;
constexpr const char* kNoJogInEStop = "No Jogging in Estop!!";
}  // namespace

int32_t SaturateInt32(double v) {
  constexpr int32_t kMost = std::numeric_limits<int32_t>::max();
  if (std::isnan(v)) return 0;
  if (v >= kMost) return kMost;
  // Symmetric: the board takes the magnitude as an int32 too, and 2^31
  // would read there as a negative number.
  if (v <= -kMost) return -kMost;
  return static_cast<int32_t>(v);
}

void MyDeviceClass::JogOn(int axis, int direction, double speed) {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (LimitLatch == 1 && !h.InActivated(kLimitOverSignal)) return;
  if (h.EngineJogging()) return;
  if (axis < 0 || axis >= host::kAxes) return;
  if (h.OffLine()) return;
  if (h.EStop()) {
    h.PostStatus(kNoJogInEStop);
    return;
  }
  if (!h.RingEmpty()) return;
  if (WaitForGcodeIdle) return;
  if (Sequence != SeqIdle) {
    h.PostStatus(kWaitForSequence);
    return;
  }

  JogAxis = axis;
  JogFeed = h.Vel(axis);
  if (speed != 0) JogFeed = speed;
  if (speed == 0 && !h.JogFullSpeed()) JogFeed = h.JogPercent() * JogFeed / 100.0;
  const double steps = h.Steps(axis);
  JogVel = JogFeed * steps;
  h.SetJogVelocity(axis, proto::TruncInt32(JogVel));
  JogAcc = h.Acc(axis) * steps;

  double high = kJogDistanceFree;
  double low = -kJogDistanceFree;
  if (h.SoftLimitsEnable()) {
    const double position = steps * h.MachinePosition(axis);
    // An axis already beyond a soft limit has no room left toward it: the
    // jog stands still rather than run the other way, against the key.
    high = std::fmax(h.SlimHi(axis) - position, 0.0);
    low = std::fmin(h.SlimLo(axis) - position, 0.0);
  }
  if (h.JogReverse(axis)) {
    high = -high;
    low = -low;
  }
  // A distance beyond the int32 range goes as far as the board can count,
  // in the asked direction, rather than wrapping round to the other one.
  JogDistance = SaturateInt32(direction == 0 ? high : low);

  h.SetExternalStill(false);
  InMotion = 1;
  h.SetPlannerJogging(true);
  h.SetEngineJogging(true);
  c.BoardIdle = 0;
  h.SetAxisJogging(axis, true);

  // Off a tripped limit, under the override, only at a crawl.
  double velocity = JogVel;
  if (h.InActivated(kLimitOverSignal) && LimitLatch == 1) velocity *= kLimitOffVelocityFactor;
  SendMove(c, JogAxis, JogDistance, 0, 0, velocity, JogAcc);
}

void MyDeviceClass::JogOff() {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (h.EStop()) return;
  if (!h.EngineJogging()) return;
  if (c.BoardIdle != 1) {
    SendJogStop(c);
    if (JogAxis >= 0) h.SetJogStopSent(JogAxis, true);
  }
  WaitForJogIdle = 1;
}

}  // namespace vx
