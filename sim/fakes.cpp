#include "sim/fakes.h"

#include <algorithm>
#include <cstring>

namespace vx {
namespace sim {

// ---- FakeFiles

void FakeFiles::SetFile(const std::string& path, const std::string& bytes) {
  files_[path] = File{bytes, static_cast<uint32_t>(bytes.size())};
}

void FakeFiles::SetLargeFile(const std::string& path, const std::string& prefix,
                             uint32_t reportedSize) {
  files_[path] = File{prefix, std::max<uint32_t>(reportedSize, static_cast<uint32_t>(prefix.size()))};
}

std::string FakeFiles::Contents(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? std::string() : it->second.Bytes;
}

Handle FakeFiles::OpenForRead(const char* path) {
  ++Opens;
  OpenedPaths.emplace_back(path ? path : "");
  if (FailOpen || path == nullptr || files_.count(path) == 0) return kInvalidHandle;
  Handle h = next_++;
  open_[h] = Open{path, 0, false};
  return h;
}

Handle FakeFiles::CreateAlways(const char* path) {
  ++Creates;
  OpenedPaths.emplace_back(path ? path : "");
  if (FailOpen || path == nullptr) return kInvalidHandle;
  files_[path] = File{};
  Handle h = next_++;
  open_[h] = Open{path, 0, true};
  return h;
}

uint32_t FakeFiles::GetSize(Handle file) {
  auto it = open_.find(file);
  if (FailSize || it == open_.end()) return 0xFFFFFFFFu;
  return files_[it->second.Path].Size;
}

uint32_t FakeFiles::Read(Handle file, uint8_t* buffer, uint32_t size) {
  ++Reads;
  LargestReadRequest = std::max(LargestReadRequest, size);
  auto it = open_.find(file);
  if (FailRead || it == open_.end()) return 0;
  const File& f = files_[it->second.Path];
  uint32_t pos = it->second.Pos;
  uint32_t n = pos < f.Size ? std::min(size, f.Size - pos) : 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t at = pos + i;
    buffer[i] = at < f.Bytes.size() ? static_cast<uint8_t>(f.Bytes[at]) : 0;
  }
  it->second.Pos += n;
  BytesRead += n;
  return n;
}

bool FakeFiles::Write(Handle file, const uint8_t* data, uint32_t size) {
  ++Writes;
  auto it = open_.find(file);
  if (FailWrite || it == open_.end() || !it->second.Writable) return false;
  File& f = files_[it->second.Path];
  uint32_t pos = it->second.Pos;
  if (f.Bytes.size() < pos + size) f.Bytes.resize(pos + size, '\0');
  std::memcpy(&f.Bytes[pos], data, size);
  f.Size = std::max<uint32_t>(f.Size, static_cast<uint32_t>(f.Bytes.size()));
  it->second.Pos += size;
  return true;
}

void FakeFiles::Close(Handle file) { open_.erase(file); }

// ---- FakeConsole

bool FakeConsole::Alloc() {
  ++Allocs;
  Calls.push_back("Alloc");
  if (FailAlloc || allocated_) return false;  // one console per process
  allocated_ = true;
  return true;
}

void FakeConsole::SetTitle(const char* title) {
  Titles.emplace_back(title ? title : "");
  Calls.push_back("SetTitle(" + Titles.back() + ")");
}

Handle FakeConsole::GetWindow() {
  Calls.push_back("GetWindow");
  return allocated_ ? kWindow : 0;
}

Handle FakeConsole::GetStdOutput() {
  Calls.push_back("GetStdOutput");
  return allocated_ ? kOutput : 0;
}

void FakeConsole::SetCursor(Handle, int16_t x, int16_t y) {
  Cursors.emplace_back(x, y);
  Calls.push_back("SetCursor(" + std::to_string(x) + "," + std::to_string(y) + ")");
}

void FakeConsole::Write(Handle output, const char* text, uint32_t length) {
  Written.emplace_back(text ? std::string(text, length) : std::string());
  WriteHandles.push_back(output);
  Calls.push_back("Write(" + Written.back() + ")");
}

void FakeConsole::Free() {
  ++Frees;
  Calls.push_back("Free");
  allocated_ = false;
}

}  // namespace sim
}  // namespace vx
