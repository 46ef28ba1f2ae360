// Finding the board among the HID interfaces, opening it, and following it
// through unplugging and replugging (device-change messages on the host's
// main window).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace vx {

class PluginContext;

// Board identity, compared exactly.
namespace board_id {
constexpr uint16_t kUsagePage = 0x008B;
constexpr uint16_t kUsage = 0x0001;
constexpr uint16_t kVendor = 0x3698;
constexpr uint16_t kProduct = 0x0107;
constexpr uint16_t kVersion = 0x0200;
constexpr const char* kPathUpper = "HID#VID_3698&PID_0107";
constexpr const char* kPathMixed = "HID#Vid_3698&Pid_0107";
// {4D1E55B2-F16F-11CF-88CB-001111000030}, little-endian GUID bytes.
constexpr uint8_t kHidClassGuid[16] = {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,
                                       0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
}  // namespace board_id

// Window messages and device-change events.
namespace wm {
constexpr uint32_t kDeviceChange = 0x0219;
constexpr uintptr_t kDeviceArrival = 0x8000;
constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDevTypDeviceInterface = 5;
// DEV_BROADCAST_DEVICEINTERFACE_A: size, device type, reserved, class GUID,
// then the zero-terminated name.
constexpr uint32_t kBroadcastNameOffset = 28;
}  // namespace wm

// One SP_DEVICE_INTERFACE_DETAIL_DATA_A record: a 4-byte size field then the
// zero-terminated device path.
struct DetailRecord {
  std::unique_ptr<uint8_t[]> Bytes;
  uint32_t Size = 0;
  const char* Path() const { return reinterpret_cast<const char*>(Bytes.get() + 4); }
};

// The candidates collected by the last discovery, in the order found. The
// table owns the records; emptying it releases them.
class DeviceInterfaceTable {
 public:
  static constexpr int kCapacity = 30;
  void Clear();
  int Count() const { return count_; }
  const DetailRecord* At(int i) const { return (i >= 0 && i < count_) ? &slots_[i] : nullptr; }
  // Moves a record in; false when full.
  bool Add(DetailRecord&& record);

 private:
  DetailRecord slots_[kCapacity];
  int count_ = 0;
};

// 0 when no board was found, else the board's 1-based table position. The
// caller empties the table first.
int DiscoverBoard(PluginContext& ctx);
// Opens the record's path into BoardHandle (the caller invalidates it first).
void OpenBoard(PluginContext& ctx, const DetailRecord& record);
// Subclasses the main window and registers for HID interface notifications.
void HookMainWindow(PluginContext& ctx);
// The replacement window procedure: never swallows a message.
intptr_t MainWindowProc(PluginContext& ctx, Handle window, uint32_t message,
                        uintptr_t wParam, intptr_t lParam);
// Arrival or removal of a device; `broadcast` is the DEV_BROADCAST record.
void OnDeviceChange(PluginContext& ctx, const uint8_t* broadcast, uintptr_t event);

}  // namespace vx
