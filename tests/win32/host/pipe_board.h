// HID interfaces served over named pipes for the stand-in setupapi.dll and
// hid.dll: each device answers the stand-ins' HID queries with its own
// identity and hands every 65-byte report to a board simulator, which runs
// in real time.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/board_sim.h"

namespace host {

using Report = std::array<uint8_t, 65>;

// What HidP_GetCaps and HidD_GetAttributes report for a device.
struct HidIdentity {
  uint16_t UsagePage = 0x008B;
  uint16_t Usage = 0x0001;
  uint16_t VendorID = 0x3698;
  uint16_t ProductID = 0x0107;
  uint16_t VersionNumber = 0x0200;
  bool HasPreparsedData = true;
};

class PipeDevice {
 public:
  // `board` may be null: such a device takes reports and never answers.
  PipeDevice(std::string path, HidIdentity identity, vx::sim::BoardSim* board);
  ~PipeDevice();
  PipeDevice(const PipeDevice&) = delete;
  PipeDevice& operator=(const PipeDevice&) = delete;

  // Creates the first pipe instance (so the path opens at once) and the
  // serving thread.
  bool Start();
  const std::string& Path() const { return path_; }

  // Clients that opened the path so far, and whether one is connected now.
  int Connections();
  bool Connected();
  // Reports received, in order; command codes alone (payload byte 63).
  std::vector<Report> Reports();
  std::vector<int> Commands();
  void ClearReports();
  // Messages that were neither a report nor a HID query.
  int BadMessages();
  // Runs `f` while the serving thread keeps off the board.
  template <typename F>
  void WithBoard(F f) {
    EnterCriticalSection(&lock_);
    f(*board_);
    LeaveCriticalSection(&lock_);
  }

 private:
  static DWORD WINAPI ServeThread(LPVOID self);
  void Serve();
  void ServeClient(HANDLE pipe);
  // Hands one report to the board; false when the transfer failed there.
  bool Exchange(const Report& report, Report* answer, bool* answered);
  HANDLE NewInstance();

  std::string path_;
  HidIdentity identity_;
  vx::sim::BoardSim* board_;
  LARGE_INTEGER lastTick_{};
  LARGE_INTEGER frequency_{};
  HANDLE first_ = INVALID_HANDLE_VALUE;
  CRITICAL_SECTION lock_;
  int connections_ = 0;
  bool connected_ = false;
  int bad_ = 0;
  std::vector<Report> reports_;
};

// Lists the devices for the stand-in setupapi.dll, in enumeration order.
void ListHidDevices(const std::vector<std::string>& paths);

// Polls `done` until it holds or `ms` have passed; its last result. A
// device counts a connection only when its serving thread gets to it.
bool WaitUntil(const std::function<bool()>& done, DWORD ms = 3000);

// Waits until no device has taken a report for `quietMs`: reports that are
// not answered may still be on their way when the plug-in's call returns.
void WaitForQuiet(const std::vector<PipeDevice*>& devices, DWORD quietMs = 300);

}  // namespace host
