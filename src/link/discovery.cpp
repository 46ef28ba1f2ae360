#include "link/discovery.h"

#include <cstring>
#include <new>
#include <string_view>

#include "plugin/plugin_context.h"

namespace vx {
namespace {

// The fixed header of a 32-bit SP_DEVICE_INTERFACE_DETAIL_DATA_A: the size
// field the caller must set before the fetch.
constexpr uint32_t kDetailHeaderSize = 5;
constexpr uint32_t kDetailPathOffset = 4;
// A size the system would never ask for; refusing it keeps a broken driver
// stack from making us allocate without bound.
constexpr uint32_t kMaxDetailSize = 64 * 1024;

// DEV_BROADCAST_HDR: size, device type, reserved.
constexpr uint32_t kBroadcastHeaderSize = 12;
constexpr uint32_t kBroadcastTypeOffset = 4;
// "\\?\" in front of the device path.
constexpr size_t kPathPrefixLength = 4;

bool IsBoardIdentity(const HidAttributesInfo& a) {
  return a.VendorID == board_id::kVendor && a.ProductID == board_id::kProduct &&
         a.VersionNumber == board_id::kVersion;
}

void CloseBoardHandle(PluginContext& ctx) {
  if (ctx.BoardHandle != kInvalidHandle && ctx.os.Hid != nullptr) ctx.os.Hid->CloseDevice(ctx.BoardHandle);
  ctx.BoardHandle = kInvalidHandle;
}

}  // namespace

void DeviceInterfaceTable::Clear() {
  for (auto& s : slots_) s = DetailRecord{};
  count_ = 0;
}

bool DeviceInterfaceTable::Add(DetailRecord&& record) {
  if (count_ >= kCapacity) return false;
  slots_[count_++] = std::move(record);
  return true;
}

int DiscoverBoard(PluginContext& ctx) {
  HidApi* hid = ctx.os.Hid;
  if (hid == nullptr) return 0;
  Handle set = hid->GetClassDevs();
  if (set == kInvalidHandle) return 0;

  int result = 0;
  // The record of the candidate under test; released when replaced or when
  // the loop ends unless it moved into the table.
  DetailRecord record;
  for (uint32_t index = 0;; ++index) {
    InterfaceData data;
    if (!hid->EnumDeviceInterfaces(set, index, &data)) break;

    uint32_t size = hid->GetInterfaceDetailSize(set, data);
    if (size <= kDetailHeaderSize || size > kMaxDetailSize) continue;
    record.Bytes.reset(new (std::nothrow) uint8_t[size]());
    record.Size = 0;
    if (!record.Bytes) continue;
    record.Size = size;
    proto::PutU32(record.Bytes.get(), kDetailHeaderSize);
    if (!hid->GetInterfaceDetail(set, data, record.Bytes.get(), size)) continue;
    // The path must end inside the record, whatever the driver wrote.
    record.Bytes[size - 1] = 0;

    Handle probe = hid->OpenDevice(record.Path());
    if (probe == kInvalidHandle) continue;
    HidCapsInfo caps;
    if (!hid->GetCaps(probe, &caps)) {
      hid->CloseDevice(probe);
      continue;
    }
    HidAttributesInfo attributes;
    // Unreadable attributes stay zero and so fail the identity test.
    if (!hid->GetAttributes(probe, &attributes)) attributes = HidAttributesInfo{};
    hid->CloseDevice(probe);

    if (caps.UsagePage == board_id::kUsagePage && caps.Usage == board_id::kUsage) {
      // A record with the right usage keeps its slot even when its identity
      // is wrong; a later board then wins with a higher position.
      if (!ctx.Interfaces.Add(std::move(record))) break;
      record = DetailRecord{};
      result = ctx.Interfaces.Count();
      if (!IsBoardIdentity(attributes)) result = 0;
    }
    if (result > 0) break;
    if (ctx.Interfaces.Count() >= DeviceInterfaceTable::kCapacity) break;
  }
  record = DetailRecord{};
  hid->DestroyDeviceInfoList(set);
  return result;
}

void OpenBoard(PluginContext& ctx, const DetailRecord& record) {
  LockGuard lock(ctx.os.BoardLock);
  if (ctx.os.Hid == nullptr || !record.Bytes || record.Size <= kDetailPathOffset) {
    ctx.BoardHandle = kInvalidHandle;
    return;
  }
  ctx.BoardHandle = ctx.os.Hid->OpenDevice(record.Path());
}

void HookMainWindow(PluginContext& ctx) {
  ctx.MainWindow = ctx.host.MainWindow();
  WindowApi* windows = ctx.os.Windows;
  if (windows == nullptr || ctx.MainWindow == 0) return;
  uintptr_t previous = windows->GetWindowProc(ctx.MainWindow);
  // Without the previous procedure every message would be swallowed: leave
  // the window alone and do without hot-plug.
  if (previous == 0) return;
  ctx.PreviousWndProc = previous;
  windows->SetWindowProc(ctx.MainWindow, windows->PluginWindowProc());
  const uint8_t* classGuids[] = {board_id::kHidClassGuid};
  for (const uint8_t* guid : classGuids) {
    if (!windows->RegisterDeviceNotification(ctx.MainWindow, guid)) break;
  }
}

intptr_t MainWindowProc(PluginContext& ctx, Handle window, uint32_t message, uintptr_t wParam,
                        intptr_t lParam) {
  if (message == wm::kDeviceChange &&
      (wParam == wm::kDeviceArrival || wParam == wm::kDeviceRemoveComplete) && lParam != 0) {
    const uint8_t* broadcast = reinterpret_cast<const uint8_t*>(lParam);
    if (proto::GetU32(broadcast) >= kBroadcastHeaderSize &&
        proto::GetU32(broadcast + kBroadcastTypeOffset) == wm::kDevTypDeviceInterface)
      OnDeviceChange(ctx, broadcast, wParam);
  }
  if (ctx.os.Windows == nullptr) return 0;
  return ctx.os.Windows->CallWindowProc(ctx.PreviousWndProc, window, message, wParam, lParam);
}

void OnDeviceChange(PluginContext& ctx, const uint8_t* broadcast, uintptr_t event) {
  if (broadcast == nullptr) return;
  // The name is read only within the size the broadcast declares, so a name
  // without its terminator cannot lead past the record.
  uint32_t declared = proto::GetU32(broadcast);
  if (declared <= wm::kBroadcastNameOffset) return;
  const char* name = reinterpret_cast<const char*>(broadcast + wm::kBroadcastNameOffset);
  size_t limit = declared - wm::kBroadcastNameOffset;
  const void* end = std::memchr(name, 0, limit);
  size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - name) : limit;
  if (length <= kPathPrefixLength) return;
  std::string_view path(name + kPathPrefixLength, length - kPathPrefixLength);
  if (path.find(board_id::kPathUpper) == std::string_view::npos &&
      path.find(board_id::kPathMixed) == std::string_view::npos)
    return;

  // The whole change runs under the board lock: an export on another thread
  // sees either the old board or the new one, never a half-replaced handle
  // or a half-posted message.
  LockGuard lock(ctx.os.BoardLock);
  if (event == wm::kDeviceArrival) {
    CloseBoardHandle(ctx);
    ctx.Interfaces.Clear();
    int found = DiscoverBoard(ctx);
    if (found > 0) {
      OpenBoard(ctx, *ctx.Interfaces.At(found - 1));
      if (ctx.BoardHandle != kInvalidHandle) {
        ctx.host.PostStatus(msg::kConnected);
        ctx.BoardPresent = 1;
      }
    }
    // Whatever the new board is, the machine waits for the host's reset.
    ctx.host.SetEStop(true);
  } else if (event == wm::kDeviceRemoveComplete) {
    CloseBoardHandle(ctx);
    ctx.BoardPresent = 0;
    ctx.host.PostStatus(msg::kNoBoard);
  }
}

}  // namespace vx
