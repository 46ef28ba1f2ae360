// The board object: identification, position loading and the segment
// encoder that packs ring records six to a trajectory report.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "link/board_link.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx {

int MyHardwareClass::Identify() {
  if (IdentifyExchange(ctx_) != 0) {
    NotIdentified = 1;
    return 1;
  }
  NotIdentified = 0;
  const uint8_t* in = ctx_.InPayload();
  const uint8_t serial[5] = {in[proto::identify::AnswerSerialFirst],
                             in[proto::identify::AnswerSerialRest + 0],
                             in[proto::identify::AnswerSerialRest + 1],
                             in[proto::identify::AnswerSerialRest + 2],
                             in[proto::identify::AnswerSerialRest + 3]};
  // Five bytes of at most two hex digits each fill the ten characters.
  std::snprintf(ctx_.BoardSerial, sizeof ctx_.BoardSerial, "%x%x%x%x%x", serial[0], serial[1],
                serial[2], serial[3], serial[4]);
  std::snprintf(ctx_.BoardVersion, sizeof ctx_.BoardVersion, "%u",
                static_cast<unsigned>(in[proto::identify::AnswerVersion]));
  return 0;
}

void MyHardwareClass::LoadPositions(const int32_t positions[proto::kAxes]) {
  vx::LoadPositions(ctx_, positions);
}

int MyHardwareClass::EncodeSegment(const double delta[proto::kAxes], int32_t lineId) {
  PluginContext& c = ctx_;
  c.EndPending = 1;
  for (int a = 0; a < proto::kAxes; ++a) {
    // A record the board cannot step in time is refused; so is one that is
    // not a number at all, which no truncation could make sense of.
    if (!(std::fabs(delta[a]) <= proto::segments::kMaxSteps)) {
      c.SpeedTooHigh = 1;
      return SegmentRefused;
    }
  }
  const proto::Segment seg = proto::MakeSegment(delta, lineId);
  uint8_t* buf = c.SegmentBuffer.data();
  if (c.SlotCount == 0) {
    std::memset(buf, 0, proto::kPayloadSize);
    buf[proto::kCommandByte] = proto::kSegments;
  }
  proto::EncodeSegment(buf + proto::segments::kSegmentSize * c.SlotCount, seg);
  ++c.SlotCount;
  buf[proto::segments::Count] = c.SlotCount;
  if (c.SlotCount < proto::segments::kPerPacket) return 0;

  c.SlotCount = 0;
  ++c.PacketCount;
  if (c.PacketCount == c.AckInterval) {
    buf[proto::kCommandByte] = proto::kSegmentsAck;
    c.PacketCount = 0;
    c.AckPending = 1;
  }
  // A SegmentsAck and its answer are one exchange.
  LockGuard lock(c.os.BoardLock);
  std::memcpy(c.OutPayload(), buf, proto::kPayloadSize);
  if (!WriteReport(c)) return SegmentRefused;
  std::memset(buf, 0, proto::kPayloadSize);
  if (c.AckPending == 1) {
    if (!ReadAnswer(c)) return SegmentSentUnanswered;
    // An answer below 10 would make the interval 0, which the packet count
    // never equals: flow control would stop until the next reset. The
    // board asked to be throttled, so answer every packet instead.
    uint8_t interval = static_cast<uint8_t>(c.InPayload()[proto::input::AckInterval] / 10);
    c.AckInterval = interval == 0 ? 1 : interval;
    std::memcpy(c.BoardState.data(), c.InPayload(), proto::kPayloadSize);
    c.AckPending = 0;
  }
  return SegmentTaken;
}

void MyHardwareClass::BuildSegmentsEnd() {
  PluginContext& c = ctx_;
  uint8_t* out = c.OutPayload();
  std::memset(out, 0, proto::kPayloadSize);
  uint8_t n = c.SegmentBuffer[proto::segments::Count];
  if (n > proto::segments::kPerPacket) n = proto::segments::kPerPacket;
  if (n != 0) {
    std::memcpy(out, c.SegmentBuffer.data(), proto::kPayloadSize);
    out[proto::segments::kSegmentSize * (n - 1)] |= proto::segments::kEndMark;
  } else {
    out[0] |= proto::segments::kEndMark;
  }
  out[proto::segments::Count] = n;
  std::memset(c.SegmentBuffer.data(), 0, proto::kPayloadSize);
  out[proto::kCommandByte] = proto::kSegmentsEnd;
}

}  // namespace vx
