#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "link/board_protocol.h"
#include "link_support.h"

namespace vx::proto {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Conversions, TruncInt32AtItsEdges) {
  struct Case {
    double in;
    int32_t out;
  } cases[] = {
      {0.0, 0},
      {1.9, 1},
      {-1.9, -1},
      {70000.7, 70000},
      {2147483647.0, INT32_MAX},
      {2147483647.9, INT32_MAX},
      {2147483648.0, INT32_MIN},  // 2^31 does not fit
      {-2147483648.0, INT32_MIN},  // -2^31 fits
      {-2147483648.9, INT32_MIN},  // truncates to -2^31, which fits
      {-2147483649.0, INT32_MIN},  // -2^31 - 1 does not fit
      {1e300, INT32_MIN},
      {kNaN, INT32_MIN},
      {kInf, INT32_MIN},
      {-kInf, INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(TruncInt32(c.in), c.out) << "input " << c.in;
  // The low 16 bits of a value that does not fit are 0.
  EXPECT_EQ(static_cast<uint16_t>(TruncInt32(70000.7)), 4464);
  EXPECT_EQ(static_cast<uint16_t>(TruncInt32(kNaN)), 0);
}

TEST(Conversions, TruncLow32KeepsLowBitsOf64) {
  struct Case {
    double in;
    uint32_t out;
  } cases[] = {
      {0.0, 0},
      {1000.9, 1000},
      {-1.5, 0xFFFFFFFFu},
      {4294967295.9, 0xFFFFFFFFu},
      {4294967301.0, 5},  // 2^32 + 5
      {1e10, 0x540BE400u},
      {9223372036854775808.0, 0},   // 2^63: INT64_MIN
      {-9223372036854775808.0, 0},  // -2^63 fits and is INT64_MIN
      {9223372036854774784.0, 0xFFFFFC00u},  // the largest double below 2^63
      {kNaN, 0},
      {kInf, 0},
      {-kInf, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(TruncLow32(c.in), c.out) << "input " << c.in;
}

TEST(Commands, NamesAndAnsweredSet) {
  struct Case {
    uint8_t code;
    const char* name;
    bool answered;
  } cases[] = {
      {2, "SetPositions", false}, {3, "Status", true},     {4, "Segments", false},
      {5, "SegmentsAck", true},   {9, "SegmentsEnd", true}, {11, "Move", false},
      {12, "JogStop", false},     {14, "AxisSetup", false}, {0x62, "Identify", true},
      {0x63, "Stop", false},      {0, "?", false},          {7, "?", false},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(CommandName(c.code), c.name) << int(c.code);
    EXPECT_EQ(IsAnswered(c.code), c.answered) << int(c.code);
  }
}

// The expected Move payload, written out field by field.
Payload MovePayload(uint32_t axis, uint32_t dir, uint32_t dist, uint32_t vel, uint32_t acc,
                    uint32_t pin, uint32_t level) {
  Payload p{};
  uint32_t fields[] = {axis, dir, dist, vel, acc, pin, level};
  for (int i = 0; i < 7; ++i)
    for (int b = 0; b < 4; ++b) p[4 * i + b] = uint8_t(fields[i] >> (8 * b));
  p[63] = 11;
  return p;
}

TEST(Payloads, MoveByteForByte) {
  struct Case {
    int32_t axis, distance, pin, level;
    double vel, acc;
    Payload expected;
  } cases[] = {
      {0, -500, 0, 0, 1000.9, 20000.0, MovePayload(0, 0, 500, 1000, 20000, 0, 0)},
      {2, 0, 0, 0, 1.0, 1.0, MovePayload(2, 1, 0, 1, 1, 0, 0)},
      {1, 999999, 12, 1, 5000.0, 1e10, MovePayload(1, 1, 999999, 5000, 0x540BE400u, 12, 1)},
      {4, INT32_MIN, 24, 0, kNaN, -1.0, MovePayload(4, 0, 0x80000000u, 0, 0xFFFFFFFFu, 24, 0)},
  };
  for (const Case& c : cases) {
    Payload p;
    p.fill(0xEE);  // the encoder must clear what it does not set
    EncodeMove(p.data(), c.axis, c.distance, c.pin, c.level, c.vel, c.acc);
    EXPECT_EQ(test::Hex(p.data(), 64), test::Hex(c.expected.data(), 64)) << "distance " << c.distance;
    MoveFields f = DecodeMove(p.data());
    EXPECT_EQ(f.Axis, c.axis);
    EXPECT_EQ(f.StopPin, c.pin);
    EXPECT_EQ(f.StopLevel, c.level);
  }
}

TEST(Payloads, AxisSetupByteForByte) {
  const double steps[5] = {70000.7, 200.0, -1.5, kNaN, 2000.0};
  const double vel[5] = {1.0, 25.5, 10.0, 10.0, 1e300};
  const double acc[5] = {2.0, 0.5, 10.0, 10.0, 3.0};
  Payload p;
  p.fill(0xEE);
  EncodeAxisSetup(p.data(), steps, vel, acc);
  Payload e{};
  auto put16 = [&](int at, uint16_t v) { PutU16(e.data() + at, v); };
  auto put32 = [&](int at, uint32_t v) { PutU32(e.data() + at, v); };
  put16(0, 4464);  // 70000 kept to 16 bits
  put16(2, 200);
  put16(4, 0xFFFF);  // -1
  put16(6, 0);       // NaN
  put16(8, 2000);
  put32(10, 70000);  // 1.0 x 70000.7: the velocity keeps the full product
  put32(14, 5100);
  put32(18, 0xFFFFFFF1u);  // -15
  put32(22, 0);
  put32(26, 0);  // beyond int64
  put32(30, 140001);
  put32(34, 100);
  put32(38, 0xFFFFFFF1u);
  put32(42, 0);
  put32(46, 6000);
  e[63] = 14;
  EXPECT_EQ(test::Hex(p.data(), 64), test::Hex(e.data(), 64));
  AxisSetupFields f = DecodeAxisSetup(p.data());
  EXPECT_EQ(f.Steps[0], 4464);
  EXPECT_EQ(f.Steps[2], -1);
  EXPECT_EQ(f.Velocity[0], 70000u);
  EXPECT_EQ(f.Acceleration[4], 6000u);
}

TEST(Segments, BytesOfTheReferenceRecords) {
  struct Case {
    double d[5];
    int32_t line;
    const char* bytes;
  } cases[] = {
      {{300.0, -300.0, 0.0, 0.0, 256.0}, 7, "51 2C 2C 00 00 00 07 00 00 41"},
      {{0, 0, 0, 0, 0}, 7, "00 00 00 00 00 00 07 00 00 00"},
      {{400.0, 0, 0, 0, 0}, 0x123456, "41 90 00 00 00 00 56 34 12 00"},
      {{0.9, -0.9, 0, 0, 0}, -1, "01 00 00 00 00 00 FF FF FF 00"},
      {{0, 0, 0, 0, 0}, 0xFFFFFE, "00 00 00 00 00 00 FE FF FF 00"},
      {{0, 0, 0, 0, 0}, 0xFFFFFF, "00 00 00 00 00 00 FF FF FF 00"},
      {{0, 0, 0, 0, 0}, 0x7FFFFFFF, "00 00 00 00 00 00 FF FF FF 00"},
      {{0, 0, 0, 0, 0}, INT32_MIN, "00 00 00 00 00 00 FF FF FF 00"},
      // High bits of every axis: axis 0 in byte 0, axes 1..4 in byte 9.
      {{-300, 512, -768, 256, -1023}, 0, "4A 2C 00 00 00 FF 00 00 00 DE"},
      // Not finite: no direction, magnitude 0, and no undefined conversion.
      {{kNaN, kInf, -kInf, 0, 0}, 1, "02 00 00 00 00 00 01 00 00 00"},
  };
  for (const Case& c : cases) {
    uint8_t out[10];
    Segment s = MakeSegment(c.d, c.line);
    EncodeSegment(out, s);
    EXPECT_EQ(test::Hex(out, 10), c.bytes) << "line " << c.line;
    Segment back = DecodeSegment(out);
    EXPECT_EQ(back.Directions, s.Directions);
    EXPECT_EQ(back.Line, s.Line);
    EXPECT_FALSE(back.EndMark);
    for (int a = 0; a < kAxes; ++a) EXPECT_EQ(back.Magnitude[a], s.Magnitude[a]) << "axis " << a;
  }
}

TEST(Segments, EndMarkIsBitFiveOfByteZero) {
  Segment s;
  s.EndMark = true;
  s.Magnitude[0] = 0x3FF;
  s.Directions = 0x1F;
  uint8_t out[10];
  EncodeSegment(out, s);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_TRUE(DecodeSegment(out).EndMark);
}

TEST(Inputs, PinLevelsFromTheTwoLevelBytes) {
  struct Case {
    uint8_t low, high;
    int pin;
    int level;
  } cases[] = {
      {0x01, 0x00, 10, 1}, {0x01, 0x00, 11, 0}, {0x01, 0x00, 24, 0}, {0x80, 0x00, 17, 1},
      {0x00, 0x01, 17, 1}, {0x00, 0x80, 24, 1}, {0x00, 0x80, 23, 0}, {0x40, 0x00, 16, 1},
      {0x00, 0x02, 18, 1}, {0xFF, 0xFF, 9, 0},  {0xFF, 0xFF, 25, 0}, {0xFF, 0xFF, 32, 0},
      {0xFF, 0xFF, 1, 0},  {0xFF, 0xFF, 0, 0},  {0x01, 0x00, 42, 1},  // 42 reduces to 10
  };
  for (const Case& c : cases) {
    uint8_t p[64] = {};
    p[input::LevelsLow] = c.low;
    p[input::LevelsHigh] = c.high;
    EXPECT_EQ(PinLevel(LevelWord(p), c.pin), c.level)
        << "bytes " << int(c.low) << "/" << int(c.high) << " pin " << c.pin;
  }
  // Pin 0 reads bit 31 and pin -1 bit 30, by the mathematical modulo.
  EXPECT_EQ(PinLevel(0x80000000u, 0), 1);
  EXPECT_EQ(PinLevel(0x80000000u, 32), 1);
  EXPECT_EQ(PinLevel(0x40000000u, -1), 1);
  EXPECT_EQ(PinLevel(0x7FFFFFFFu, 0), 0);
}

TEST(Inputs, SetPinLevelWritesEachPinAlone) {
  // Every pattern of pins 10..24 reads back exactly, whatever the order.
  for (uint32_t pattern : {0x0000u, 0x7FFFu, 0x0080u, 0x5555u, 0x2AAAu, 0x7F7Fu, 0x0100u}) {
    uint8_t p[64];
    std::memset(p, 0xFF, sizeof p);  // stale levels must be overwritten
    for (int pin = 24; pin >= 10; --pin) SetPinLevel(p, pin, (pattern >> (pin - 10)) & 1);
    for (int pin = 10; pin <= 24; ++pin)
      EXPECT_EQ(PinLevel(LevelWord(p), pin), int((pattern >> (pin - 10)) & 1))
          << "pattern " << pattern << " pin " << pin;
  }
  uint8_t p[64] = {};
  SetPinLevel(p, 9, 1);  // pins the bytes cannot carry are left alone
  SetPinLevel(p, 25, 1);
  EXPECT_EQ(LevelWord(p), 0u);
}

}  // namespace
}  // namespace vx::proto
