// Files, the diagnostics console, the tick count, the board lock, and the
// assembly of the whole backend.
#include <windows.h>

#include "platform/win32/win32_platform.h"

namespace vx::win32 {
namespace {

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle FromHandle(HANDLE h) { return reinterpret_cast<Handle>(h); }

class Files final : public FileApi {
 public:
  Handle OpenForRead(const char* path) override {
    return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  Handle CreateAlways(const char* path) override {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  uint32_t GetSize(Handle file) override { return GetFileSize(AsHandle(file), nullptr); }
  uint32_t Read(Handle file, uint8_t* buffer, uint32_t size) override {
    DWORD read = 0;
    if (!ReadFile(AsHandle(file), buffer, size, &read, nullptr)) return 0;
    return read;
  }
  // A short write counts as a failure: the record must reach the file whole.
  bool Write(Handle file, const uint8_t* data, uint32_t size) override {
    DWORD written = 0;
    return WriteFile(AsHandle(file), data, size, &written, nullptr) != FALSE && written == size;
  }
  void Close(Handle file) override {
    if (file != kInvalidHandle && file != 0) CloseHandle(AsHandle(file));
  }
};

class Console final : public ConsoleApi {
 public:
  bool Alloc() override { return AllocConsole() != FALSE; }
  void SetTitle(const char* title) override { SetConsoleTitleA(title); }
  Handle GetWindow() override { return reinterpret_cast<Handle>(GetConsoleWindow()); }
  Handle GetStdOutput() override { return FromHandle(GetStdHandle(STD_OUTPUT_HANDLE)); }
  void SetCursor(Handle output, int16_t x, int16_t y) override {
    COORD at;
    at.X = x;
    at.Y = y;
    SetConsoleCursorPosition(AsHandle(output), at);
  }
  void Write(Handle output, const char* text, uint32_t length) override {
    DWORD written = 0;
    WriteConsoleA(AsHandle(output), text, length, &written, nullptr);
  }
  void Free() override { FreeConsole(); }
};

class Clock final : public ClockApi {
 public:
  uint32_t TickCount() override { return GetTickCount(); }
};

// A critical section is recursive for its owning thread, which the board
// lock needs: a transfer may run inside a sequence that already holds it.
class Lock final : public LockApi {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  ~Lock() override { DeleteCriticalSection(&section_); }
  void Acquire() override { EnterCriticalSection(&section_); }
  void Release() override { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

Files g_files;
Console g_console;
Clock g_clock;

PluginContext* g_target = nullptr;

}  // namespace

FileApi* SystemFiles() { return &g_files; }
ConsoleApi* SystemConsole() { return &g_console; }
ClockApi* SystemClock() { return &g_clock; }
LockApi* SystemBoardLock() {
  // Built on first use, never destroyed: a window message may still take
  // it while the process is tearing down the DLL's statics.
  static Lock* lock = new Lock();
  return lock;
}

Platform SystemPlatform() {
  Platform p;
  p.Memory = SystemMemory();
  p.Hid = SystemHid();
  p.Windows = SystemWindows();
  p.Files = SystemFiles();
  p.Menus = SystemMenus();
  p.Dialogs = SystemDialogs();
  p.Console = SystemConsole();
  p.Clock = SystemClock();
  p.BoardLock = SystemBoardLock();
  return p;
}

void SetProcedureTarget(PluginContext* ctx) { g_target = ctx; }
PluginContext* ProcedureTarget() { return g_target; }

}  // namespace vx::win32
