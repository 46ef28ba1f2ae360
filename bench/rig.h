// The machine the benchmarks drive: the plug-in started against the host
// simulator, with a board that answers at once from canned reports (a
// zero-latency board at the HID seam), the host's write log off and
// callbacks that cost next to nothing, so what is measured is the plug-in.
#pragma once

#include <cstdint>
#include <cstring>

#include "link/board_protocol.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"
#include "sim/machine.h"

namespace vx::bench {

// Heap allocations made by this process so far (operator new is counted).
uint64_t Allocations();

// Instruction counting under callgrind: only the plug-in's own work is
// collected while a probe runs; the board's answers are left out.
void SetProbing(bool on);
bool Probing();
void ToggleCollect();

// Answers every report at once: Status, SegmentsAck and SegmentsEnd with an
// idle board at position 0 that invites twelve packets per SegmentsAck,
// Identify with its code. Enumeration and opening go to the fake HID list.
class ZeroLatencyBoard : public HidApi {
 public:
  explicit ZeroLatencyBoard(HidApi* enumeration) : enumeration_(enumeration) {
    for (uint8_t code : {proto::kStatus, proto::kSegmentsAck, proto::kSegmentsEnd, proto::kIdentify}) {
      uint8_t* p = proto::PayloadOf(answers_[code]);
      if (code != proto::kIdentify) {
        p[proto::input::IdleByte] = 0x80;
        proto::PutU32(p + proto::input::Line, proto::segments::kNoLine);
      }
      if (code == proto::kSegmentsAck) p[proto::input::AckInterval] = 120;
      p[proto::kCommandByte] = code;
    }
  }

  Handle GetClassDevs() override { return enumeration_->GetClassDevs(); }
  bool EnumDeviceInterfaces(Handle set, uint32_t index, InterfaceData* data) override {
    return enumeration_->EnumDeviceInterfaces(set, index, data);
  }
  uint32_t GetInterfaceDetailSize(Handle set, const InterfaceData& data) override {
    return enumeration_->GetInterfaceDetailSize(set, data);
  }
  bool GetInterfaceDetail(Handle set, const InterfaceData& data, uint8_t* record, uint32_t size) override {
    return enumeration_->GetInterfaceDetail(set, data, record, size);
  }
  void DestroyDeviceInfoList(Handle set) override { enumeration_->DestroyDeviceInfoList(set); }
  Handle OpenDevice(const char* path) override { return enumeration_->OpenDevice(path); }
  bool GetCaps(Handle device, HidCapsInfo* caps) override { return enumeration_->GetCaps(device, caps); }
  bool GetAttributes(Handle device, HidAttributesInfo* attributes) override {
    return enumeration_->GetAttributes(device, attributes);
  }
  void CloseDevice(Handle device) override { enumeration_->CloseDevice(device); }

  bool WriteReport(Handle, const uint8_t* report, uint32_t) override {
    if (Probing()) ToggleCollect();
    const uint8_t code = report[proto::kPayloadOffset + proto::kCommandByte];
    ++written[code];
    if (proto::IsAnswered(code)) pending_ = code;
    if (Probing()) ToggleCollect();
    return true;
  }
  bool ReadReport(Handle, uint8_t* report, uint32_t size) override {
    if (Probing()) ToggleCollect();
    std::memcpy(report, answers_[pending_].data(), size < proto::kReportSize ? size : proto::kReportSize);
    if (Probing()) ToggleCollect();
    return true;
  }

  uint64_t written[256] = {};

 private:
  HidApi* enumeration_;
  proto::Report answers_[256] = {};
  uint8_t pending_ = proto::kStatus;
};

// The plug-in, started and settled, streaming into the zero-latency board.
class Rig {
 public:
  Rig();
  PluginContext& ctx() { return *machine_.ctx; }
  sim::HostSim& host() { return machine_.host; }
  ZeroLatencyBoard& board() { return board_; }
  // Makes `n` records wait in the ring (their contents were written once).
  void Queue(int n);
  // Updates until the stream is closed and the board idle.
  void Drain();

 private:
  sim::Machine machine_;
  ZeroLatencyBoard board_;
};

}  // namespace vx::bench
