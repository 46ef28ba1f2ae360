// The device object's life: the reset sequence that brings the board into a
// known, configured and idle state, and the teardown.
#include <cstring>

#include "diag/console.h"
#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {

// The signal configuration handed to the board with Identify.
void BuildSignalConfiguration(PluginContext& c) {
  uint8_t* out = c.OutPayload();
  std::memset(out, 0, proto::kPayloadSize);
  const HostView& h = c.host;
  for (int s = 0; s < host::kInSignals; ++s) {
    int8_t pin = h.InPin(s);
    if (h.InActive(s) && pin != 0) {
      out[proto::identify::Signals + s] =
          static_cast<uint8_t>(static_cast<uint8_t>(pin * 2) | (h.InNegated(s) ? 1 : 0));
    }
  }
  uint8_t a = 0, b = 0, cc = 0, motors = 0, active = 0, negated = 0;
  for (int axis = 0; axis < host::kAxes; ++axis) {
    a |= static_cast<uint8_t>(h.ResetFlagA(axis) << axis);
    b |= static_cast<uint8_t>(h.ResetFlagB(axis) << axis);
    cc |= static_cast<uint8_t>(h.ResetFlagC(axis) << axis);
  }
  for (int m = 0; m < host::kMotors; ++m) motors |= static_cast<uint8_t>(h.MotorResetFlag(m) << m);
  for (int i = 0; i < 5; ++i) {
    int o = proto::identify::kOutputs[i];
    if (h.OutActive(o)) {
      active |= static_cast<uint8_t>(1u << i);
      if (h.OutNegated(o)) negated |= static_cast<uint8_t>(1u << i);
    }
  }
  out[proto::identify::AxisFlagsA] = a;
  out[proto::identify::AxisFlagsB] = b;
  out[proto::identify::AxisFlagsC] = cc;
  out[proto::identify::MotorFlags] = motors;
  out[proto::identify::OutputsActive] = active;
  out[proto::identify::OutputsNegated] = negated;
}

}  // namespace

MyDeviceClass::~MyDeviceClass() {
  if (Hardware) {
    ctx_.host.SetEStop(true);
    Reset(ResetFull);
    if (Hardware->NotIdentified == 0) SendStop(ctx_);
    delete Hardware;
    Hardware = nullptr;
  }
  delete Console;
  Console = nullptr;
}

void MyDeviceClass::AdoptPositions(const int32_t p[proto::kAxes]) {
  for (int a = 0; a < proto::kAxes; ++a) ctx_.host.SetPosition(a, p[a]);
}

void MyDeviceClass::HostPositions(int32_t out[proto::kAxes]) const {
  for (int a = 0; a < proto::kAxes; ++a) out[a] = ctx_.host.Position(a);
}

void MyDeviceClass::BoardPositions(int32_t out[proto::kAxes]) const {
  for (int a = 0; a < proto::kAxes; ++a) out[a] = proto::BoardPosition(ctx_.BoardState.data(), a);
}

void MyDeviceClass::Reset(ResetKind kind) {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  // Identification and the Stop below need the board object that plug-in
  // start creates; before it there is nothing to reset.
  if (Hardware == nullptr) return;

  if (Hardware->NotIdentified == 0) SendStop(c);

  if (c.EndPending == 1) {
    // Segments went out since the last SegmentsEnd: take the board's word
    // for where the axes are and which line it reached.
    if (!StatusExchange(c, StatusReport::Reset)) return;
    if (c.LinkError != 1) {
      int32_t p[proto::kAxes];
      BoardPositions(p);
      AdoptPositions(p);
    }
    int32_t line = proto::BoardLine(c.BoardState.data());
    if (line == static_cast<int32_t>(proto::segments::kNoLine)) line = c.LastSentLine;
    h.SetCurrentLine(line);
    h.SetLastLine(line);
  } else if (kind != ResetFull && Hardware->NotIdentified == 0) {
    // No stream is pending, but a jog, homing or probe move (or the tail of
    // a program) ran on until the Stop above: ask where the board stopped,
    // or the next full reset would load the host's older positions into it.
    if (!StatusExchange(c, StatusReport::Reset)) return;
    if (c.LinkError != 1) {
      int32_t p[proto::kAxes];
      BoardPositions(p);
      AdoptPositions(p);
    }
  }

  c.SlotCount = 0;
  c.PacketCount = 0;
  c.SpeedTooHigh = 0;
  c.EndPending = 0;
  c.BufferEndingSeen = 0;
  c.AckPending = 0;
  c.BoardIdle = 1;
  c.AckInterval = 12;
  if (kind != ResetFull) return;

  c.OutputBlock[proto::status::SpindleLedByte] = 0;
  c.OutputBlock[proto::status::EStopByte] = h.EStop() ? 1 : 0;

  BuildSignalConfiguration(c);
  if (Hardware->Identify() == 1) {
    h.SetEStop(true);
    // A board that does not identify itself is not driven, even over a link
    // whose transfers still work.
    c.LinkUp = 0;
    if (c.BoardPresent == 0) {
      h.PostStatus(msg::kNoBoard);
    } else if (c.LinkError == 1) {
      h.PostStatus(msg::kIdentifyError);
    }
    return;
  }

  h.PostStatus(msg::kResetConnected);
  c.LinkError = 0;
  WaitForGcodeIdle = 0;
  WaitForJogIdle = 0;
  if (JogAxis >= 0) {
    h.SetAxisJogging(JogAxis, false);
    JogAxis = -1;
  }
  h.SetEngineJogging(false);
  h.SetPlannerJogging(false);
  if (HomeAxis >= 0) HomeAxis = -1;

  int32_t p[proto::kAxes];
  HostPositions(p);
  Hardware->LoadPositions(p);
  SendAxisSetup(c);
  if (!StatusExchange(c, StatusReport::Reset)) return;

  c.SpeedTooHigh = 0;
  // A SetPositions or AxisSetup that failed on the way has already taken
  // the link down; the board is then not configured and must not be driven.
  c.LinkUp = c.LinkError == 0 ? 1 : 0;
  h.SetHomingActive(false);
  h.ClearSoftWait();
  h.SetDwellTime(0);
  InMotion = 1;
  Sequence = SeqSettle;
  if (c.LinkUp == 0) {
    // "Vendrix connected" is already on the status line: it must not stay
    // there over a board that never got its positions or axis setup.
    h.SetEStop(true);
    h.PostStatus(c.BoardPresent == 1 ? msg::kIdentifyError : msg::kNoBoard);
  }
}

}  // namespace vx
