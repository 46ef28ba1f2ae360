// A 32-bit stand-in for the Mach3 host: it lays out the host's structures at
// real addresses, owns a real main window with a menu bar, keeps its status
// line in an MFC-compatible string with its own string manager, records
// every callback, and drives Vendrix.dll through its exports in the host's
// order.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host_view.h"

namespace host {

// ---- Results
void Check(bool ok, const std::string& name, const std::string& detail = "");
int Passed();
int Failed();
std::string Quote(const std::string& s);

// ---- The four host structures, the main-window object and the jog byte.
struct Structures {
  uint8_t* Engine = nullptr;
  uint8_t* Settings = nullptr;
  uint8_t* Planner = nullptr;
  uint8_t* View = nullptr;
  uint8_t* MainFrame = nullptr;
  uint8_t* JogFullSpeed = nullptr;

};
// A host field by byte offset.
template <typename T>
T& Field(uint8_t* base, uint32_t offset) {
  return *reinterpret_cast<T*>(base + offset);
}
// Allocates everything (zeroed) and links MainFrame and JogFullSpeed.
bool AllocateStructures(Structures* s, HWND mainWindow);

// ---- The status line: an MFC-style reference-counted string whose
// manager belongs to the host.
// Creates the host's status string holding `initial`.
void InitStatusLine(Structures* s, const char* initial);
std::string StatusText();
// The host replaces its own status text (as Mach3 does with its messages).
void SetStatusText(const char* text);
// While pinned, the host's status pane holds its own reference to the
// status text, so every post must fork the buffer through the host's
// manager; each fork records the text it replaces. Unpinning drops that
// reference and lets the next post copy in place.
void PinStatus(bool on);
// Texts the status line showed, in order (the current one last).
std::vector<std::string> StatusHistory();
void ClearStatusHistory();
// Calls into the host's string manager, and calls it could not accept.
struct ManagerStats {
  int Allocations = 0;
  int Reallocations = 0;
  int Frees = 0;
  int Live = 0;
  int Errors = 0;
  std::string LastError;
};
ManagerStats StringManagerStats();
// The header in front of the current status text.
struct StringHeader {
  void* Manager;
  int Length;
  int Allocated;
  long Refs;
};
StringHeader* StatusHeader();
void* HostStringManager();

// ---- Callbacks, recorded in call order.
struct Call {
  std::string Name;
  int Code = 0;
  double Value = 0;
};
std::vector<Call> Calls();
// What the host's GetDRO and GetLED report (DROs 57, 74 and 817 start at
// 24000, 100 and 10000, all others at 0; every LED starts off).
void SetDro(int code, double value);
void SetLed(int code, bool on);
void ClearCalls();
int CountCalls(const std::string& name, int code = -1);
constexpr int kMenuRangeBase = 33000;

// ---- Main window.
HWND CreateMainWindow();
void PumpMessages();
struct WindowStats {
  int Messages = 0;
  int DeviceChanges = 0;
  WPARAM LastDeviceEvent = 0;
};
WindowStats MainWindowStats();
// The submenu of the "PlugIn Control" menu.
HMENU PluginMenu();

// ---- The plug-in's exports.
struct Plugin {
  HMODULE Module = nullptr;
  unsigned char (*InitControl)(void*, void*, void*, void*) = nullptr;
  void (*PostInitControl)() = nullptr;
  const char* (*SetProName)(const char*) = nullptr;
  void (*Config)() = nullptr;
  void (*StopPlug)() = nullptr;
  void (*Update)() = nullptr;
  void (*Notify)(int) = nullptr;
  void (*DoDwell)(double) = nullptr;
  void (*Reset)() = nullptr;
  void (*JogOn)(int, int, double) = nullptr;
  void (*JogOff)(int) = nullptr;
  void (*Purge)(int) = nullptr;
  void (*Probe)() = nullptr;
  void (*Home)(int) = nullptr;
  void (*SetGetMenuRange)(void*) = nullptr;
  void (*SetDoButton)(void*) = nullptr;
  void (*SetSetDRO)(void*) = nullptr;
  void (*SetGetDRO)(void*) = nullptr;
  void (*SetGetLED)(void*) = nullptr;
  void (*SetSetLED)(void*) = nullptr;
  void (*SetCode)(void*) = nullptr;
};
// LoadLibraryA("Vendrix.dll") and every export; false (with a failed
// check) when something is missing.
bool LoadPlugin(Plugin* p);
// The setters, in the host's order.
void RegisterCallbacks(const Plugin& p);

}  // namespace host
