// Shared pieces of the operator-motion scenarios (jog, home, probe, dwell,
// purge): a machine started and settled, and the exact wire bytes to expect.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "motion/device.h"
#include "sim/machine.h"

namespace vx::test {

// A Move payload written out byte by byte from the wire layout, so that a
// fault in the encoder cannot hide in the expectation.
inline proto::Payload MoveBytes(int32_t axis, int32_t distance, uint32_t velocity,
                                uint32_t acceleration, int32_t pin = 0, int32_t level = 0) {
  proto::Payload p{};
  auto put = [&p](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[static_cast<size_t>(at + i)] = static_cast<uint8_t>(v >> (8 * i));
  };
  const uint32_t magnitude =
      distance >= 0 ? static_cast<uint32_t>(distance) : 0u - static_cast<uint32_t>(distance);
  put(0, static_cast<uint32_t>(axis));
  put(4, distance >= 0 ? 1u : 0u);
  put(8, magnitude);
  put(12, velocity);
  put(16, acceleration);
  put(20, static_cast<uint32_t>(pin));
  put(24, static_cast<uint32_t>(level));
  p[63] = 11;
  return p;
}

// The commands written to the board since the transcript was cleared,
// Status exchanges left out.
inline std::vector<uint8_t> Commands(const sim::BoardSim& board) {
  std::vector<uint8_t> codes;
  for (const auto& e : board.Transcript()) {
    if (e.Dir == sim::Direction::ToBoard && !e.Failed && e.Command != proto::kStatus)
      codes.push_back(e.Command);
  }
  return codes;
}

inline std::vector<proto::Payload> Moves(const sim::BoardSim& board) {
  return board.Written(proto::kMove);
}

// Starts the machine, lets the first reset settle, and clears the logs and
// the flags the settle raised, so a scenario sees only its own effects.
inline void StartIdle(sim::Machine& m) {
  m.Start();
  m.Update();
  ASSERT_TRUE(m.LinkUp());
  ASSERT_EQ(m.ctx->Device->Sequence, SeqIdle);
  m.board.ClearTranscript();
  m.host.ClearStatusHistory();
  m.host.ClearCallLog();
  m.host.ClearSync();
  m.host.SetExternalStill(false);
}

inline MyDeviceClass& Device(sim::Machine& m) { return *m.ctx->Device; }

using Texts = std::vector<std::string>;

}  // namespace vx::test
