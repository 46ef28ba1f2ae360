// Trajectory streaming: the waiting ring records go to the segment encoder,
// at most 41 per Update; a drained ring closes the open packet with a
// SegmentsEnd exchange at the start of the next Update.
#include <cstring>

#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

namespace {
constexpr int kRecordsPerUpdate = 41;
constexpr const char* kSpeedTooHigh = "Speed is too high";

// A trajectory transfer failed: the program on the board has lost segments
// and no later cycle runs until the host resets, so the host stops now.
void StreamFailed(PluginContext& c) {
  c.host.SetEStop(true);
  if (c.BoardPresent == 1) c.host.PostStatus(msg::kCommError2);
  c.LinkDown();
}
}  // namespace

bool MyDeviceClass::SegmentsEndExchange() {
  PluginContext& c = ctx_;
  LockGuard lock(c.os.BoardLock);
  Hardware->BuildSegmentsEnd();
  if (!WriteReport(c) || !ReadAnswer(c)) {
    StreamFailed(c);
    return false;
  }
  std::memcpy(c.BoardState.data(), c.InPayload(), proto::kPayloadSize);
  return true;
}

void MyDeviceClass::CopyBoardPositionsToHost() {
  int32_t p[proto::kAxes];
  BoardPositions(p);
  AdoptPositions(p);
}

void MyDeviceClass::StreamTrajectory() {
  PluginContext& c = ctx_;
  HostView& h = c.host;
  if (h.EStop()) return;
  if (LimitLatch == 1 && !h.RingEmpty()) {
    // New motion after a limit trip: stop the program, not the operator.
    h.DoButton(kButtonStopProgram);
    h.SetEStop(true);
    return;
  }
  if (c.SpeedTooHigh == 1) {
    h.SetEStop(true);
    h.PostStatus(kSpeedTooHigh);
    return;
  }

  uint8_t pending = c.EndPending;
  if (pending == 1 && h.RingEmpty()) {
    if (Hardware == nullptr || !SegmentsEndExchange()) return;
    c.SlotCount = 0;
    c.EndPending = 0;
    c.BoardIdle = 1;
    WaitForGcodeIdle = 1;
    // At a program's end the host keeps the lines it already shows.
    if (c.BufferEndingSeen == 0) {
      h.SetLastLine(c.LastSentLine);
      h.SetCurrentLine(c.LastSentLine);
    }
    c.BufferEndingSeen = 0;
    pending = 0;
  }

  CopyBoardPositionsToHost();
  // The positions the host holds now; in the loop below only a SegmentsAck
  // answer can change BoardState, and only then is there anything to copy.
  uint8_t copied[proto::kAxes * 4];
  std::memcpy(copied, c.BoardState.data() + proto::input::Positions, sizeof copied);

  if (h.RingEmpty()) {
    if (pending == 1) WaitForGcodeIdle = 1;
  } else if (Hardware != nullptr) {
    c.BufferEndingSeen = 0;
    c.BoardIdle = 0;
    for (int n = 0; n < kRecordsPerUpdate; ++n) {
      const int32_t i = h.TrajIndex() & host::kRingMask;
      const int32_t line = h.TrajLineId(i);
      h.SetCurrentLine(line);
      c.LastSentLine = line;
      double delta[proto::kAxes];
      h.CopyStepDeltas(i, delta);
      const int result = Hardware->EncodeSegment(delta, line);
      if (result == SegmentRefused) {
        // The record stays in the ring; the sequence step reports the stop.
        WaitForGcodeIdle = 1;
        // Refused for speed, it is reported by the next cycle; a lost packet
        // would leave the host waiting on a program that no longer runs.
        if (c.LinkError == 1) StreamFailed(c);
        break;
      }
      if (c.LinkError == 0 &&
          std::memcmp(copied, c.BoardState.data() + proto::input::Positions, sizeof copied) != 0) {
        CopyBoardPositionsToHost();
        std::memcpy(copied, c.BoardState.data() + proto::input::Positions, sizeof copied);
      }
      h.SetTrajIndex((i + 1) & host::kRingMask);
      InMotion = 1;
      if (result == SegmentSentUnanswered) {
        // The board has the record, so it leaves the ring (sending it again
        // after the reset would run it twice); the lost answer stops the
        // host as a lost packet does.
        WaitForGcodeIdle = 1;
        StreamFailed(c);
        break;
      }
      if (h.RingEmpty()) break;  // TrajHead is read afresh each time
    }
  }

  if (h.RingEmpty() && h.BufferEnding() && InMotion != 0) {
    WaitForGcodeIdle = 1;
    c.BufferEndingSeen = 1;
  }
}

}  // namespace vx
