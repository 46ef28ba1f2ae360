// The one typed view of the host's memory and callbacks. Every byte offset
// of the host's structures that the plug-in uses is named here and nowhere
// else; no value is cached, each read goes to the host at the moment of use.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vx {

// Host callbacks: plain C functions of the 32-bit host. Short arguments
// travel in 32-bit slots, so they are declared int.
using GetDroFn = double (*)(int code);
using SetDroFn = void (*)(int code, double value);
using GetLedFn = uint8_t (*)(int code);  // a C++ bool: only AL is defined
using SetLedFn = void (*)(int code, uint8_t on);
using DoButtonFn = void (*)(int code);
using CodeFn = void (*)(const char* text);
using GetMenuRangeFn = int (*)(int count);

struct HostCallbacks {
  GetDroFn GetDRO = nullptr;
  SetDroFn SetDRO = nullptr;
  GetLedFn GetLED = nullptr;
  SetLedFn SetLED = nullptr;
  DoButtonFn DoButton = nullptr;
  CodeFn Code = nullptr;
  GetMenuRangeFn GetMenuRange = nullptr;
};

// Byte offsets and sizes of the host layout (32-bit Mach3).
namespace host {
constexpr int kAxes = 5;  // X, Y, Z, A, B: the only axes ever touched
constexpr int kRingSize = 4096;
constexpr int32_t kRingMask = 0xFFF;
constexpr int kInSignals = 53;
constexpr int kOutSignals = 30;
constexpr int kMotors = 7;
constexpr int kPulseRates = 7;

namespace engine {
constexpr uint32_t Trajectory = 0;            // 4096 x 40 bytes
constexpr uint32_t TrajectorySize = 40;
constexpr uint32_t TrajLineId = 28;           // in a trajectory record
constexpr uint32_t TrajIndex = 163840;
constexpr uint32_t TrajHead = 163844;
constexpr uint32_t Jogging = 163908;
constexpr uint32_t Sync = 163910;
constexpr uint32_t Axis = 163920;             // 7 x 96 bytes
constexpr uint32_t AxisSize = 96;
constexpr uint32_t AxisPosition = 0;
constexpr uint32_t AxisResetFlagC = 12;
constexpr uint32_t AxisResetFlagB = 13;
constexpr uint32_t AxisJogStopSent = 34;
constexpr uint32_t AxisResetFlagA = 35;
constexpr uint32_t AxisJogging = 36;
constexpr uint32_t AxisJogVelocity = 48;
constexpr uint32_t InSignal = 164592;         // 53 x 16 bytes
constexpr uint32_t InSignalSize = 16;
constexpr uint32_t InActive = 0;
constexpr uint32_t InPin = 1;
constexpr uint32_t InPort = 2;
constexpr uint32_t InNegated = 3;
constexpr uint32_t InActivated = 8;
constexpr uint32_t OutSignal = 165440;        // 30 x 5 bytes
constexpr uint32_t OutSignalSize = 5;
constexpr uint32_t OutActive = 0;
constexpr uint32_t OutNegated = 3;
constexpr uint32_t OutActivated = 4;
constexpr uint32_t Motor = 165592;            // 7 x 104 bytes
constexpr uint32_t MotorSize = 104;
constexpr uint32_t MotorResetFlag = 0;
constexpr uint32_t EStop = 166367;
constexpr uint32_t DwellTime = 166476;
constexpr uint32_t JogReverse = 166484;       // + axis
constexpr uint32_t ProbeActive = 166492;
constexpr uint32_t CurrentLine = 166500;
constexpr uint32_t LastLine = 166504;
constexpr uint32_t Referenced = 166553;       // + axis
constexpr uint32_t HomingActive = 166784;
constexpr uint32_t SlimHi = 166988;           // + 4 x axis
constexpr uint32_t SlimLo = 167012;           // + 4 x axis
constexpr uint32_t SoftLimitsEnable = 167039;
constexpr uint32_t HomePosition = 167096;     // + 4 x axis
constexpr uint32_t OffLine = 167278;
constexpr uint32_t Size = 167280;
}  // namespace engine

namespace planner {
constexpr uint32_t Steps = 586904;            // + 8 x axis
constexpr uint32_t Vel = 586952;              // + 8 x axis
constexpr uint32_t Acc = 587000;              // + 8 x axis
constexpr uint32_t HomeSpeedPercent = 801584; // + 4 x axis
constexpr uint32_t HomeDirection = 801656;    // + axis
constexpr uint32_t ProbeTarget = 801776;      // 3 doubles: X, Y, Z
constexpr uint32_t Jogging = 801965;
constexpr uint32_t StatusMessage = 1161996;   // pointer to characters
constexpr uint32_t MachinePosition = 1170544; // + 8 x axis
constexpr uint32_t ProbePending = 1170848;
constexpr uint32_t DwellMilliseconds = 1171517;
constexpr uint32_t Moves = 1177752;           // 4096 x 288 bytes
constexpr uint32_t MovesSize = 288;
constexpr uint32_t MoveStepDelta = 32;        // 5 doubles in a Moves record
constexpr uint32_t PulseRate = 2384280;       // 7 doubles
constexpr uint32_t ExternalStill = 2384336;
constexpr uint32_t SoftWait = 2384616;        // uint64
constexpr uint32_t InitWord = 2384726;
constexpr uint32_t BufferEnding = 2745176;
constexpr uint32_t InitReal = 2745184;
constexpr uint32_t InitCount = 2745192;
constexpr uint32_t Size = 2745200;
}  // namespace planner

namespace settings {
constexpr uint32_t JogPercent = 122584;
constexpr uint32_t Size = 122592;
}  // namespace settings

namespace view {
constexpr uint32_t InitFlag = 133936;
constexpr uint32_t JogFullSpeed = 133940;     // pointer to a flag byte
constexpr uint32_t MainFrame = 133948;        // pointer to the frame object
constexpr uint32_t Size = 133952;
constexpr uint32_t FrameWindowHandle = 28;    // in the frame object
}  // namespace view

// The header in front of the characters of a host string.
namespace string {
constexpr uint32_t HeaderSize = 16;
constexpr uint32_t Manager = 0;
constexpr uint32_t Length = 4;
constexpr uint32_t Allocated = 8;
constexpr uint32_t RefCount = 12;
}  // namespace string
}  // namespace host

