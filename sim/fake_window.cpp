#include "sim/fake_window.h"

#include <cstring>

#include "link/board_protocol.h"
#include "link/discovery.h"

namespace vx::sim {

FakeWindow::FakeWindow() { procs_[kMainWindow] = kOriginalProc; }

uintptr_t FakeWindow::CurrentProc(Handle window) const {
  auto it = procs_.find(window);
  return it == procs_.end() ? 0 : it->second;
}

intptr_t FakeWindow::Send(Handle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  uintptr_t proc = CurrentProc(window);
  if (proc == kPluginProc && PluginTarget) return PluginTarget(window, message, wParam, lParam);
  return CallWindowProc(proc, window, message, wParam, lParam);
}

uintptr_t FakeWindow::GetWindowProc(Handle window) { return CurrentProc(window); }

void FakeWindow::SetWindowProc(Handle window, uintptr_t proc) {
  ++setProcCalls_;
  // Like SetWindowLongA on a window that does not exist: nothing happens.
  auto it = procs_.find(window);
  if (it != procs_.end()) it->second = proc;
}

intptr_t FakeWindow::CallWindowProc(uintptr_t previous, Handle window, uint32_t message,
                                    uintptr_t wParam, intptr_t lParam) {
  previousCalls_.push_back(ProcCall{previous, window, message, wParam, lParam});
  return PreviousResult;
}

bool FakeWindow::RegisterDeviceNotification(Handle window, const uint8_t classGuid[16]) {
  Registration r;
  r.Window = window;
  std::memcpy(r.Guid, classGuid, 16);
  registrations_.push_back(r);
  return RegisterResult;
}

std::vector<uint8_t> DeviceInterfaceBroadcast(const std::string& name, bool terminate,
                                              uint32_t declaredSize, uint32_t deviceType) {
  std::vector<uint8_t> record(wm::kBroadcastNameOffset + name.size() + (terminate ? 1 : 0), 0);
  uint32_t size = declaredSize != 0 ? declaredSize : static_cast<uint32_t>(record.size());
  proto::PutU32(record.data(), size);
  proto::PutU32(record.data() + 4, deviceType);
  std::memcpy(record.data() + 12, board_id::kHidClassGuid, 16);
  std::memcpy(record.data() + wm::kBroadcastNameOffset, name.data(), name.size());
  return record;
}

std::string BoardBroadcastName(bool mixedCase) {
  return std::string("\\\\?\\") + (mixedCase ? board_id::kPathMixed : board_id::kPathUpper) +
         "#7&2A5F0000&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

}  // namespace vx::sim
