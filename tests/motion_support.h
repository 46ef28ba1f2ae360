// A started machine for the motion tests: the plug-in up and settled against
// the host and board simulators, with helpers to read what went over the
// wire and to feed the trajectory ring.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/board_link.h"
#include "link_support.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"
#include "sim/machine.h"

namespace vx::test {

// One report that reached the board (or an answer that reached the plug-in).
struct Wire {
  uint8_t Code = 0;
  proto::Payload Bytes{};
};

// Successful writes to the board, oldest first.
inline std::vector<Wire> Written(const sim::BoardSim& board) {
  std::vector<Wire> out;
  for (const sim::TranscriptEntry& e : board.Transcript()) {
    if (e.Dir != sim::Direction::ToBoard || e.Failed) continue;
    Wire w;
    w.Code = e.Command;
    std::memcpy(w.Bytes.data(), proto::PayloadOf(e.Bytes), proto::kPayloadSize);
    out.push_back(w);
  }
  return out;
}

// Answers the board gave, oldest first.
inline std::vector<Wire> Answers(const sim::BoardSim& board) {
  std::vector<Wire> out;
  for (const sim::TranscriptEntry& e : board.Transcript()) {
    if (e.Dir != sim::Direction::FromBoard || e.Failed) continue;
    Wire w;
    w.Code = e.Command;
    std::memcpy(w.Bytes.data(), proto::PayloadOf(e.Bytes), proto::kPayloadSize);
    out.push_back(w);
  }
  return out;
}

// Command codes written, as names ("Stop Status Identify"), for readable
// failure messages.
inline std::string CodeNames(const sim::BoardSim& board) {
  std::string s;
  for (const Wire& w : Written(board)) {
    if (!s.empty()) s += ' ';
    s += proto::CommandName(w.Code);
  }
  return s;
}

inline bool IsTrajectory(uint8_t code) {
  return code == proto::kSegments || code == proto::kSegmentsAck || code == proto::kSegmentsEnd;
}

inline int CountWritten(const sim::BoardSim& board, uint8_t code) {
  int n = 0;
  for (const Wire& w : Written(board)) n += w.Code == code ? 1 : 0;
  return n;
}

// Line ids of every segment written, in order (SegmentsEnd markers without
// segments add nothing).
inline std::vector<uint32_t> SegmentLines(const sim::BoardSim& board) {
  std::vector<uint32_t> lines;
  for (const Wire& w : Written(board)) {
    if (!IsTrajectory(w.Code)) continue;
    uint8_t n = w.Bytes[proto::segments::Count];
    for (uint8_t i = 0; i < n && i < proto::segments::kPerPacket; ++i)
      lines.push_back(proto::DecodeSegment(w.Bytes.data() + proto::segments::kSegmentSize * i).Line);
  }
  return lines;
}

inline std::string PayloadHex(const proto::Payload& p) { return Hex(p.data(), p.size()); }

// A payload from "offset: bytes" pairs over zeros, code in byte 63.
inline proto::Payload MakePayload(uint8_t code, std::initializer_list<std::pair<int, uint8_t>> bytes) {
  proto::Payload p{};
  for (const auto& b : bytes) p[static_cast<size_t>(b.first)] = b.second;
  p[proto::kCommandByte] = code;
  return p;
}

// The machine started as Mach3 starts it, settled (one Update), with every
// record of the start-up forgotten.
class MotionTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(); }

  void Make(sim::MachineOptions options = {}) {
    m.reset();
    m = std::make_unique<sim::Machine>(std::move(options));
    m->Start();
    m->Update();
    Quiet();
  }
  void Quiet() {
    m->board.ClearTranscript();
    m->host.ClearStatusHistory();
    m->host.ClearCallLog();
    m->host.ClearWriteLog();
  }

  PluginContext& ctx() { return *m->ctx; }
  MyDeviceClass& dev() { return *m->ctx->Device; }
  MyHardwareClass& hw() { return *m->ctx->Device->Hardware; }
  sim::HostSim& host() { return m->host; }
  sim::BoardSim& board() { return m->board; }

  int Encode(double x, int32_t line, double y = 0, double z = 0, double a = 0, double b = 0) {
    const double d[proto::kAxes] = {x, y, z, a, b};
    return hw().EncodeSegment(d, line);
  }
  void Push(double x, int32_t line, double y = 0) {
    const double d[proto::kAxes] = {x, y, 0, 0, 0};
    ASSERT_TRUE(host().PushRecord(d, line));
  }
  void PushMany(int n, double x, int32_t firstLine) {
    for (int i = 0; i < n; ++i) Push(x, firstLine + i);
  }
  std::vector<std::string> Statuses() const { return m->host.StatusHistory(); }

  std::unique_ptr<sim::Machine> m;
};

}  // namespace vx::test