class HostView {
 public:
  HostView() = default;
  explicit HostView(HostMemory* memory) : memory_(memory) {}

  void SetMemory(HostMemory* memory) {
    memory_ = memory;
    MapRegions();
  }
  HostMemory* Memory() const { return memory_; }
  void Attach(HostAddr engine, HostAddr settings, HostAddr planner,
              HostAddr view) {
    regions_[Engine].Base = engine;
    regions_[Settings].Base = settings;
    regions_[Planner].Base = planner;
    regions_[View].Base = view;
    MapRegions();
  }
  HostAddr EngineAddr() const { return regions_[Engine].Base; }
  HostAddr SettingsAddr() const { return regions_[Settings].Base; }
  HostAddr PlannerAddr() const { return regions_[Planner].Base; }
  HostAddr ViewAddr() const { return regions_[View].Base; }

  HostCallbacks& Callbacks() { return callbacks_; }
  const HostCallbacks& Callbacks() const { return callbacks_; }

  // ---- Engine: trajectory ring
  int32_t TrajIndex() const { return Field<int32_t>(Engine, host::engine::TrajIndex); }
  void SetTrajIndex(int32_t v) { SetField<int32_t>(Engine, host::engine::TrajIndex, v); }
  int32_t TrajHead() const { return Field<int32_t>(Engine, host::engine::TrajHead); }
  bool RingEmpty() const { return TrajHead() == TrajIndex(); }
  // Record i of the ring, i in 0..4095 (masked).
  int32_t TrajLineId(int32_t i) const {
    return Field<int32_t>(Engine, host::engine::Trajectory + host::engine::TrajectorySize * Ring(i) +
                                      host::engine::TrajLineId);
  }

