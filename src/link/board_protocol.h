// The board's report protocol, described once: report framing, command
// codes, every payload layout and the number conversions. The plug-in
// encodes with these definitions and the board simulator decodes with them.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace vx::proto {

constexpr uint32_t kReportSize = 65;   // report id + 64 payload bytes
constexpr uint32_t kPayloadSize = 64;
constexpr uint32_t kReportIdByte = 0;  // always 0 on output
constexpr uint32_t kPayloadOffset = 1; // payload byte n is report byte n + 1
constexpr uint32_t kCommandByte = 63;  // in the payload
constexpr int kAxes = 5;

using Report = std::array<uint8_t, kReportSize>;
using Payload = std::array<uint8_t, kPayloadSize>;

inline uint8_t* PayloadOf(Report& r) { return r.data() + kPayloadOffset; }
inline const uint8_t* PayloadOf(const Report& r) { return r.data() + kPayloadOffset; }

enum Command : uint8_t {
  kSetPositions = 2,
  kStatus = 3,
  kSegments = 4,
  kSegmentsAck = 5,
  kSegmentsEnd = 9,
  kMove = 11,
  kJogStop = 12,
  kAxisSetup = 14,
  kIdentify = 0x62,
  kStop = 0x63,
};
// True for the four commands the board answers with one input report.
constexpr bool IsAnswered(uint8_t code) {
  return code == kStatus || code == kSegmentsAck || code == kSegmentsEnd ||
         code == kIdentify;
}
const char* CommandName(uint8_t code);  // "Status", ..., "?" for others

// ---- Number conversions
// Truncation toward zero to int32; a value that is not finite or does not
// fit becomes INT32_MIN (so its low 8 and 16 bits are 0). The range is
// tested before converting: a double outside the target type makes the C++
// conversion undefined, whereas the x86 instruction the board's values were
// defined against yields the most negative integer. Inline, as the segment
// encoder runs it five times a record.
inline int32_t TruncInt32(double v) {
  // NaN fails both comparisons.
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(v);
}
// Truncation toward zero to int64, of which the low 32 bits are sent; a
// value that is not finite or does not fit int64 becomes INT64_MIN (low 32
// bits 0), as the x86 conversion instruction gives.
uint32_t TruncLow32(double v);

// ---- Little-endian field access
inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }

// ---- Status (code 3), the image kept in OutputBlock
namespace status {
constexpr uint32_t OutputBits = 0;     // uint32
constexpr uint32_t SpindleByte = 4;
constexpr uint32_t SpindleLedByte = 5;
constexpr uint32_t StepsWord = 6;      // int16
constexpr uint32_t EStopByte = 8;
}  // namespace status

// ---- SetPositions (code 2): five int32 positions over a copy of BoardState
namespace setpos {
constexpr uint32_t Positions = 4;
}

// ---- Move (code 11)
namespace move {
constexpr uint32_t Axis = 0;
constexpr uint32_t Direction = 4;
constexpr uint32_t Distance = 8;
constexpr uint32_t Velocity = 12;
constexpr uint32_t Acceleration = 16;
constexpr uint32_t StopPin = 20;
constexpr uint32_t StopLevel = 24;
}  // namespace move
struct MoveFields {
  int32_t Axis = 0;
  int32_t Direction = 0;  // 1: distance >= 0
  uint32_t Distance = 0;  // magnitude in steps
  uint32_t Velocity = 0;  // low 32 bits of the truncated velocity
  uint32_t Acceleration = 0;
  int32_t StopPin = 0;
  int32_t StopLevel = 0;
};
// Fills a zeroed payload (code included).
void EncodeMove(uint8_t* payload, int32_t axis, int32_t distance, int32_t stopPin,
                int32_t stopLevel, double velocity, double acceleration);
MoveFields DecodeMove(const uint8_t* payload);

// ---- AxisSetup (code 14)
namespace axissetup {
constexpr uint32_t Steps = 0;          // int16 x 5
constexpr uint32_t Velocity = 10;      // int32 x 5
constexpr uint32_t Acceleration = 30;  // int32 x 5
}  // namespace axissetup
struct AxisSetupFields {
  int16_t Steps[kAxes] = {};
  uint32_t Velocity[kAxes] = {};
  uint32_t Acceleration[kAxes] = {};
};
void EncodeAxisSetup(uint8_t* payload, const double steps[kAxes],
                     const double vel[kAxes], const double acc[kAxes]);
AxisSetupFields DecodeAxisSetup(const uint8_t* payload);

// ---- Identify (code 0x62)
namespace identify {
constexpr uint32_t Signals = 0;        // 53 bytes: pin * 2 | negated
constexpr uint32_t AxisFlagsA = 54;
constexpr uint32_t AxisFlagsB = 55;
constexpr uint32_t AxisFlagsC = 56;
constexpr uint32_t MotorFlags = 57;
constexpr uint32_t OutputsActive = 58;
constexpr uint32_t OutputsNegated = 59;
constexpr uint32_t Magic = 61;         // uint16 0xBA1F
constexpr uint16_t kMagic = 0xBA1F;
constexpr int kOutputs[5] = {1, 7, 8, 9, 10};
// In the answer:
constexpr uint32_t AnswerSerialFirst = 10;
constexpr uint32_t AnswerSerialRest = 16;  // bytes 16..19
constexpr uint32_t AnswerVersion = 20;
}  // namespace identify

