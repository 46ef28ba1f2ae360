#include "sim/report_text.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace vx::sim {
namespace {

using namespace vx::proto;

void Append(std::string& s, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  s += buffer;
}

void AppendPositions(std::string& s, const uint8_t* p) {
  s += "pos=[";
  for (int a = 0; a < kAxes; ++a) Append(s, a ? ",%d" : "%d", GetI32(p + 4 * a));
  s += "]";
}

const char kAxisNames[kAxes + 1] = "XYZAB";

void AppendSegment(std::string& s, const Segment& seg) {
  s += "{";
  if (seg.Line == segments::kNoLine)
    s += "L-";
  else
    Append(s, "L%u", seg.Line);
  for (int a = 0; a < kAxes; ++a) {
    bool positive = (seg.Directions >> a) & 1u;
    if (seg.Magnitude[a] != 0 || positive)
      Append(s, " %c%c%u", kAxisNames[a], positive ? '+' : '-', seg.Magnitude[a]);
  }
  if (seg.EndMark) s += " END";
  s += "}";
}

// Pins 10..24 that read 1, as "pins=10,17" or "pins=-".
void AppendPins(std::string& s, const uint8_t* p) {
  uint32_t word = LevelWord(p);
  s += " pins=";
  bool any = false;
  for (int pin = 10; pin <= 24; ++pin) {
    if (PinLevel(word, pin)) {
      Append(s, any ? ",%d" : "%d", pin);
      any = true;
    }
  }
  if (!any) s += "-";
}

}  // namespace

std::string DescribeOutput(const uint8_t* p) {
  std::string s = CommandName(p[kCommandByte]);
  switch (p[kCommandByte]) {
    case kStatus:
      Append(s, " out=0x%08" PRIx32 " spindle=%u led=%u zsteps=%d estop=%u",
             GetU32(p + status::OutputBits), p[status::SpindleByte], p[status::SpindleLedByte],
             static_cast<int16_t>(GetU16(p + status::StepsWord)), p[status::EStopByte]);
      break;
    case kSetPositions:
      s += " ";
      AppendPositions(s, p + setpos::Positions);
      break;
    case kMove: {
      MoveFields m = DecodeMove(p);
      Append(s, " axis=%d dist=%s%u vel=%u acc=%u", m.Axis, m.Direction ? "+" : "-", m.Distance,
             m.Velocity, m.Acceleration);
      if (m.StopPin != 0) Append(s, " stop=pin%d@%d", m.StopPin, m.StopLevel);
      break;
    }
    case kAxisSetup: {
      AxisSetupFields f = DecodeAxisSetup(p);
      s += " steps=[";
      for (int a = 0; a < kAxes; ++a) Append(s, a ? ",%d" : "%d", f.Steps[a]);
      s += "] vel=[";
      for (int a = 0; a < kAxes; ++a) Append(s, a ? ",%u" : "%u", f.Velocity[a]);
      s += "] acc=[";
      for (int a = 0; a < kAxes; ++a) Append(s, a ? ",%u" : "%u", f.Acceleration[a]);
      s += "]";
      break;
    }
    case kIdentify: {
      s += " signals=";
      for (uint32_t i = 0; i < 53; ++i) Append(s, "%02x", p[identify::Signals + i]);
      Append(s, " axes=%02x/%02x/%02x motors=%02x outputs=%02x/%02x magic=0x%04x",
             p[identify::AxisFlagsA], p[identify::AxisFlagsB], p[identify::AxisFlagsC],
             p[identify::MotorFlags], p[identify::OutputsActive], p[identify::OutputsNegated],
             GetU16(p + identify::Magic));
      break;
    }
    case kSegments:
    case kSegmentsAck:
    case kSegmentsEnd: {
      uint8_t n = p[segments::Count];
      Append(s, " n=%u", n);
      for (uint32_t i = 0; i < n && i < segments::kPerPacket; ++i) {
        s += " ";
        AppendSegment(s, DecodeSegment(p + segments::kSegmentSize * i));
      }
      if (n == 0 && (p[0] & segments::kEndMark)) s += " END";
      break;
    }
    case kJogStop:
    case kStop:
      break;
    default:
      Append(s, "(0x%02x)", p[kCommandByte]);
      break;
  }
  return s;
}

std::string DescribeInput(uint8_t answered, const uint8_t* p) {
  std::string s = CommandName(answered);
  if (answered == kIdentify) {
    Append(s, " serial=%x %x %x %x %x version=%u code=0x%02x", p[identify::AnswerSerialFirst],
           p[identify::AnswerSerialRest], p[identify::AnswerSerialRest + 1],
           p[identify::AnswerSerialRest + 2], p[identify::AnswerSerialRest + 3],
           p[identify::AnswerVersion], p[kCommandByte]);
    return s;
  }
  if (answered == kSegmentsAck) Append(s, " flow=%u", p[input::AckInterval]);
  Append(s, " idle=%d done=%d ", BoardIdleBit(p) ? 1 : 0, MoveDoneBit(p) ? 1 : 0);
  AppendPositions(s, p + input::Positions);
  int32_t line = BoardLine(p);
  if (static_cast<uint32_t>(line) == segments::kNoLine)
    s += " line=-";
  else
    Append(s, " line=%d", line);
  // In the SegmentsAck answer byte 0 carries the flow value, not levels.
  if (answered != kSegmentsAck) AppendPins(s, p);
  return s;
}

std::string Describe(const TranscriptEntry& e) {
  std::string s;
  Append(s, "%10.3f ms %s ", static_cast<double>(e.TimeUs) / 1000.0,
         e.Dir == Direction::ToBoard ? "->" : "<-");
  if (e.Failed) {
    s += e.Dir == Direction::ToBoard ? "FAILED " : "FAILED read for ";
    if (e.Dir == Direction::FromBoard) {
      s += CommandName(e.Command);
      return s;
    }
  }
  if (e.Dir == Direction::ToBoard)
    s += DescribeOutput(PayloadOf(e.Bytes));
  else
    s += DescribeInput(e.Command, PayloadOf(e.Bytes));
  return s;
}

}  // namespace vx::sim