  // ---- Engine: flags
  bool EngineJogging() const { return FlagField(Engine, host::engine::Jogging); }
  void SetEngineJogging(bool v) { SetFlagField(Engine, host::engine::Jogging, v); }
  void SetSync() { SetFlagField(Engine, host::engine::Sync, true); }
  bool Sync() const { return FlagField(Engine, host::engine::Sync); }
  bool EStop() const { return FlagField(Engine, host::engine::EStop); }
  void SetEStop(bool v) { SetFlagField(Engine, host::engine::EStop, v); }
  void SetDwellTime(int32_t v) { SetField<int32_t>(Engine, host::engine::DwellTime, v); }
  bool JogReverse(int a) const { return FlagField(Engine, host::engine::JogReverse + Ax(a)); }
  void SetProbeActive(int32_t v) { SetField<int32_t>(Engine, host::engine::ProbeActive, v); }
  int32_t CurrentLine() const { return Field<int32_t>(Engine, host::engine::CurrentLine); }
  void SetCurrentLine(int32_t v) { SetField<int32_t>(Engine, host::engine::CurrentLine, v); }
  int32_t LastLine() const { return Field<int32_t>(Engine, host::engine::LastLine); }
  void SetLastLine(int32_t v) { SetField<int32_t>(Engine, host::engine::LastLine, v); }
  void SetReferenced(int a, bool v) { SetFlagField(Engine, host::engine::Referenced + Ax(a), v); }
  bool HomingActive() const { return FlagField(Engine, host::engine::HomingActive); }
  void SetHomingActive(bool v) { SetFlagField(Engine, host::engine::HomingActive, v); }
  int32_t SlimHi(int a) const { return Field<int32_t>(Engine, host::engine::SlimHi + 4 * Ax(a)); }
  int32_t SlimLo(int a) const { return Field<int32_t>(Engine, host::engine::SlimLo + 4 * Ax(a)); }
  bool SoftLimitsEnable() const { return FlagField(Engine, host::engine::SoftLimitsEnable); }
  int32_t HomePosition(int a) const { return Field<int32_t>(Engine, host::engine::HomePosition + 4 * Ax(a)); }
  bool OffLine() const { return FlagField(Engine, host::engine::OffLine); }

  // ---- Engine: axis records (axes 0..4)
  int32_t Position(int a) const { return Field<int32_t>(Engine, AxisOffset(a, host::engine::AxisPosition)); }
  void SetPosition(int a, int32_t v) { SetField<int32_t>(Engine, AxisOffset(a, host::engine::AxisPosition), v); }
  bool ResetFlagA(int a) const { return FlagField(Engine, AxisOffset(a, host::engine::AxisResetFlagA)); }
  bool ResetFlagB(int a) const { return FlagField(Engine, AxisOffset(a, host::engine::AxisResetFlagB)); }
  bool ResetFlagC(int a) const { return FlagField(Engine, AxisOffset(a, host::engine::AxisResetFlagC)); }
  void SetJogStopSent(int a, bool v) { SetFlagField(Engine, AxisOffset(a, host::engine::AxisJogStopSent), v); }
  void SetAxisJogging(int a, bool v) { SetFlagField(Engine, AxisOffset(a, host::engine::AxisJogging), v); }
  void SetJogVelocity(int a, int32_t v) { SetField<int32_t>(Engine, AxisOffset(a, host::engine::AxisJogVelocity), v); }

  // ---- Engine: input signals (0..52), output signals (0..29), motors (0..6)
  bool InActive(int s) const { return FlagField(Engine, InOffset(s, host::engine::InActive)); }
  int8_t InPin(int s) const { return Field<int8_t>(Engine, InOffset(s, host::engine::InPin)); }
  int8_t InPort(int s) const { return Field<int8_t>(Engine, InOffset(s, host::engine::InPort)); }
  bool InNegated(int s) const { return FlagField(Engine, InOffset(s, host::engine::InNegated)); }
  bool InActivated(int s) const { return FlagField(Engine, InOffset(s, host::engine::InActivated)); }
  void SetInActivated(int s, bool v) { SetFlagField(Engine, InOffset(s, host::engine::InActivated), v); }
  bool OutActive(int o) const { return FlagField(Engine, OutOffset(o, host::engine::OutActive)); }
  bool OutNegated(int o) const { return FlagField(Engine, OutOffset(o, host::engine::OutNegated)); }
  bool OutActivated(int o) const { return FlagField(Engine, OutOffset(o, host::engine::OutActivated)); }
  bool MotorResetFlag(int m) const {
    return FlagField(Engine, host::engine::Motor + host::engine::MotorSize * static_cast<uint32_t>(m & 7) +
                                 host::engine::MotorResetFlag);
  }

