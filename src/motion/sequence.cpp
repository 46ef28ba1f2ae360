// The sequence step: reports ended motions to the host and advances the
// settle, dwell and homing states, one bounded step per Update.
#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

void MyDeviceClass::SequenceStep() {
  PluginContext& c = ctx_;
  HostView& h = c.host;

  if (WaitForGcodeIdle) {
    WaitForGcodeIdle = 0;
    InMotion = 0;
    h.SetExternalStill(true);
  }

  const bool idle = c.BoardIdle == 1;
  if (WaitForJogIdle && idle) {
    WaitForJogIdle = 0;
    InMotion = 0;
    if (JogAxis >= 0) h.SetAxisJogging(JogAxis, false);
    h.SetEngineJogging(false);
    h.SetPlannerJogging(false);
    JogAxis = -1;
    h.SetExternalStill(true);
    h.SetSync();
  }

  switch (Sequence) {
    case SeqSettle: SeqSettleStep(idle); break;
    case SeqDwell: SeqDwellStep(); break;
    case SeqHomeSeek: SeqHomeSeekStep(idle); break;
    case SeqHomeBackOff: SeqHomeBackOffStep(idle); break;
    case SeqHomeEnd: SeqHomeEndStep(); break;
    default: break;
  }
}

// After a full reset: once the board is idle it takes the host's positions
// and the host learns that the machine is still.
void MyDeviceClass::SeqSettleStep(bool idle) {
  // BoardIdle alone is not enough: a SegmentsEnd sets it while its answer
  // may show the board still running the last segments, and loading the
  // host's positions then would rewind the counters under moving motors.
  // The board's own idle bit in its last answer must agree.
  if (!idle || !proto::BoardIdleBit(ctx_.BoardState.data())) return;
  int32_t p[proto::kAxes];
  HostPositions(p);
  Hardware->LoadPositions(p);
  ctx_.host.SetSync();
  ctx_.host.SetExternalStill(true);
  InMotion = 0;
  Sequence = SeqIdle;
}

}  // namespace vx
