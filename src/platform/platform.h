// The narrow operating-system seam. Every interface mirrors a handful of
// Win32 calls one to one; the decisions made around those calls live in the
// portable code. `win32/` implements them with the real API, the simulators
// and tests implement them with fakes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

// An address inside the host process. The host is a 32-bit program, so every
// pointer stored in its structures is 32 bits wide, whatever the build.
using HostAddr = uint32_t;

// Opaque Windows handles (HANDLE, HWND, HMENU, HINSTANCE, HDEVINFO).
using Handle = uintptr_t;
constexpr Handle kInvalidHandle = static_cast<Handle>(-1);  // INVALID_HANDLE_VALUE

// Access to the host's memory and to the host's string managers.
class HostMemory {
 public:
  virtual ~HostMemory() = default;
  // Pointer to `size` bytes at host address `addr`, or null when the range
  // is not host memory. `write` tells a recording fake which bytes change.
  virtual uint8_t* Map(HostAddr addr, uint32_t size, bool write) = 0;

  // The host's reference-counted strings (16-byte header: manager, length,
  // allocated length, reference count; characters follow). A manager is an
  // object at a host address whose methods allocate, reallocate and free
  // such headers. Each call returns the new header's address, or 0 when no
  // memory could be had.
  virtual HostAddr StringAllocate(HostAddr manager, int32_t chars) = 0;
  virtual HostAddr StringReallocate(HostAddr manager, HostAddr header,
                                    int32_t chars) = 0;
  virtual void StringFree(HostAddr manager, HostAddr header) = 0;
  // The plug-in's own string manager, callable by the host.
  virtual HostAddr OwnStringManager() = 0;
  // Told after each PostStatus that left its text on the host's status
  // line. Only a recording fake cares; the real host repaints by itself.
  virtual void StatusPosted() {}

  // True while a pointer from Map stays valid for as long as this memory
  // lives and accesses through it need no bookkeeping (no write log): the
  // host view then reaches the fields of the four host structures through
  // native pointers it took once, without a call per field. Every read
  // still goes to the host's bytes at the moment of the call.
  bool DirectAccess() const { return direct_; }

 protected:
  void SetDirectAccess(bool on) { direct_ = on; }

 private:
  bool direct_ = false;
};

// HID interface class enumeration and device I/O (SetupDi*, HidD_*, HidP_*,
// CreateFileA, ReadFile, WriteFile, CloseHandle).
struct HidCapsInfo {
  uint16_t Usage = 0;
  uint16_t UsagePage = 0;
};
struct HidAttributesInfo {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};
// SP_DEVICE_INTERFACE_DATA as far as the portable code needs it: an opaque
// token handed back to the detail query.
struct InterfaceData {
  uint32_t Index = 0;
  uintptr_t Reserved = 0;
};

class HidApi {
 public:
  virtual ~HidApi() = default;
  // HidD_GetHidGuid + SetupDiGetClassDevsA(DIGCF_PRESENT|DIGCF_DEVICEINTERFACE).
  // kInvalidHandle when the set cannot be created.
  virtual Handle GetClassDevs() = 0;
  // SetupDiEnumDeviceInterfaces; false ends the enumeration.
  virtual bool EnumDeviceInterfaces(Handle set, uint32_t index,
                                    InterfaceData* data) = 0;
  // SetupDiGetDeviceInterfaceDetailA without a buffer: the required size of
  // the detail record (4-byte size field + zero-terminated path), 0 on error.
  virtual uint32_t GetInterfaceDetailSize(Handle set,
                                          const InterfaceData& data) = 0;
  // SetupDiGetDeviceInterfaceDetailA into `record` (`size` bytes; its size
  // field is set to the 32-bit header size first). The path starts at
  // record + 4.
  virtual bool GetInterfaceDetail(Handle set, const InterfaceData& data,
                                  uint8_t* record, uint32_t size) = 0;
  virtual void DestroyDeviceInfoList(Handle set) = 0;
  // CreateFileA(path, GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ|
  // FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL).
  virtual Handle OpenDevice(const char* path) = 0;
  // HidD_GetPreparsedData + HidP_GetCaps + HidD_FreePreparsedData; false
  // when the preparsed data cannot be read.
  virtual bool GetCaps(Handle device, HidCapsInfo* caps) = 0;
  // HidD_GetAttributes; false on failure.
  virtual bool GetAttributes(Handle device, HidAttributesInfo* attributes) = 0;
  virtual void CloseDevice(Handle device) = 0;
  // Synchronous WriteFile / ReadFile of one 65-byte report; false on failure.
  virtual bool WriteReport(Handle device, const uint8_t* report,
                           uint32_t size) = 0;
  virtual bool ReadReport(Handle device, uint8_t* report, uint32_t size) = 0;
};

// Window subclassing and device-interface notifications.
class WindowApi {
 public:
  virtual ~WindowApi() = default;
  // GetWindowLongA(window, GWL_WNDPROC).
  virtual uintptr_t GetWindowProc(Handle window) = 0;
  // SetWindowLongA(window, GWL_WNDPROC, proc).
  virtual void SetWindowProc(Handle window, uintptr_t proc) = 0;
  // The address of the plug-in's replacement window procedure.
  virtual uintptr_t PluginWindowProc() = 0;
  // CallWindowProcA(previous, window, message, wParam, lParam).
  virtual intptr_t CallWindowProc(uintptr_t previous, Handle window,
                                  uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) = 0;
  // RegisterDeviceNotificationA(window, filter, DEVICE_NOTIFY_WINDOW_HANDLE)
  // with a 32-byte DEV_BROADCAST_DEVICEINTERFACE_A filter for `classGuid`.
  virtual bool RegisterDeviceNotification(Handle window,
                                          const uint8_t classGuid[16]) = 0;
};