  // ---- MainPlanner
  double Steps(int a) const { return Field<double>(Planner, host::planner::Steps + 8 * Ax(a)); }
  double Vel(int a) const { return Field<double>(Planner, host::planner::Vel + 8 * Ax(a)); }
  double Acc(int a) const { return Field<double>(Planner, host::planner::Acc + 8 * Ax(a)); }
  int32_t HomeSpeedPercent(int a) const { return Field<int32_t>(Planner, host::planner::HomeSpeedPercent + 4 * Ax(a)); }
  bool HomeDirection(int a) const { return FlagField(Planner, host::planner::HomeDirection + Ax(a)); }
  // Probe target, c = 0 (X), 1 (Y), 2 (Z).
  double ProbeTarget(int c) const {
    return Field<double>(Planner, host::planner::ProbeTarget + 8 * static_cast<uint32_t>(c < 0 || c > 2 ? 0 : c));
  }
  void SetPlannerJogging(bool v) { SetFlagField(Planner, host::planner::Jogging, v); }
  double MachinePosition(int a) const { return Field<double>(Planner, host::planner::MachinePosition + 8 * Ax(a)); }
  void SetProbePending(int32_t v) { SetField<int32_t>(Planner, host::planner::ProbePending, v); }
  bool DwellMilliseconds() const { return FlagField(Planner, host::planner::DwellMilliseconds); }
  // The five step increments of planner record i (the record is copied out
  // whole first, as the host might rewrite it while it is read).
  void CopyStepDeltas(int32_t i, double out[host::kAxes]) const;
  void SetPulseRate(int m, double v) {
    SetField<double>(Planner, host::planner::PulseRate + 8 * static_cast<uint32_t>(m % host::kPulseRates), v);
  }
  void SetExternalStill(bool v) { SetFlagField(Planner, host::planner::ExternalStill, v); }
  void ClearSoftWait() { SetField<uint64_t>(Planner, host::planner::SoftWait, 0); }
  // Clears bit 56 by a read-modify-write of the upper 32-bit word only.
  void ClearSoftWaitBit56();
  void SetInitWord(int16_t v) { SetField<int16_t>(Planner, host::planner::InitWord, v); }
  bool BufferEnding() const { return FlagField(Planner, host::planner::BufferEnding); }
  void SetInitReal(double v) { SetField<double>(Planner, host::planner::InitReal, v); }
  void SetInitCount(int32_t v) { SetField<int32_t>(Planner, host::planner::InitCount, v); }

  // ---- HostSettings
  double JogPercent() const { return Field<double>(Settings, host::settings::JogPercent); }

  // ---- HostView
  void SetInitFlag(bool v) { SetFlagField(View, host::view::InitFlag, v); }
  // The byte that JogFullSpeed points to.
  bool JogFullSpeed() const {
    return Flag(Field<uint32_t>(View, host::view::JogFullSpeed));
  }
  // The main window's handle: byte 28 of the MainFrame object.
  Handle MainWindow() const {
    HostAddr frame = Field<uint32_t>(View, host::view::MainFrame);
    if (frame == 0) return 0;
    return static_cast<Handle>(Get<uint32_t>(frame + host::view::FrameWindowHandle));
  }

  // ---- Callbacks (the host guarantees them; a missing one reads as zero)
  double GetDRO(int code) const { return callbacks_.GetDRO ? callbacks_.GetDRO(code) : 0.0; }
  void SetDRO(int code, double v) const { if (callbacks_.SetDRO) callbacks_.SetDRO(code, v); }
  bool GetLED(int code) const { return callbacks_.GetLED ? callbacks_.GetLED(code) != 0 : false; }
  void DoButton(int code) const { if (callbacks_.DoButton) callbacks_.DoButton(code); }
  int GetMenuRange(int count) const { return callbacks_.GetMenuRange ? callbacks_.GetMenuRange(count) : 0; }

