// Homing: a seek Move that stops on the home switch, then a back-off Move
// at a tenth of the speed that stops when it is released; the sequence
// step runs the states one Update at a time.
#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {
constexpr int kHomeSignalTable[host::kAxes] = {2, 5, 8, 11, 14};
constexpr int32_t kHomeSeekDistance = 999999;
constexpr int32_t kIdleStepsBeforeTest = 10;
constexpr const char* kNoHomingInEStop = "No Homing in Estop!!";
constexpr const char* kWrongSwitchConfig = "Wrong home switch configuration!";
constexpr const char* kSwitchActive = "Home switch activated, jog off it first";
constexpr const char* kWrongPin = "Wrong home pin";
constexpr const char* kHoming = "Homing...";
constexpr const char* kNotReached = "Something wrong with homing - switch should be activated";
constexpr const char* kNotReleased = "Something wrong with homing - switch should NOT be activated";
constexpr const char* kHomeFinished = "home finished";

bool ValidHomePin(int32_t pin) { return pin >= 10 && pin <= 24 && pin != 14; }
}  // namespace

void MyDeviceClass::Home(int axis) {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (axis < 0 || axis >= host::kAxes) return;
  if (h.OffLine()) return;
  if (h.EStop()) {
    h.PostStatus(kNoHomingInEStop);
    return;
  }
  if (!h.RingEmpty()) return;
  if (WaitForGcodeIdle) return;
  if (WaitForJogIdle) return;
  if (h.HomingActive()) return;
  if (Sequence != SeqIdle) {
    h.PostStatus(kWaitForSequence);
    return;
  }
  const int s = kHomeSignalTable[axis];
  if (!h.InActive(s) || h.InPort(s) != 1) {
    h.PostStatus(kWrongSwitchConfig);
    return;
  }
  if (h.InActivated(s)) {
    h.PostStatus(kSwitchActive);
    return;
  }
  HomeSignal = s;
  HomePin = h.InPin(s);
  if (!ValidHomePin(HomePin)) {
    h.PostStatus(kWrongPin);
    return;
  }

  h.PostStatus(kHoming);
  HomeAxis = axis;
  h.SetHomingActive(true);
  HomeVel = h.Steps(axis) * (h.HomeSpeedPercent(axis) / 100.0 * h.Vel(axis));
  HomeDistance = h.HomeDirection(axis) ? kHomeSeekDistance : -kHomeSeekDistance;
  HomeAcc = h.Acc(axis) * h.Steps(axis);
  h.SetExternalStill(false);
  InMotion = 1;
  HomeMask = HomePin;
  // Stop levels are raw pin levels: an active-low switch is active at 0.
  const bool negated = h.InNegated(s);
  HomeMaskValAct = negated ? 0 : 1;
  HomeMaskValInAct = negated ? 1 : 0;
  SendMove(c, HomeAxis, HomeDistance, HomeMask, HomeMaskValAct, HomeVel, HomeAcc);
  HomeSettle = kIdleStepsBeforeTest;
  Sequence = SeqHomeSeek;  // last: the Update cycle may be watching
}

void MyDeviceClass::SeqHomeSeekStep(bool idle) {
  if (!idle) return;
  if (HomeSettle > 0) {
    --HomeSettle;
    return;
  }
  HostView& h = ctx_.host;
  // An E-stop during the seek ends the homing here: no back-off move is
  // sent to a machine in E-stop, and the axis is not referenced.
  if (h.EStop()) {
    Sequence = SeqHomeEnd;
    return;
  }
  if (HomeAxis >= 0 && h.InActivated(HomeSignal)) {
    SendMove(ctx_, HomeAxis, -HomeDistance, HomeMask, HomeMaskValInAct, HomeVel / 10.0, HomeAcc);
    Sequence = SeqHomeBackOff;
    HomeSettle = kIdleStepsBeforeTest;
  } else {
    h.PostStatus(kNotReached);
    Sequence = SeqHomeEnd;
  }
}

void MyDeviceClass::SeqHomeBackOffStep(bool idle) {
  if (!idle) return;
  if (HomeSettle > 0) {
    --HomeSettle;
    return;
  }
  HostView& h = ctx_.host;
  if (HomeAxis < 0 || h.InActivated(HomeSignal)) {
    h.PostStatus(kNotReleased);
    Sequence = SeqHomeEnd;
    return;
  }
  h.SetReferenced(HomeAxis, true);
  h.SetPosition(HomeAxis, h.HomePosition(HomeAxis));
  int32_t p[proto::kAxes];
  HostPositions(p);
  Hardware->LoadPositions(p);
  Sequence = SeqHomeEnd;
  h.PostStatus(kHomeFinished);
}

// Success or failure, the host always hears that homing is over.
void MyDeviceClass::SeqHomeEndStep() {
  HostView& h = ctx_.host;
  h.ClearSoftWaitBit56();
  h.SetHomingActive(false);
  h.SetSync();
  h.SetExternalStill(true);
  HomeAxis = -1;
  InMotion = 0;
  Sequence = SeqIdle;
}

}  // namespace vx
