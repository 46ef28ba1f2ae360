// One-line text forms of reports, for transcripts: what the plug-in wrote
// and what the board answered, decoded with the protocol definitions.
#pragma once

#include <cstdint>
#include <string>

#include "link/board_protocol.h"

namespace vx::sim {

enum class Direction : uint8_t { ToBoard, FromBoard };

struct TranscriptEntry {
  uint64_t TimeUs = 0;
  Direction Dir = Direction::ToBoard;
  // The command written, or for an answer the command it answers.
  uint8_t Command = 0;
  // The transfer failed (injected fault, unplugged board); Bytes are what
  // was offered (written) or nothing (read).
  bool Failed = false;
  proto::Report Bytes{};
};

// "Move axis=0 dist=-500 vel=1000 acc=20000 stop=pin12@1"
std::string DescribeOutput(const uint8_t* payload);
// The answer to `answered` (Status, SegmentsAck, SegmentsEnd or Identify).
std::string DescribeInput(uint8_t answered, const uint8_t* payload);
// "  12.300 ms -> Status out=0x00000001 ..." / "<- ..."
std::string Describe(const TranscriptEntry& entry);

}  // namespace vx::sim
