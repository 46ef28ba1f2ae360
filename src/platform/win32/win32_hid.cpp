// HID interface enumeration (SetupDi*, HidD_*, HidP_*) and report I/O on
// the board's device path.
#include <windows.h>

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstring>

#include "platform/win32/win32_platform.h"

namespace vx::win32 {
namespace {

// The sizes the 32-bit records announce in their cbSize fields.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface data record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail header");
static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "HID attributes record");

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle FromHandle(HANDLE h) { return reinterpret_cast<Handle>(h); }

class Hid final : public HidApi {
 public:
  Handle GetClassDevs() override {
    HidD_GetHidGuid(&guid_);
    HDEVINFO set = SetupDiGetClassDevsA(&guid_, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return FromHandle(set);
  }

  bool EnumDeviceInterfaces(Handle set, uint32_t index, InterfaceData* data) override {
    SP_DEVICE_INTERFACE_DATA record;
    if (!Enumerate(set, index, &record)) return false;
    // The full record is needed again for the detail query; the portable
    // side keeps only the index, and the last record is kept here.
    last_ = record;
    lastSet_ = set;
    lastIndex_ = index;
    if (data != nullptr) {
      data->Index = index;
      data->Reserved = record.Reserved;
    }
    return true;
  }

  uint32_t GetInterfaceDetailSize(Handle set, const InterfaceData& data) override {
    SP_DEVICE_INTERFACE_DATA record;
    if (!Record(set, data, &record)) return 0;
    DWORD required = 0;
    // Fails by design (no buffer); only the required size matters.
    SetupDiGetDeviceInterfaceDetailA(reinterpret_cast<HDEVINFO>(set), &record, nullptr, 0,
                                     &required, nullptr);
    return required;
  }

  bool GetInterfaceDetail(Handle set, const InterfaceData& data, uint8_t* record,
                          uint32_t size) override {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    if (record == nullptr || size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        !Record(set, data, &interfaceData)) {
      return false;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(record);
    // cbSize is the fixed header of the record (5 on 32-bit), not its length.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    return SetupDiGetDeviceInterfaceDetailA(reinterpret_cast<HDEVINFO>(set), &interfaceData,
                                            detail, size, nullptr, nullptr) != FALSE;
  }

  void DestroyDeviceInfoList(Handle set) override {
    if (lastSet_ == set) lastSet_ = kInvalidHandle;
    if (set != kInvalidHandle && set != 0) {
      SetupDiDestroyDeviceInfoList(reinterpret_cast<HDEVINFO>(set));
    }
  }

  Handle OpenDevice(const char* path) override {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr));
  }

  bool GetCaps(Handle device, HidCapsInfo* caps) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(AsHandle(device), &preparsed)) return false;
    HIDP_CAPS hidCaps;
    std::memset(&hidCaps, 0, sizeof hidCaps);
    HidP_GetCaps(preparsed, &hidCaps);
    HidD_FreePreparsedData(preparsed);
    if (caps != nullptr) {
      caps->Usage = hidCaps.Usage;
      caps->UsagePage = hidCaps.UsagePage;
    }
    return true;
  }

  bool GetAttributes(Handle device, HidAttributesInfo* attributes) override {
    HIDD_ATTRIBUTES a;
    std::memset(&a, 0, sizeof a);
    a.Size = sizeof(HIDD_ATTRIBUTES);
    if (!HidD_GetAttributes(AsHandle(device), &a)) return false;
    if (attributes != nullptr) {
      attributes->VendorID = a.VendorID;
      attributes->ProductID = a.ProductID;
      attributes->VersionNumber = a.VersionNumber;
    }
    return true;
  }

  void CloseDevice(Handle device) override {
    if (device != kInvalidHandle && device != 0) CloseHandle(AsHandle(device));
  }

  // Synchronous transfers (the handle has no FILE_FLAG_OVERLAPPED): each
  // blocks until the whole report has gone or come, or the call fails.
  bool WriteReport(Handle device, const uint8_t* report, uint32_t size) override {
    DWORD written = 0;
    return WriteFile(AsHandle(device), report, size, &written, nullptr) != FALSE;
  }
  bool ReadReport(Handle device, uint8_t* report, uint32_t size) override {
    DWORD read = 0;
    return ReadFile(AsHandle(device), report, size, &read, nullptr) != FALSE;
  }

 private:
  bool Enumerate(Handle set, uint32_t index, SP_DEVICE_INTERFACE_DATA* record) {
    std::memset(record, 0, sizeof *record);
    record->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    return SetupDiEnumDeviceInterfaces(reinterpret_cast<HDEVINFO>(set), nullptr, &guid_, index,
                                       record) != FALSE;
  }
  // The interface record for `data`: the one last enumerated, or the same
  // index enumerated again.
  bool Record(Handle set, const InterfaceData& data, SP_DEVICE_INTERFACE_DATA* record) {
    if (set == lastSet_ && data.Index == lastIndex_) {
      *record = last_;
      return true;
    }
    return Enumerate(set, data.Index, record);
  }

  GUID guid_{};
  SP_DEVICE_INTERFACE_DATA last_{};
  Handle lastSet_ = kInvalidHandle;
  uint32_t lastIndex_ = 0;
};

Hid g_hid;

}  // namespace

HidApi* SystemHid() { return &g_hid; }

}  // namespace vx::win32
