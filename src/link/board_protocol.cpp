#include "link/board_protocol.h"

#include <cmath>
#include <cstring>

namespace vx::proto {

const char* CommandName(uint8_t code) {
  switch (code) {
    case kSetPositions: return "SetPositions";
    case kStatus: return "Status";
    case kSegments: return "Segments";
    case kSegmentsAck: return "SegmentsAck";
    case kSegmentsEnd: return "SegmentsEnd";
    case kMove: return "Move";
    case kJogStop: return "JogStop";
    case kAxisSetup: return "AxisSetup";
    case kIdentify: return "Identify";
    case kStop: return "Stop";
    default: return "?";
  }
}


// Like TruncInt32, the conversion tests the range first: a double outside
// the target type makes the C++ conversion undefined, whereas the x86
// instruction the board's values were defined against yields the most
// negative integer.
uint32_t TruncLow32(double v) {
  // -2^63 itself fits; 2^63 does not. NaN fails both comparisons.
  if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return 0;  // low 32 bits of INT64_MIN
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

void EncodeMove(uint8_t* payload, int32_t axis, int32_t distance, int32_t stopPin,
                int32_t stopLevel, double velocity, double acceleration) {
  std::memset(payload, 0, kPayloadSize);
  PutU32(payload + move::Axis, static_cast<uint32_t>(axis));
  PutU32(payload + move::Direction, distance >= 0 ? 1u : 0u);
  // Unsigned negation: the magnitude of INT32_MIN is 2^31, not an overflow.
  uint32_t magnitude = distance >= 0 ? static_cast<uint32_t>(distance)
                                     : 0u - static_cast<uint32_t>(distance);
  PutU32(payload + move::Distance, magnitude);
  PutU32(payload + move::Velocity, TruncLow32(velocity));
  PutU32(payload + move::Acceleration, TruncLow32(acceleration));
  PutU32(payload + move::StopPin, static_cast<uint32_t>(stopPin));
  PutU32(payload + move::StopLevel, static_cast<uint32_t>(stopLevel));
  payload[kCommandByte] = kMove;
}

MoveFields DecodeMove(const uint8_t* payload) {
  MoveFields f;
  f.Axis = GetI32(payload + move::Axis);
  f.Direction = GetI32(payload + move::Direction);
  f.Distance = GetU32(payload + move::Distance);
  f.Velocity = GetU32(payload + move::Velocity);
  f.Acceleration = GetU32(payload + move::Acceleration);
  f.StopPin = GetI32(payload + move::StopPin);
  f.StopLevel = GetI32(payload + move::StopLevel);
  return f;
}

void EncodeAxisSetup(uint8_t* payload, const double steps[kAxes], const double vel[kAxes],
                     const double acc[kAxes]) {
  std::memset(payload, 0, kPayloadSize);
  for (int a = 0; a < kAxes; ++a) {
    PutU16(payload + axissetup::Steps + 2 * a, static_cast<uint16_t>(TruncInt32(steps[a])));
    PutU32(payload + axissetup::Velocity + 4 * a, TruncLow32(vel[a] * steps[a]));
    PutU32(payload + axissetup::Acceleration + 4 * a, TruncLow32(acc[a] * steps[a]));
  }
  payload[kCommandByte] = kAxisSetup;
}

AxisSetupFields DecodeAxisSetup(const uint8_t* payload) {
  AxisSetupFields f;
  for (int a = 0; a < kAxes; ++a) {
    f.Steps[a] = static_cast<int16_t>(GetU16(payload + axissetup::Steps + 2 * a));
    f.Velocity[a] = GetU32(payload + axissetup::Velocity + 4 * a);
    f.Acceleration[a] = GetU32(payload + axissetup::Acceleration + 4 * a);
  }
  return f;
}

Segment DecodeSegment(const uint8_t* in10) {
  Segment s;
  s.Directions = static_cast<uint8_t>(in10[0] & 0x1Fu);
  s.EndMark = (in10[0] & segments::kEndMark) != 0;
  s.Magnitude[0] = static_cast<uint16_t>(in10[1] | (((in10[0] >> 6) & 3u) << 8));
  for (int a = 1; a < kAxes; ++a) {
    unsigned high = (in10[9] >> (2 * (a - 1))) & 3u;
    s.Magnitude[a] = static_cast<uint16_t>(in10[1 + a] | (high << 8));
  }
  s.Line = uint32_t(in10[6]) | (uint32_t(in10[7]) << 8) | (uint32_t(in10[8]) << 16);
  return s;
}

void SetPinLevel(uint8_t* payload, int pin, int level) {
  // Pin p is bit (p - 1) of W = V << 9, so bit p - 10 of V = (byte41 << 7) | byte0.
  if (pin < 10 || pin > 24) return;  // pins the level bytes cannot carry
  int bit = pin - 10;
  uint8_t& low = payload[input::LevelsLow];
  uint8_t& high = payload[input::LevelsHigh];
  if (bit < 7) {
    low = static_cast<uint8_t>(level ? (low | (1u << bit)) : (low & ~(1u << bit)));
  } else if (bit == 7) {
    // Bit 7 of byte 0 and bit 0 of byte 41 are OR-ed together: one carries
    // a set level, both must be clear for a clear one.
    low = static_cast<uint8_t>(level ? (low | 0x80u) : (low & 0x7Fu));
    high = static_cast<uint8_t>(high & 0xFEu);
  } else {
    unsigned b = static_cast<unsigned>(bit - 7);
    high = static_cast<uint8_t>(level ? (high | (1u << b)) : (high & ~(1u << b)));
  }
}

}  // namespace vx::proto
