// Stand-in hid.dll: the HID queries the plug-in imports, answered by the
// test host over the device's pipe.
#include <windows.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstdio>
#include <cstring>

#include "stand_in.h"

namespace {

constexpr uint32_t kPreparsedMagic = 0x50524556;  // "VERP"
struct Preparsed {
  uint32_t Magic;
  uint16_t UsagePage;
  uint16_t Usage;
};

standin::Stats g_stats;

void Misuse(const char* what) {
  ++g_stats.Misuses;
  std::snprintf(g_stats.LastMisuse, sizeof g_stats.LastMisuse, "%s", what);
}

// One query over the device's pipe; false when the handle is not one of the
// host's devices or the host does not answer.
bool Ask(HANDLE device, standin::Answer* answer) {
  standin::Query q{standin::kQueryMagic};
  DWORD n = 0;
  if (!WriteFile(device, &q, sizeof q, &n, nullptr) || n != sizeof q) return false;
  if (!ReadFile(device, answer, sizeof *answer, &n, nullptr) || n != sizeof *answer) return false;
  return answer->Magic == standin::kAnswerMagic;
}

}  // namespace

extern "C" {

__declspec(dllexport) void WINAPI HidD_GetHidGuid(LPGUID guid) {
  if (guid != nullptr) std::memcpy(guid, standin::kHidGuid, 16);
}

__declspec(dllexport) BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device,
                                                           PHIDP_PREPARSED_DATA* out) {
  standin::Answer a;
  if (out == nullptr || !Ask(device, &a) || !a.HasPreparsedData) return FALSE;
  auto* p = static_cast<Preparsed*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Preparsed)));
  if (p == nullptr) return FALSE;
  *p = Preparsed{kPreparsedMagic, a.UsagePage, a.Usage};
  *out = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  ++g_stats.Created;
  return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (p == nullptr || p->Magic != kPreparsedMagic) {
    Misuse("HidD_FreePreparsedData of something else");
    return FALSE;
  }
  p->Magic = 0;
  HeapFree(GetProcessHeap(), 0, p);
  ++g_stats.Released;
  return TRUE;
}

__declspec(dllexport) NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (p == nullptr || p->Magic != kPreparsedMagic || caps == nullptr) {
    Misuse("HidP_GetCaps without live preparsed data");
    return HIDP_STATUS_INVALID_PREPARSED_DATA;
  }
  std::memset(caps, 0, sizeof *caps);
  caps->UsagePage = p->UsagePage;
  caps->Usage = p->Usage;
  caps->InputReportByteLength = 65;
  caps->OutputReportByteLength = 65;
  return HIDP_STATUS_SUCCESS;
}

__declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE device,
                                                        PHIDD_ATTRIBUTES attributes) {
  if (attributes == nullptr) return FALSE;
  if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) Misuse("HIDD_ATTRIBUTES.Size is not 12");
  standin::Answer a;
  if (!Ask(device, &a)) return FALSE;
  attributes->VendorID = a.VendorID;
  attributes->ProductID = a.ProductID;
  attributes->VersionNumber = a.VersionNumber;
  return TRUE;
}

__declspec(dllexport) void WINAPI StandInHidStats(standin::Stats* out) {
  if (out != nullptr) *out = g_stats;
}

}  // extern "C"
