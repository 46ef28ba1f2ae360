// Stand-in setupapi.dll: the four SetupDi functions the plug-in imports,
// enumerating the HID interfaces listed in VENDRIX_TEST_HID_DEVICES.
#define _SETUPAPI_
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stand_in.h"

namespace {

constexpr uint32_t kSetMagic = 0x56534554;  // "TESV"
struct DeviceSet {
  uint32_t Magic;
  std::vector<std::string> Paths;
};

standin::Stats g_stats;

void Misuse(const char* what) {
  ++g_stats.Misuses;
  std::snprintf(g_stats.LastMisuse, sizeof g_stats.LastMisuse, "%s", what);
}

DeviceSet* SetOf(HDEVINFO h) {
  auto* set = static_cast<DeviceSet*>(h);
  if (set == nullptr || h == INVALID_HANDLE_VALUE || set->Magic != kSetMagic) {
    Misuse("not a device information set");
    return nullptr;
  }
  return set;
}

bool IsHidGuid(const GUID* g) {
  return g != nullptr && std::memcmp(g, standin::kHidGuid, 16) == 0;
}

std::vector<std::string> ListedPaths() {
  std::vector<std::string> paths;
  char buffer[4096];
  DWORD n = GetEnvironmentVariableA(standin::kDevicesVariable, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return paths;
  std::string all(buffer, n);
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) paths.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

// The interface a record names: Reserved carries index + 1.
const std::string* PathOf(DeviceSet* set, PSP_DEVICE_INTERFACE_DATA data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    Misuse("interface data record with a wrong size field");
    return nullptr;
  }
  ULONG_PTR token = data->Reserved;
  if (token == 0 || token > set->Paths.size()) {
    Misuse("interface data record not from this set");
    return nullptr;
  }
  return &set->Paths[token - 1];
}

}  // namespace

extern "C" {

__declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid,
                                                           PCSTR enumerator, HWND parent,
                                                           DWORD flags) {
  if (!IsHidGuid(classGuid)) Misuse("class devices asked for another class");
  if (enumerator != nullptr || parent != nullptr) Misuse("enumerator or window given");
  if (flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) Misuse("flags other than 0x12");
  auto* set = new DeviceSet{kSetMagic, ListedPaths()};
  ++g_stats.Created;
  return set;
}

__declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA,
                                                              const GUID* classGuid,
                                                              DWORD index,
                                                              PSP_DEVICE_INTERFACE_DATA data) {
  DeviceSet* set = SetOf(h);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    Misuse("SetupDiEnumDeviceInterfaces with a wrong cbSize");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (!IsHidGuid(classGuid)) Misuse("interfaces of another class enumerated");
  if (index >= set->Paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  std::memcpy(&data->InterfaceClassGuid, standin::kHidGuid, 16);
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
    DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
  DeviceSet* set = SetOf(h);
  const std::string* path = set ? PathOf(set, data) : nullptr;
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                        path->size() + 1);
  if (required != nullptr) *required = need;
  if (detail == nullptr) {
    if (size != 0) Misuse("no detail buffer but a nonzero size");
    SetLastError(size != 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    Misuse("detail record whose cbSize is not 5");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path->c_str(), path->size() + 1);
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  DeviceSet* set = SetOf(h);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  set->Magic = 0;
  delete set;
  ++g_stats.Released;
  return TRUE;
}

__declspec(dllexport) void WINAPI StandInSetupApiStats(standin::Stats* out) {
  if (out != nullptr) *out = g_stats;
}

}  // extern "C"
