// In-memory fakes of the small platform interfaces: files, console, clock
// and the board lock. Each records what was asked of it and can be told to
// fail.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace vx {
namespace sim {

// Files by path. A file may be given a reported size larger than its stored
// bytes: reads past the stored bytes yield zeros up to that size, so a huge
// file costs no memory.
class FakeFiles : public FileApi {
 public:
  void SetFile(const std::string& path, const std::string& bytes);
  void SetLargeFile(const std::string& path, const std::string& prefix, uint32_t reportedSize);
  void Remove(const std::string& path) { files_.erase(path); }
  bool Exists(const std::string& path) const { return files_.count(path) != 0; }
  // Stored bytes of a file ("" when missing).
  std::string Contents(const std::string& path) const;

  // Failure injection.
  bool FailOpen = false;    // both OpenForRead and CreateAlways
  bool FailRead = false;
  bool FailWrite = false;
  bool FailSize = false;

  // Records.
  int Opens = 0;
  int Creates = 0;
  int Reads = 0;
  int Writes = 0;
  uint64_t BytesRead = 0;
  uint32_t LargestReadRequest = 0;
  std::vector<std::string> OpenedPaths;  // both kinds, in order
  int OpenHandles() const { return static_cast<int>(open_.size()); }

  Handle OpenForRead(const char* path) override;
  Handle CreateAlways(const char* path) override;
  uint32_t GetSize(Handle file) override;
  uint32_t Read(Handle file, uint8_t* buffer, uint32_t size) override;
  bool Write(Handle file, const uint8_t* data, uint32_t size) override;
  void Close(Handle file) override;

 private:
  struct File {
    std::string Bytes;
    uint32_t Size = 0;  // reported size, >= Bytes.size()
  };
  struct Open {
    std::string Path;
    uint32_t Pos = 0;
    bool Writable = false;
  };
  std::map<std::string, File> files_;
  std::map<Handle, Open> open_;
  Handle next_ = 0x100;
};

class FakeConsole : public ConsoleApi {
 public:
  static constexpr Handle kWindow = 0x00C0FFEE;
  static constexpr Handle kOutput = 0x0000001C;

  bool FailAlloc = false;

  int Allocs = 0;
  int Frees = 0;
  std::vector<std::string> Titles;
  std::vector<std::pair<int16_t, int16_t>> Cursors;
  std::vector<std::string> Written;        // texts, in order
  std::vector<Handle> WriteHandles;        // the handle of each write
  // Every call, in order: "Alloc", "SetTitle(...)", "SetCursor(0,0)", ...
  std::vector<std::string> Calls;

  bool Alloc() override;
  void SetTitle(const char* title) override;
  Handle GetWindow() override;
  Handle GetStdOutput() override;
  void SetCursor(Handle output, int16_t x, int16_t y) override;
  void Write(Handle output, const char* text, uint32_t length) override;
  void Free() override;

 private:
  bool allocated_ = false;
};

class FakeClock : public ClockApi {
 public:
  explicit FakeClock(uint32_t start = 1000) : now_(start) {}
  void Set(uint32_t tick) { now_ = tick; }
  void Advance(uint32_t ms) { now_ += ms; }
  uint32_t Now() const { return now_; }
  int Reads = 0;
  uint32_t TickCount() override {
    ++Reads;
    return now_;
  }

 private:
  uint32_t now_;
};

class FakeLock : public LockApi {
 public:
  int Acquires = 0;
  int Releases = 0;
  int Depth = 0;
  int MaxDepth = 0;
  bool Unbalanced = false;  // a release without an acquire was seen
  bool Balanced() const { return !Unbalanced && Depth == 0 && Acquires == Releases; }
  bool Held() const { return Depth > 0; }

  void Acquire() override {
    ++Acquires;
    if (++Depth > MaxDepth) MaxDepth = Depth;
  }
  void Release() override {
    ++Releases;
    if (Depth == 0) {
      Unbalanced = true;
      return;
    }
    --Depth;
  }
};

}  // namespace sim
}  // namespace vx
