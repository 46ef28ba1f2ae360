// HID enumeration and device I/O without Windows: a list of candidate
// interfaces, each with its identity and the step at which it should fail,
// optionally backed by a device (usually a BoardSim) that takes the reports.
// Keeps the books on every handle so tests can prove nothing leaks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/discovery.h"
#include "platform/platform.h"
#include "sim/hid_device.h"

namespace vx::sim {

struct HidCandidate {
  // SetupDi paths are lower case; the device-change broadcast uses upper case.
  std::string Path;
  uint16_t UsagePage = board_id::kUsagePage;
  uint16_t Usage = board_id::kUsage;
  uint16_t Vendor = board_id::kVendor;
  uint16_t Product = board_id::kProduct;
  uint16_t Version = board_id::kVersion;
  // Per-step failures, in the order discovery meets them.
  bool FailDetailSize = false;  // the size query answers 0
  uint32_t DetailSize = 0;      // nonzero: the size query answers this instead
  bool FailDetail = false;      // the detail fetch fails
  bool FailOpen = false;        // CreateFileA fails
  bool FailCaps = false;        // HidD_GetPreparsedData fails
  bool FailAttributes = false;  // HidD_GetAttributes fails
  bool Present = true;          // enumerated at all
  HidDevice* Device = nullptr;  // takes the reports; null: transfers fail
};

class FakeHid : public HidApi {
 public:
  // The path of a board-like interface, numbered so that several differ.
  static std::string BoardPath(int n = 0);
  // A correct board candidate backed by `device`.
  static HidCandidate Board(HidDevice* device, int n = 0);
  // A candidate with the board's usage but another identity.
  static HidCandidate WrongVersion(uint16_t version = 0x0201, int n = 0);
  // A HID interface of some other kind (keyboard usage page).
  static HidCandidate Other(int n = 0);

  // Appends a candidate in enumeration order; returns its index.
  int Add(HidCandidate candidate);
  HidCandidate& Candidate(int i) { return candidates_.at(static_cast<size_t>(i)); }
  int CandidateCount() const { return static_cast<int>(candidates_.size()); }
  void ClearCandidates() { candidates_.clear(); }
  // SetupDiGetClassDevsA fails.
  bool FailClassDevs = false;

  // ---- Bookkeeping
  int Opened() const { return opened_; }   // successful opens, probes included
  int Closed() const { return closed_; }
  int OpenHandles() const { return static_cast<int>(handles_.size()); }
  bool IsOpen(Handle h) const { return handles_.count(h) != 0; }
  // The candidate index behind an open handle, -1 when none.
  int CandidateOf(Handle h) const;
  int SetsCreated() const { return setsCreated_; }
  int SetsDestroyed() const { return setsDestroyed_; }
  // Detail fetches made with a size field other than the 32-bit header's 5.
  int BadDetailHeaders() const { return badDetailHeaders_; }
  // Closes of handles that were not open (double close, invalid handle).
  int BadCloses() const { return badCloses_; }
  int Writes() const { return writes_; }
  int Reads() const { return reads_; }
  int FailedWrites() const { return failedWrites_; }
  int FailedReads() const { return failedReads_; }
  const std::vector<std::string>& OpenedPaths() const { return openedPaths_; }

  // ---- HidApi
  Handle GetClassDevs() override;
  bool EnumDeviceInterfaces(Handle set, uint32_t index, InterfaceData* data) override;
  uint32_t GetInterfaceDetailSize(Handle set, const InterfaceData& data) override;
  bool GetInterfaceDetail(Handle set, const InterfaceData& data, uint8_t* record,
                          uint32_t size) override;
  void DestroyDeviceInfoList(Handle set) override;
  Handle OpenDevice(const char* path) override;
  bool GetCaps(Handle device, HidCapsInfo* caps) override;
  bool GetAttributes(Handle device, HidAttributesInfo* attributes) override;
  void CloseDevice(Handle device) override;
  bool WriteReport(Handle device, const uint8_t* report, uint32_t size) override;
  bool ReadReport(Handle device, uint8_t* report, uint32_t size) override;

 private:
  struct OpenHandle {
    int Candidate = -1;
    uint32_t Generation = 0;
  };
  bool Enumerable(const HidCandidate& c) const;
  const HidCandidate* FromInterface(Handle set, const InterfaceData& data) const;
  // The device behind a handle, null when the transfer must fail.
  HidDevice* Live(Handle device) const;

  std::vector<HidCandidate> candidates_;
  std::map<Handle, std::vector<int>> sets_;  // set -> candidate indices, a snapshot
  std::map<Handle, OpenHandle> handles_;
  Handle nextHandle_ = 0x100;
  Handle nextSet_ = 0x7000;
  int opened_ = 0, closed_ = 0, setsCreated_ = 0, setsDestroyed_ = 0;
  int badDetailHeaders_ = 0, badCloses_ = 0;
  int writes_ = 0, reads_ = 0, failedWrites_ = 0, failedReads_ = 0;
  std::vector<std::string> openedPaths_;
};

}  // namespace vx::sim
