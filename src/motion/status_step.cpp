// The status step of the Update cycle: exchange Status with the board,
// mirror its inputs into the host, and act on the E-stop input and the X,
// Y and Z limit switches.
#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {

constexpr int kEStopSignal = 25;
constexpr int kLimitOverSignal = 24;
constexpr uint8_t kEStopRepeatSteps = 5;

struct LimitAxis {
  int SignalA, SignalB;
  const char* Plain;
  const char* Over;
};
constexpr LimitAxis kLimitAxes[3] = {
    {0, 1, "XLimit Switch Triggered!", "XLimit Switch Triggered! LIMIT OVER Activated"},
    {3, 4, "YLimit Switch Triggered!", "YLimit Switch Triggered! LIMIT OVER Activated"},
    {6, 7, "ZLimit Switch Triggered!", "ZLimit Switch Triggered! LIMIT OVER Activated"},
};
constexpr const char* kEStopPressed = "Emergence Button Pressed!";

// A short reset from the status step. Without segments pending it asks the
// board nothing, and the E-stop that usually comes with it stops the
// streaming step's position copy; the host takes this exchange's positions
// first, or its next full reset would load a stale copy into the board and
// the steps run since the last copy would be lost.
void ShortReset(MyDeviceClass& dev, const PluginContext& c, ResetKind kind) {
  if (c.EndPending == 0) {
    int32_t p[proto::kAxes];
    dev.BoardPositions(p);
    dev.AdoptPositions(p);
  }
  dev.Reset(kind);
}

}  // namespace

void MyDeviceClass::StatusStep() {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (!StatusExchange(c, StatusReport::UpdateCycle)) return;

  // Inputs: the logical state is the raw pin level XOR Negated, for every
  // configured signal on port 1.
  const uint32_t levels = proto::LevelWord(c.BoardState.data());
  for (int s = 0; s < host::kInSignals; ++s) {
    if (!h.InActive(s) || h.InPort(s) != 1) continue;
    bool level = proto::PinLevel(levels, h.InPin(s)) != 0;
    h.SetInActivated(s, level != h.InNegated(s));
  }
  c.BoardIdle = proto::BoardIdleBit(c.BoardState.data()) ? 1 : 0;

  HandleSafetyInputs();

  if (proto::MoveDoneBit(c.BoardState.data())) h.SetSync();
}

void MyDeviceClass::HandleSafetyInputs() {
  PluginContext& c = ctx_;
  HostView& h = c.host;

  if (!h.InActivated(kEStopSignal)) {
    c.EStopLatched = 0;
  } else {
    // A held button is handled again every seventh step.
    uint8_t before = c.EStopRepeat++;
    if (before > kEStopRepeatSteps) {
      c.EStopRepeat = 0;
      c.EStopLatched = 0;
    }
    h.SetEStop(true);
    if (c.EStopLatched == 0) {
      ShortReset(*this, c, ResetEStop);
      c.EStopLatched = 1;
      h.PostStatus(kEStopPressed);
    }
    return;  // no limit checks while the E-stop input is active
  }

  // A homing run drives onto its switch on purpose, and home switches often
  // share a limit input: the limits wait until it is over. The E-stop input
  // above is never ignored.
  if (h.HomingActive()) return;

  int tripped = -1;
  for (int axis = 0; axis < 3 && tripped < 0; ++axis) {
    if (h.InActivated(kLimitAxes[axis].SignalA) || h.InActivated(kLimitAxes[axis].SignalB)) {
      tripped = axis;
    }
  }
  if (tripped < 0) {
    if (LimitLatch == 1 && h.RingEmpty()) {
      LimitLatch = 0;
      c.LimitOverLatched = 0;
    }
    return;
  }
  const LimitAxis& limit = kLimitAxes[tripped];
  if (h.InActivated(kLimitOverSignal)) {
    // LIMIT OVER lets the operator drive off the switch: one short reset,
    // no E-stop.
    if (c.LimitOverLatched == 0) ShortReset(*this, c, ResetLimit);
    h.PostStatus(limit.Over);
    c.LimitOverLatched = 1;
    LimitLatch = 1;
    return;
  }
  h.SetEStop(true);
  h.PostStatus(limit.Plain);
  if (LimitLatch == 1) return;

  // First handling of this trip. X is stopped by the short reset, Y and Z
  // once more before it; every axis leaves the host with the board's
  // positions (after the reset's own exchange when segments are pending).
  h.DoButton(kButtonStopProgram);
  if (tripped == 0) {
    if (h.EngineJogging()) {
      int32_t p[proto::kAxes];
      BoardPositions(p);
      AdoptPositions(p);
    }
  } else if (Hardware && Hardware->NotIdentified == 0) {
    SendStop(c);
  }
  ShortReset(*this, c, ResetLimit);
  LimitLatch = 1;
}

}  // namespace vx
