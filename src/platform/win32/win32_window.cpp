// Subclassing of the host's main window and device-interface notifications.
#include <windows.h>

#include <dbt.h>

// The seam's method names, not the ANSI/Unicode switches of <windows.h>.
#undef CallWindowProc
#undef RegisterDeviceNotification

#include <cstring>

#include "link/discovery.h"
#include "platform/win32/win32_platform.h"

namespace vx::win32 {
namespace {

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "32-byte notification filter");

// The replacement procedure the host window gets. Windows calls it with
// __stdcall; the plug-in's own procedure decides everything.
LRESULT CALLBACK PluginWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  PluginContext* ctx = ProcedureTarget();
  if (ctx == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return static_cast<LRESULT>(MainWindowProc(*ctx, reinterpret_cast<Handle>(window), message,
                                             static_cast<uintptr_t>(wParam),
                                             static_cast<intptr_t>(lParam)));
}

class Windows final : public WindowApi {
 public:
  uintptr_t GetWindowProc(Handle window) override {
    return static_cast<uintptr_t>(GetWindowLongA(reinterpret_cast<HWND>(window), GWL_WNDPROC));
  }
  void SetWindowProc(Handle window, uintptr_t proc) override {
    SetWindowLongA(reinterpret_cast<HWND>(window), GWL_WNDPROC, static_cast<LONG>(proc));
  }
  uintptr_t PluginWindowProc() override { return reinterpret_cast<uintptr_t>(&PluginWndProc); }
  intptr_t CallWindowProc(uintptr_t previous, Handle window, uint32_t message,
                          uintptr_t wParam, intptr_t lParam) override {
    return static_cast<intptr_t>(::CallWindowProcA(reinterpret_cast<WNDPROC>(previous),
                                                 reinterpret_cast<HWND>(window), message,
                                                 static_cast<WPARAM>(wParam),
                                                 static_cast<LPARAM>(lParam)));
  }
  bool RegisterDeviceNotification(Handle window, const uint8_t classGuid[16]) override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(&filter.dbcc_classguid, classGuid, sizeof filter.dbcc_classguid);
    // The notification handle is never unregistered: the subscription lasts
    // as long as the process.
    return ::RegisterDeviceNotificationA(reinterpret_cast<HWND>(window), &filter,
                                       DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
  }
};

Windows g_windows;

}  // namespace

WindowApi* SystemWindows() { return &g_windows; }

}  // namespace vx::win32