  // Replaces the text of the host's status line. Posts from the host's
  // threads and from the window thread are serialised by `lock`.
  void PostStatus(const char* text);
  void SetStatusLock(LockApi* lock) { statusLock_ = lock; }

  // Raw access for the host-string code and for tests of the layout.
  template <typename T>
  T Get(HostAddr addr) const {
    T v{};
    if (addr == 0 || memory_ == nullptr) return v;
    if (const uint8_t* p = memory_->Map(addr, sizeof(T), false)) std::memcpy(&v, p, sizeof(T));
    return v;
  }
  template <typename T>
  void Put(HostAddr addr, T v) {
    if (addr == 0 || memory_ == nullptr) return;
    if (uint8_t* p = memory_->Map(addr, sizeof(T), true)) std::memcpy(p, &v, sizeof(T));
  }

 private:
  bool Flag(HostAddr addr) const { return Get<uint8_t>(addr) != 0; }
  void PutFlag(HostAddr addr, bool v) { Put<uint8_t>(addr, v ? 1 : 0); }
  // Only axes 0..4 are ever touched; anything else folds onto axis 0 so a
  // stray index can never reach another host field.
  static uint32_t Ax(int a) { return (a >= 0 && a < host::kAxes) ? static_cast<uint32_t>(a) : 0; }
  static uint32_t Ring(int32_t i) { return static_cast<uint32_t>(i) & host::kRingMask; }
  // Offsets in Engine of a field of an axis, input or output record.
  static uint32_t AxisOffset(int a, uint32_t field) {
    return host::engine::Axis + host::engine::AxisSize * Ax(a) + field;
  }
  static uint32_t InOffset(int s, uint32_t field) {
    uint32_t idx = (s >= 0 && s < host::kInSignals) ? static_cast<uint32_t>(s) : 0;
    return host::engine::InSignal + host::engine::InSignalSize * idx + field;
  }
  static uint32_t OutOffset(int o, uint32_t field) {
    uint32_t idx = (o >= 0 && o < host::kOutSignals) ? static_cast<uint32_t>(o) : 0;
    return host::engine::OutSignal + host::engine::OutSignalSize * idx + field;
  }

  // The four structures: host address, and the native address of the
  // whole structure where the memory allows direct access (null otherwise).
  enum Region { Engine, Settings, Planner, View, kRegions };
  struct Mapped {
    HostAddr Base = 0;
    uint8_t* Native = nullptr;
  };
  void MapRegions();
  // `size` bytes at `offset` in a structure: straight through the native
  // address while the memory allows it (no virtual call per field), else
  // through Map. Null when the structure is not attached or not mapped.
  uint8_t* Bytes(Region r, uint32_t offset, uint32_t size, bool write) const {
    const Mapped& m = regions_[r];
    if (m.Native != nullptr && memory_->DirectAccess()) return m.Native + offset;
    if (m.Base == 0 || memory_ == nullptr) return nullptr;
    return memory_->Map(m.Base + offset, size, write);
  }
  template <typename T>
  T Field(Region r, uint32_t offset) const {
    T v{};
    if (const uint8_t* p = Bytes(r, offset, sizeof(T), false)) std::memcpy(&v, p, sizeof(T));
    return v;
  }
  template <typename T>
  void SetField(Region r, uint32_t offset, T v) {
    if (uint8_t* p = Bytes(r, offset, sizeof(T), true)) std::memcpy(p, &v, sizeof(T));
  }
  bool FlagField(Region r, uint32_t offset) const { return Field<uint8_t>(r, offset) != 0; }
  void SetFlagField(Region r, uint32_t offset, bool v) { SetField<uint8_t>(r, offset, v ? 1 : 0); }

  HostMemory* memory_ = nullptr;
  LockApi* statusLock_ = nullptr;
  Mapped regions_[kRegions];
  HostCallbacks callbacks_;
};

}  // namespace vx
