#include "sim/fake_hid.h"

#include <cstdio>
#include <cstring>

#include "link/board_protocol.h"

namespace vx::sim {

std::string FakeHid::BoardPath(int n) {
  char path[128];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_3698&pid_0107#7&2a5f%04x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                n & 0xFFFF);
  return path;
}

HidCandidate FakeHid::Board(HidDevice* device, int n) {
  HidCandidate c;
  c.Path = BoardPath(n);
  c.Device = device;
  return c;
}

HidCandidate FakeHid::WrongVersion(uint16_t version, int n) {
  HidCandidate c;
  c.Path = BoardPath(0x100 + n);
  c.Version = version;
  return c;
}

HidCandidate FakeHid::Other(int n) {
  HidCandidate c;
  char path[128];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_046d&pid_c31c&mi_00#8&1b0c%04x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                n & 0xFFFF);
  c.Path = path;
  c.UsagePage = 0x0001;
  c.Usage = 0x0006;
  c.Vendor = 0x046D;
  c.Product = 0xC31C;
  c.Version = 0x6400;
  return c;
}

int FakeHid::Add(HidCandidate candidate) {
  candidates_.push_back(std::move(candidate));
  return static_cast<int>(candidates_.size()) - 1;
}

int FakeHid::CandidateOf(Handle h) const {
  auto it = handles_.find(h);
  return it == handles_.end() ? -1 : it->second.Candidate;
}

bool FakeHid::Enumerable(const HidCandidate& c) const {
  return c.Present && (c.Device == nullptr || c.Device->Plugged());
}

Handle FakeHid::GetClassDevs() {
  if (FailClassDevs) return kInvalidHandle;
  Handle set = nextSet_;
  nextSet_ += 4;
  std::vector<int>& members = sets_[set];
  for (size_t i = 0; i < candidates_.size(); ++i)
    if (Enumerable(candidates_[i])) members.push_back(static_cast<int>(i));
  ++setsCreated_;
  return set;
}

bool FakeHid::EnumDeviceInterfaces(Handle set, uint32_t index, InterfaceData* data) {
  auto it = sets_.find(set);
  if (it == sets_.end() || index >= it->second.size() || data == nullptr) return false;
  data->Index = index;
  data->Reserved = static_cast<uintptr_t>(it->second[index]);
  return true;
}

const HidCandidate* FakeHid::FromInterface(Handle set, const InterfaceData& data) const {
  auto it = sets_.find(set);
  if (it == sets_.end() || data.Index >= it->second.size()) return nullptr;
  size_t c = static_cast<size_t>(it->second[data.Index]);
  return c < candidates_.size() ? &candidates_[c] : nullptr;
}

uint32_t FakeHid::GetInterfaceDetailSize(Handle set, const InterfaceData& data) {
  const HidCandidate* c = FromInterface(set, data);
  if (c == nullptr || c->FailDetailSize) return 0;
  if (c->DetailSize != 0) return c->DetailSize;
  return static_cast<uint32_t>(4 + c->Path.size() + 1);
}

bool FakeHid::GetInterfaceDetail(Handle set, const InterfaceData& data, uint8_t* record,
                                 uint32_t size) {
  const HidCandidate* c = FromInterface(set, data);
  if (c == nullptr || record == nullptr) return false;
  // The 32-bit API insists on the header size in the size field.
  if (proto::GetU32(record) != 5) {
    ++badDetailHeaders_;
    return false;
  }
  if (c->FailDetail) return false;
  uint32_t needed = static_cast<uint32_t>(4 + c->Path.size() + 1);
  if (size < needed) return false;
  std::memcpy(record + 4, c->Path.c_str(), c->Path.size() + 1);
  return true;
}

void FakeHid::DestroyDeviceInfoList(Handle set) {
  if (sets_.erase(set) != 0) ++setsDestroyed_;
}

Handle FakeHid::OpenDevice(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    const HidCandidate& c = candidates_[i];
    if (c.Path != path || !Enumerable(c)) continue;
    if (c.FailOpen) return kInvalidHandle;
    Handle h = nextHandle_;
    nextHandle_ += 4;
    handles_[h] = OpenHandle{static_cast<int>(i), c.Device ? c.Device->PlugGeneration() : 0};
    ++opened_;
    openedPaths_.push_back(c.Path);
    return h;
  }
  return kInvalidHandle;
}

bool FakeHid::GetCaps(Handle device, HidCapsInfo* caps) {
  int i = CandidateOf(device);
  if (i < 0 || caps == nullptr) return false;
  const HidCandidate& c = candidates_[static_cast<size_t>(i)];
  if (c.FailCaps) return false;
  caps->UsagePage = c.UsagePage;
  caps->Usage = c.Usage;
  return true;
}

bool FakeHid::GetAttributes(Handle device, HidAttributesInfo* attributes) {
  int i = CandidateOf(device);
  if (i < 0 || attributes == nullptr) return false;
  const HidCandidate& c = candidates_[static_cast<size_t>(i)];
  if (c.FailAttributes) return false;
  attributes->VendorID = c.Vendor;
  attributes->ProductID = c.Product;
  attributes->VersionNumber = c.Version;
  return true;
}

void FakeHid::CloseDevice(Handle device) {
  if (handles_.erase(device) == 0) {
    ++badCloses_;
    return;
  }
  ++closed_;
}

HidDevice* FakeHid::Live(Handle device) const {
  auto it = handles_.find(device);
  if (it == handles_.end()) return nullptr;
  const HidCandidate& c = candidates_[static_cast<size_t>(it->second.Candidate)];
  HidDevice* d = c.Device;
  // A handle opened before an unplug stays dead after the replug.
  if (d == nullptr || !d->Plugged() || d->PlugGeneration() != it->second.Generation) return nullptr;
  return d;
}

bool FakeHid::WriteReport(Handle device, const uint8_t* report, uint32_t size) {
  ++writes_;
  HidDevice* d = Live(device);
  bool ok = d != nullptr && report != nullptr && size == proto::kReportSize && d->Receive(report);
  if (!ok) ++failedWrites_;
  return ok;
}

bool FakeHid::ReadReport(Handle device, uint8_t* report, uint32_t size) {
  ++reads_;
  HidDevice* d = Live(device);
  bool ok = d != nullptr && report != nullptr && size == proto::kReportSize && d->Answer(report);
  if (!ok) ++failedReads_;
  return ok;
}

}  // namespace vx::sim
