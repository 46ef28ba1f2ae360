// The plug-in's whole state: one object. The DLL's exports use one
// process-wide instance; tests and the simulators build their own.
#pragma once

#include <cstdint>
#include <memory>

#include "link/board_protocol.h"
#include "link/discovery.h"
#include "plugin/host_view.h"
#include "platform/platform.h"

namespace vx {

class MyDeviceClass;

// Which messages a Status exchange posts when a transfer fails.
enum class StatusReport {
  Silent,      // the host's stop notification: only the link flags
  UpdateCycle, // "Cnc communicate error!" (write) / "...!!" (read)
  Reset,       // "Cnc communicate error!!" for both
};

// Status-line texts, exactly as the user sees them.
namespace msg {
constexpr const char* kNoBoard = "No VendrixBoard, Please plug it in!";
constexpr const char* kConnected = "Vendrix Connected.";
constexpr const char* kStarting = "Starting Vendrix plugin";
constexpr const char* kResetConnected = "Vendrix connected";
constexpr const char* kIdentifyError = "Vendrix communicate error!!";
constexpr const char* kCommError1 = "Cnc communicate error!";
constexpr const char* kCommError2 = "Cnc communicate error!!";
}  // namespace msg

constexpr const char* kPluginName = "TQ-Vendrix-V2.1";
constexpr const char* kDefaultSettingsPath = "\\MACH3\\plugin.dat";

// Notify codes.
constexpr int kNotifyStop = 14;
constexpr int kNotifyStopAlt = 0x12000E;
constexpr int kNotifyClearLine = 12;

class PluginContext {
 public:
  explicit PluginContext(const Platform& platform);
  ~PluginContext();
  PluginContext(const PluginContext&) = delete;
  PluginContext& operator=(const PluginContext&) = delete;

  // ---- The exports, with the host's argument slots as they arrive.
  uint8_t InitControl(HostAddr engine, HostAddr settings, HostAddr planner,
                      HostAddr view);
  void PostInitControl();
  static const char* SetProName(const char* name);
  void Update();
  void Notify(int32_t code);
  void DoDwell(double time);
  void Reset();
  void JogOn(int32_t axis, int32_t direction, double speed);
  void JogOff(int32_t axis);
  void Purge(int32_t flags);
  void Probe();
  void Home(int32_t axis);
  void SetGetMenuRange(GetMenuRangeFn f) { host.Callbacks().GetMenuRange = f; }
  void SetDoButton(DoButtonFn f) { host.Callbacks().DoButton = f; }
  void SetSetDRO(SetDroFn f) { host.Callbacks().SetDRO = f; }
  void SetGetDRO(GetDroFn f) { host.Callbacks().GetDRO = f; }
  void SetGetLED(GetLedFn f) { host.Callbacks().GetLED = f; }
  void SetSetLED(SetLedFn f) { host.Callbacks().SetLED = f; }
  void SetCode(CodeFn f) { host.Callbacks().Code = f; }

  // Start of the device: hardware object, console, first full reset.
  void StartDevice(const char* name, bool console);

  // Link-down rule: every failed write or read.
  void LinkDown() {
    LinkError = 1;
    LinkUp = 0;
  }

  // ---- State
  Platform os;
  HostView host;

  int MenuCommandId = 0;
  std::unique_ptr<MyDeviceClass> Device;

  uint8_t LinkError = 1;
  uint8_t LinkUp = 0;
  uint8_t BoardPresent = 0;
  Handle BoardHandle = kInvalidHandle;

  proto::Report OutReport{};
  proto::Report InReport{};
  proto::Payload BoardState{};
  proto::Payload OutputBlock{};
  proto::Payload SegmentBuffer{};

  DeviceInterfaceTable Interfaces;
  Handle MainWindow = 0;
  uintptr_t PreviousWndProc = 0;

  const char* SettingsPath = kDefaultSettingsPath;
  int PulseFrequency = 65;
  int PulseFrequencyHz = 65000;

  // Segment encoder and streaming.
  uint8_t SlotCount = 0;
  int32_t PacketCount = 0;
  uint8_t AckInterval = 9;
  uint8_t AckPending = 0;
  uint8_t EndPending = 0;
  uint8_t SpeedTooHigh = 0;
  int32_t LastSentLine = 0;
  uint8_t BufferEndingSeen = 0;

  // Update cycle.
  uint8_t PollCount = 0;
  int32_t UpdateBusy = 0;
  uint8_t EStopLatched = 0;
  uint8_t EStopRepeat = 0;
  uint8_t LimitOverLatched = 0;
  uint8_t BoardIdle = 0;

  // Identification texts of the last answered Identify.
  char BoardSerial[11] = {};
  char BoardVersion[4] = {};

  uint8_t* OutPayload() { return proto::PayloadOf(OutReport); }
  uint8_t* InPayload() { return proto::PayloadOf(InReport); }
};

}  // namespace vx
