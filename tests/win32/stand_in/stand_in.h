// What the stand-in setupapi.dll and hid.dll share with the test host.
//
// The stand-ins replace Windows' device setup and HID services for the test
// host's process (Wine loads them from the host's folder with
// WINEDLLOVERRIDES="setupapi,hid=n,b"). They enumerate the interfaces the
// host lists in an environment variable, in that order, and each interface's
// device path is a named pipe that the host serves: the plug-in opens it
// with CreateFileA and exchanges 65-byte reports over it exactly as with a
// HID device. The HID queries (capabilities, attributes) travel over the
// same pipe as short messages the host answers from its own description of
// the device.
#pragma once

#include <cstdint>

namespace standin {

// Device paths separated by ';', in enumeration order.
constexpr const char* kDevicesVariable = "VENDRIX_TEST_HID_DEVICES";

// {4D1E55B2-F16F-11CF-88CB-001111000030}
constexpr uint8_t kHidGuid[16] = {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,
                                  0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};

// The HID query: a 4-byte message, told apart from reports by its size.
constexpr uint32_t kQueryMagic = 0x3F515856;   // "VXQ?"
constexpr uint32_t kAnswerMagic = 0x21515856;  // "VXQ!"
struct Query {
  uint32_t Magic;
};
struct Answer {
  uint32_t Magic;
  uint16_t HasPreparsedData;  // 0: HidD_GetPreparsedData fails
  uint16_t UsagePage;
  uint16_t Usage;
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t VersionNumber;
};
static_assert(sizeof(Query) == 4 && sizeof(Answer) == 16, "fixed message sizes");

// Counters the host reads through the stand-ins' extra exports
// (StandInSetupApiStats, StandInHidStats): resources handed out and given
// back, and calls made against the documented contract.
struct Stats {
  int32_t Created;
  int32_t Released;
  int32_t Misuses;
  char LastMisuse[120];
};
using StatsFn = void(__stdcall*)(Stats* out);

}  // namespace standin
