// Window subclassing without Windows: one main window whose procedure chain
// is tracked, calls to the previous procedure recorded, and device-change
// broadcasts built as the system lays them out.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vx::sim {

class FakeWindow : public WindowApi {
 public:
  static constexpr Handle kMainWindow = 0x000A0B2C;
  static constexpr uintptr_t kOriginalProc = 0x00401230;  // the host's own procedure
  static constexpr uintptr_t kPluginProc = 0x10001000;    // the plug-in's replacement

  struct ProcCall {
    uintptr_t Proc = 0;
    Handle Window = 0;
    uint32_t Message = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
  };
  struct Registration {
    Handle Window = 0;
    uint8_t Guid[16] = {};
  };

  FakeWindow();

  // What the previous procedure answers.
  intptr_t PreviousResult = 0x5A5A;
  // What RegisterDeviceNotificationA returns.
  bool RegisterResult = true;
  // Called when a message reaches kPluginProc (tests route it to
  // MainWindowProc).
  std::function<intptr_t(Handle, uint32_t, uintptr_t, intptr_t)> PluginTarget;

  // Delivers a message through the window's current procedure, as the
  // system's dispatch would.
  intptr_t Send(Handle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

  uintptr_t CurrentProc(Handle window) const;
  void SetInitialProc(Handle window, uintptr_t proc) { procs_[window] = proc; }
  const std::vector<ProcCall>& PreviousCalls() const { return previousCalls_; }
  const std::vector<Registration>& Registrations() const { return registrations_; }
  int SetProcCalls() const { return setProcCalls_; }

  // ---- WindowApi
  uintptr_t GetWindowProc(Handle window) override;
  void SetWindowProc(Handle window, uintptr_t proc) override;
  uintptr_t PluginWindowProc() override { return kPluginProc; }
  intptr_t CallWindowProc(uintptr_t previous, Handle window, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
  bool RegisterDeviceNotification(Handle window, const uint8_t classGuid[16]) override;

 private:
  std::map<Handle, uintptr_t> procs_;
  std::vector<ProcCall> previousCalls_;
  std::vector<Registration> registrations_;
  int setProcCalls_ = 0;
};

// A DEV_BROADCAST_DEVICEINTERFACE_A record: size, device type, reserved,
// class GUID, then `name`. `declaredSize` 0 declares the true size; with
// `terminate` false the name has no terminator inside the record.
std::vector<uint8_t> DeviceInterfaceBroadcast(const std::string& name, bool terminate = true,
                                              uint32_t declaredSize = 0,
                                              uint32_t deviceType = 5);
// The name the system gives the board in its broadcasts.
std::string BoardBroadcastName(bool mixedCase = false);

}  // namespace vx::sim