// Plain files (CreateFileA, GetFileSize, ReadFile, WriteFile, CloseHandle).
class FileApi {
 public:
  virtual ~FileApi() = default;
  // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL.
  virtual Handle OpenForRead(const char* path) = 0;
  // GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ|FILE_SHARE_WRITE,
  // CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL.
  virtual Handle CreateAlways(const char* path) = 0;
  // GetFileSize; 0xFFFFFFFF on error.
  virtual uint32_t GetSize(Handle file) = 0;
  // ReadFile; the number of bytes read, 0 on error or end of file.
  virtual uint32_t Read(Handle file, uint8_t* buffer, uint32_t size) = 0;
  // WriteFile; false on error.
  virtual bool Write(Handle file, const uint8_t* data, uint32_t size) = 0;
  virtual void Close(Handle file) = 0;
};

// Menus of the host main window.
struct MenuItemText {
  uint32_t Type = 0;     // fType
  uint32_t Id = 0;       // wID
  Handle SubMenu = 0;    // hSubMenu, 0 when none
  uint32_t Length = 0;   // cch: text length without terminator
};
class MenuApi {
 public:
  virtual ~MenuApi() = default;
  virtual Handle GetMenu(Handle window) = 0;
  virtual int GetMenuItemCount(Handle menu) = 0;
  // GetMenuItemInfoA(menu, position, TRUE, mii) with fMask 0x146
  // (MIIM_STRING|MIIM_SUBMENU|MIIM_ID|MIIM_FTYPE). With `text` null it asks
  // for the length only; otherwise `text` has `capacity` bytes (cch =
  // capacity on input). False when the call fails.
  virtual bool GetMenuItemInfo(Handle menu, uint32_t position,
                               MenuItemText* info, char* text,
                               uint32_t capacity) = 0;
  // InsertMenuA(menu, position, flags, id, text).
  virtual bool InsertMenu(Handle menu, uint32_t position, uint32_t flags,
                          uintptr_t id, const char* text) = 0;
};

// In-memory dialog templates and dialog controls.
class DialogApi {
 public:
  virtual ~DialogApi() = default;
  // GlobalAlloc(GMEM_ZEROINIT, size) + GlobalLock; null on failure.
  virtual uint8_t* AllocTemplate(uint32_t size) = 0;
  // GlobalUnlock + GlobalFree of a block from AllocTemplate.
  virtual void FreeTemplate(uint8_t* block) = 0;
  // MultiByteToWideChar(CP_ACP, 0, text, -1, out, capacity): the number of
  // UTF-16 units written, terminator included; 0 on failure.
  virtual int AnsiToWide(const char* text, uint16_t* out, int capacity) = 0;
  // GetModuleHandleA(NULL).
  virtual Handle ProcessInstance() = 0;
  // DialogBoxIndirectParamA(instance, block, parent, plug-in dialog
  // procedure, 0): the dialog's result, -1 when it cannot be created. The
  // dialog's messages reach ConfigDialogProc.
  virtual intptr_t RunDialog(Handle instance, const uint8_t* block,
                             Handle parent) = 0;
  virtual void EndDialog(Handle dialog, intptr_t result) = 0;
  virtual void SetItemText(Handle dialog, int id, const char* text) = 0;
  virtual void CheckRadio(Handle dialog, int first, int last, int check) = 0;
};

// The diagnostics console (AllocConsole and companions).
class ConsoleApi {
 public:
  virtual ~ConsoleApi() = default;
  virtual bool Alloc() = 0;
  virtual void SetTitle(const char* title) = 0;
  virtual Handle GetWindow() = 0;
  virtual Handle GetStdOutput() = 0;
  virtual void SetCursor(Handle output, int16_t x, int16_t y) = 0;
  virtual void Write(Handle output, const char* text, uint32_t length) = 0;
  virtual void Free() = 0;
};

// GetTickCount.
class ClockApi {
 public:
  virtual ~ClockApi() = default;
  virtual uint32_t TickCount() = 0;
};

// A recursive lock (a critical section) that serialises the board handle's
// replacement on the window thread with the transfers on the host's threads.
class LockApi {
 public:
  virtual ~LockApi() = default;
  virtual void Acquire() = 0;
  virtual void Release() = 0;
};

// Everything the plug-in needs from the system, handed in at construction.
struct Platform {
  HostMemory* Memory = nullptr;
  HidApi* Hid = nullptr;
  WindowApi* Windows = nullptr;
  FileApi* Files = nullptr;
  MenuApi* Menus = nullptr;
  DialogApi* Dialogs = nullptr;
  ConsoleApi* Console = nullptr;
  ClockApi* Clock = nullptr;
  LockApi* BoardLock = nullptr;
};

// Holds a LockApi for the lifetime of a scope.
class LockGuard {
 public:
  explicit LockGuard(LockApi* lock) : lock_(lock) {
    if (lock_) lock_->Acquire();
  }
  ~LockGuard() {
    if (lock_) lock_->Release();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  LockApi* lock_;
};

}  // namespace vx
