// HID interfaces served over named pipes for the stand-in setupapi.dll and
// hid.dll: each device answers the stand-ins' HID queries with its own
// identity and hands every 65-byte report to a board responder.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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

// The board behind a device path. Runs on the device's serving thread.
class BoardResponder {
 public:
  virtual ~BoardResponder() = default;
  // Fills `answer` and returns true when the board answers this report.
  virtual bool OnReport(const Report& report, Report* answer) = 0;
};

// Answers Identify (code 0x62, a fixed serial and version) and the status
// answers of Status, SegmentsAck and SegmentsEnd (idle, no line); stays
// silent on every other command.
class MinimalResponder final : public BoardResponder {
 public:
  bool OnReport(const Report& report, Report* answer) override;
};

class PipeDevice {
 public:
  // `responder` may be null: such a device takes reports and never answers.
  PipeDevice(std::string path, HidIdentity identity, BoardResponder* responder);
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

 private:
  static DWORD WINAPI ServeThread(LPVOID self);
  void Serve();
  void ServeClient(HANDLE pipe);
  HANDLE NewInstance();

  std::string path_;
  HidIdentity identity_;
  BoardResponder* responder_;
  HANDLE first_ = INVALID_HANDLE_VALUE;
  CRITICAL_SECTION lock_;
  int connections_ = 0;
  bool connected_ = false;
  int bad_ = 0;
  std::vector<Report> reports_;
};

// Lists the devices for the stand-in setupapi.dll, in enumeration order.
void ListHidDevices(const std::vector<std::string>& paths);

// Waits until no device has taken a report for `quietMs`: reports that are
// not answered may still be on their way when the plug-in's call returns.
void WaitForQuiet(const std::vector<PipeDevice*>& devices, DWORD quietMs = 300);

}  // namespace host