// ---- Trajectory packets (codes 4, 5, 9)
namespace segments {
constexpr uint32_t kSegmentSize = 10;
constexpr uint32_t kPerPacket = 6;
constexpr uint32_t Count = 62;
constexpr uint8_t kEndMark = 0x20;      // bit 5 of a segment's byte 0
constexpr double kMaxSteps = 400.0;     // per axis and record
constexpr uint32_t kNoLine = 0xFFFFFF;
}  // namespace segments
struct Segment {
  uint8_t Directions = 0;       // bit a: axis a moves toward positive
  bool EndMark = false;
  uint16_t Magnitude[kAxes] = {};  // 10 bits each
  uint32_t Line = 0;            // 24 bits
};
// The 24-bit line field for a LineId.
inline uint32_t LineField(int32_t lineId) {
  uint32_t u = static_cast<uint32_t>(lineId);
  return u < segments::kNoLine ? u : segments::kNoLine;
}
// The 10-bit magnitude of one step increment. Only 10 bits travel. Values
// beyond the record limit never reach the wire (the encoder refuses them
// first); NaN and infinities give 0 here rather than an undefined
// conversion.
inline uint16_t Magnitude10(double delta) {
  return static_cast<uint16_t>(static_cast<uint32_t>(TruncInt32(std::fabs(delta))) & 0x3FFu);
}
// Builds the segment of one record's five step increments (no limit check).
// Written out axis by axis, as is EncodeSegment, and inline: the encoder
// runs both for every record.
static_assert(kAxes == 5, "a segment carries exactly five axes");
inline Segment MakeSegment(const double delta[kAxes], int32_t lineId) {
  Segment s;
  s.Directions = static_cast<uint8_t>((delta[0] > 0.0 ? 1u : 0u) | (delta[1] > 0.0 ? 2u : 0u) |
                                      (delta[2] > 0.0 ? 4u : 0u) | (delta[3] > 0.0 ? 8u : 0u) |
                                      (delta[4] > 0.0 ? 16u : 0u));
  s.Magnitude[0] = Magnitude10(delta[0]);
  s.Magnitude[1] = Magnitude10(delta[1]);
  s.Magnitude[2] = Magnitude10(delta[2]);
  s.Magnitude[3] = Magnitude10(delta[3]);
  s.Magnitude[4] = Magnitude10(delta[4]);
  s.Line = LineField(lineId);
  return s;
}
inline void EncodeSegment(uint8_t* out10, const Segment& s) {
  const uint16_t* m = s.Magnitude;
  out10[0] = static_cast<uint8_t>((s.Directions & 0x1Fu) | (s.EndMark ? segments::kEndMark : 0u) |
                                  (((m[0] >> 8) & 3u) << 6));
  out10[1] = static_cast<uint8_t>(m[0]);
  out10[2] = static_cast<uint8_t>(m[1]);
  out10[3] = static_cast<uint8_t>(m[2]);
  out10[4] = static_cast<uint8_t>(m[3]);
  out10[5] = static_cast<uint8_t>(m[4]);
  out10[6] = static_cast<uint8_t>(s.Line);
  out10[7] = static_cast<uint8_t>(s.Line >> 8);
  out10[8] = static_cast<uint8_t>(s.Line >> 16);
  out10[9] = static_cast<uint8_t>(((m[1] >> 8) & 3u) | (((m[2] >> 8) & 3u) << 2) | (((m[3] >> 8) & 3u) << 4) |
                                  (((m[4] >> 8) & 3u) << 6));
}
Segment DecodeSegment(const uint8_t* in10);

// ---- Input payload (answers to Status, SegmentsAck, SegmentsEnd)
namespace input {
constexpr uint32_t LevelsLow = 0;
constexpr uint32_t IdleByte = 1;       // bit 7
constexpr uint32_t Positions = 4;      // int32 x 5
constexpr uint32_t Line = 28;          // int32; 0xFFFFFF: none
constexpr uint32_t MoveDoneByte = 40;  // bit 7
constexpr uint32_t LevelsHigh = 41;
constexpr uint32_t AckInterval = 0;    // in a SegmentsAck answer: interval x 10
}  // namespace input
inline bool BoardIdleBit(const uint8_t* p) { return (p[input::IdleByte] & 0x80) != 0; }
inline bool MoveDoneBit(const uint8_t* p) { return (p[input::MoveDoneByte] & 0x80) != 0; }
inline int32_t BoardPosition(const uint8_t* p, int a) { return GetI32(p + input::Positions + 4 * a); }
inline int32_t BoardLine(const uint8_t* p) { return GetI32(p + input::Line); }
// W = ((byte41 << 7) | byte0) << 9.
inline uint32_t LevelWord(const uint8_t* p) {
  return ((uint32_t(p[input::LevelsHigh]) << 7) | p[input::LevelsLow]) << 9;
}
// Raw level of input pin p: bit ((p - 1) mod 32) of the level word, with the
// mathematical modulo (pin 0 reads bit 31).
inline int PinLevel(uint32_t word, int pin) {
  uint32_t bit = static_cast<uint32_t>((static_cast<int64_t>(pin) - 1) & 31);
  return static_cast<int>((word >> bit) & 1u);
}
// Sets the level bytes so that `pin` (10..24) reads `level`.
void SetPinLevel(uint8_t* payload, int pin, int level);

}  // namespace vx::proto
