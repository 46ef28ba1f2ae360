// The host's side of the plug-in contract: structures, status string and
// its manager, callbacks, main window, export table.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "host.h"

namespace host {

// ---------------------------------------------------------------- results
namespace {
int g_passed = 0;
int g_failed = 0;
}  // namespace

void Check(bool ok, const std::string& name, const std::string& detail) {
  if (ok) {
    ++g_passed;
    std::printf("PASS: %s\n", name.c_str());
  } else {
    ++g_failed;
    std::printf("FAIL: %s: %s\n", name.c_str(), detail.c_str());
  }
  std::fflush(stdout);
}
int Passed() { return g_passed; }
int Failed() { return g_failed; }
std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// ------------------------------------------------------------- structures
namespace {
uint8_t* Reserve(uint32_t size) {
  return static_cast<uint8_t*>(
      VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}
Structures* g_structures = nullptr;
}  // namespace

bool AllocateStructures(Structures* s, HWND mainWindow) {
  s->Engine = Reserve(vx::host::engine::Size);
  s->Settings = Reserve(vx::host::settings::Size);
  s->Planner = Reserve(vx::host::planner::Size);
  s->View = Reserve(vx::host::view::Size);
  // The MFC frame object: the plug-in reads only its window handle.
  s->MainFrame = Reserve(64);
  s->JogFullSpeed = Reserve(16);
  if (!s->Engine || !s->Settings || !s->Planner || !s->View || !s->MainFrame ||
      !s->JogFullSpeed) {
    return false;
  }
  Field<HWND>(s->MainFrame, vx::host::view::FrameWindowHandle) = mainWindow;
  Field<uint8_t*>(s->View, vx::host::view::MainFrame) = s->MainFrame;
  Field<uint8_t*>(s->View, vx::host::view::JogFullSpeed) = s->JogFullSpeed;
  g_structures = s;
  return true;
}

// ---------------------------------------------------- host string manager
// The same ABI as the plug-in's manager (IAtlStringMgr through a table of
// __thiscall methods), but its own code, its own heap and its own checks:
// every call must arrive with `this` in ECX pointing at this manager, and
// every block it is handed must be one it gave out.
namespace {

#define HOST_THISCALL __attribute__((thiscall))
struct HostVtable {
  StringHeader*(HOST_THISCALL* Allocate)(void* self, int nAllocLength, int nCharSize);
  void(HOST_THISCALL* Free)(void* self, StringHeader* data);
  StringHeader*(HOST_THISCALL* Reallocate)(void* self, StringHeader* data, int nAllocLength,
                                           int nCharSize);
  StringHeader*(HOST_THISCALL* GetNilString)(void* self);
  void*(HOST_THISCALL* Clone)(void* self);
};
struct HostManager {
  const HostVtable* vtable;
  StringHeader nil;
  char nilText[4];
};

HANDLE g_heap = nullptr;
std::set<StringHeader*> g_blocks;
ManagerStats g_stats;
bool g_pinned = false;
StringHeader* g_pin = nullptr;  // the status pane's own reference
std::vector<std::string> g_history;
HostManager g_manager;

void ManagerError(const std::string& what) {
  ++g_stats.Errors;
  g_stats.LastError = what;
}
bool IsSelf(void* self, const char* call) {
  if (self == &g_manager) return true;
  char text[96];
  std::snprintf(text, sizeof text, "%s called with this=%p", call, self);
  ManagerError(text);
  return false;
}
bool Owned(StringHeader* data, const char* call) {
  if (g_blocks.count(data) != 0) return true;
  char text[96];
  std::snprintf(text, sizeof text, "%s of a block the host never gave out (%p)", call,
                static_cast<void*>(data));
  ManagerError(text);
  return false;
}
size_t Bytes(int nAllocLength, int nCharSize) {
  return sizeof(StringHeader) + static_cast<size_t>(nAllocLength + 1) * nCharSize;
}
char* Chars(StringHeader* h) { return reinterpret_cast<char*>(h + 1); }
char*& StatusField() {
  return Field<char*>(g_structures->Planner, vx::host::planner::StatusMessage);
}
void ReleasePin() {
  if (g_pin == nullptr) return;
  StringHeader* pin = g_pin;
  g_pin = nullptr;
  if (--pin->Refs == 0) {
    g_blocks.erase(pin);
    --g_stats.Live;
    HeapFree(g_heap, 0, pin);
  }
}

StringHeader* HOST_THISCALL Allocate(void* self, int nAllocLength, int nCharSize) {
  if (!IsSelf(self, "Allocate")) return nullptr;
  if (nAllocLength < 0 || nCharSize != 1) {
    ManagerError("Allocate with length " + std::to_string(nAllocLength) + ", char size " +
                 std::to_string(nCharSize));
    return nullptr;
  }
  if (g_pinned && g_pin != nullptr) {
    // A post is replacing the pinned text: note it, then let go of it.
    g_history.push_back(Chars(g_pin));
    ReleasePin();
  }
  auto* h = static_cast<StringHeader*>(HeapAlloc(g_heap, 0, Bytes(nAllocLength, nCharSize)));
  if (h == nullptr) return nullptr;
  h->Manager = self;
  h->Length = 0;
  h->Allocated = nAllocLength;
  h->Refs = 1;
  Chars(h)[0] = 0;
  g_blocks.insert(h);
  ++g_stats.Allocations;
  ++g_stats.Live;
  if (g_pinned) {
    ++h->Refs;
    g_pin = h;
  }
  return h;
}

void HOST_THISCALL Free(void* self, StringHeader* data) {
  if (!IsSelf(self, "Free") || !Owned(data, "Free")) return;
  if (data == g_pin) ManagerError("Free of the pinned status text");
  if (data->Refs > 0) ManagerError("Free of a block still referenced");
  g_blocks.erase(data);
  ++g_stats.Frees;
  --g_stats.Live;
  HeapFree(g_heap, 0, data);
}

StringHeader* HOST_THISCALL Reallocate(void* self, StringHeader* data, int nAllocLength,
                                       int nCharSize) {
  if (!IsSelf(self, "Reallocate") || !Owned(data, "Reallocate")) return nullptr;
  if (nAllocLength < 0 || nCharSize != 1) {
    ManagerError("Reallocate with length " + std::to_string(nAllocLength));
    return nullptr;
  }
  if (data->Refs != 1) ManagerError("Reallocate of a shared block");
  auto* h = static_cast<StringHeader*>(
      HeapReAlloc(g_heap, 0, data, Bytes(nAllocLength, nCharSize)));
  if (h == nullptr) return nullptr;
  g_blocks.erase(data);
  g_blocks.insert(h);
  h->Allocated = nAllocLength;
  ++g_stats.Reallocations;
  return h;
}

StringHeader* HOST_THISCALL GetNilString(void* self) {
  IsSelf(self, "GetNilString");
  ++g_manager.nil.Refs;
  return &g_manager.nil;
}

void* HOST_THISCALL Clone(void* self) {
  IsSelf(self, "Clone");
  return self;
}

const HostVtable kVtable = {Allocate, Free, Reallocate, GetNilString, Clone};

}  // namespace

void InitStatusLine(Structures* s, const char* initial) {
  g_structures = s;
  if (g_heap == nullptr) g_heap = HeapCreate(0, 0, 0);
  g_manager.vtable = &kVtable;
  g_manager.nil = StringHeader{&g_manager, 0, 0, 2};
  int n = static_cast<int>(std::strlen(initial));
  StringHeader* h = Allocate(&g_manager, n, 1);
  std::memcpy(Chars(h), initial, n + 1);
  h->Length = n;
  StatusField() = Chars(h);
}

void SetStatusText(const char* text) {
  StringHeader* old = StatusHeader();
  int n = static_cast<int>(std::strlen(text));
  StringHeader* h = Allocate(&g_manager, n, 1);
  std::memcpy(Chars(h), text, n + 1);
  h->Length = n;
  StatusField() = Chars(h);
  if (old != nullptr && old != &g_manager.nil && --old->Refs == 0) Free(&g_manager, old);
}

std::string StatusText() {
  const char* p = StatusField();
  return p ? std::string(p) : std::string("(null)");
}

StringHeader* StatusHeader() {
  char* p = StatusField();
  return p ? reinterpret_cast<StringHeader*>(p) - 1 : nullptr;
}

void* HostStringManager() { return &g_manager; }

void PinStatus(bool on) {
  g_pinned = on;
  if (!on) {
    ReleasePin();
    return;
  }
  if (g_pin == nullptr) {
    g_pin = StatusHeader();
    if (g_pin == &g_manager.nil || g_blocks.count(g_pin) == 0) {
      g_pin = nullptr;  // not a block of ours: nothing to pin
    } else {
      ++g_pin->Refs;
    }
  }
}

std::vector<std::string> StatusHistory() {
  std::vector<std::string> h = g_history;
  h.push_back(StatusText());
  return h;
}
void ClearStatusHistory() { g_history.clear(); }
ManagerStats StringManagerStats() { return g_stats; }

// -------------------------------------------------------------- callbacks
namespace {
std::vector<Call> g_calls;
std::map<int, double> g_dros = {{57, 24000.0}, {74, 100.0}, {817, 10000.0}};
std::set<int> g_leds;
void Record(const char* name, int code, double value = 0) {
  g_calls.push_back(Call{name, code, value});
}
extern "C" {
int HostGetMenuRange(int count) {
  Record("GetMenuRange", count);
  return kMenuRangeBase;
}
void HostDoButton(int code) { Record("DoButton", code); }
void HostSetDRO(int code, double value) {
  Record("SetDRO", code, value);
  g_dros[code] = value;
}
double HostGetDRO(int code) {
  Record("GetDRO", code);
  auto it = g_dros.find(code);
  return it == g_dros.end() ? 0.0 : it->second;
}
bool HostGetLED(int code) {
  Record("GetLED", code);
  return g_leds.count(code) != 0;
}
void HostSetLED(int code, bool on) { Record("SetLED", code, on); }
void HostCode(const char*) { Record("Code", 0); }
}
}  // namespace

void SetDro(int code, double value) { g_dros[code] = value; }
void SetLed(int code, bool on) {
  if (on) {
    g_leds.insert(code);
  } else {
    g_leds.erase(code);
  }
}

std::vector<Call> Calls() { return g_calls; }
void ClearCalls() { g_calls.clear(); }
int CountCalls(const std::string& name, int code) {
  int n = 0;
  for (const Call& c : g_calls) {
    if (c.Name == name && (code == -1 || c.Code == code)) ++n;
  }
  return n;
}

// ------------------------------------------------------------ main window
namespace {
WindowStats g_window;
HMENU g_pluginMenu = nullptr;

LRESULT CALLBACK HostWndProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  ++g_window.Messages;
  if (message == WM_DEVICECHANGE) {
    ++g_window.DeviceChanges;
    g_window.LastDeviceEvent = wParam;
    return TRUE;
  }
  return DefWindowProcA(w, message, wParam, lParam);
}
}  // namespace

HWND CreateMainWindow() {
  WNDCLASSA wc;
  std::memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = HostWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "VendrixTestHostFrame";
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  if (!RegisterClassA(&wc)) return nullptr;
  // The host's menu bar: the plug-in looks for its "PlugIn Control" popup.
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  AppendMenuA(file, MF_STRING, 100, "Exit");
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "File");
  g_pluginMenu = CreatePopupMenu();
  AppendMenuA(g_pluginMenu, MF_STRING, 200, "Other plug-in");
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(g_pluginMenu), "PlugIn Control");
  HWND w = CreateWindowA(wc.lpszClassName, "Vendrix test host", WS_OVERLAPPEDWINDOW, 10, 10,
                         640, 400, nullptr, bar, wc.hInstance, nullptr);
  if (w != nullptr) ShowWindow(w, SW_SHOW);
  return w;
}

void PumpMessages() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
}

WindowStats MainWindowStats() { return g_window; }
HMENU PluginMenu() { return g_pluginMenu; }

// ---------------------------------------------------------------- exports
namespace {
template <typename F>
bool Resolve(HMODULE m, const char* name, F* out) {
  *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  if (*out == nullptr) Check(false, std::string("export ") + name, "GetProcAddress failed");
  return *out != nullptr;
}
}  // namespace

bool LoadPlugin(Plugin* p) {
  p->Module = LoadLibraryA("Vendrix.dll");
  if (p->Module == nullptr) {
    Check(false, "LoadLibraryA(Vendrix.dll)", "error " + std::to_string(GetLastError()));
    return false;
  }
  HMODULE m = p->Module;
  bool ok = true;
  ok &= Resolve(m, "InitControl", &p->InitControl);
  ok &= Resolve(m, "PostInitControl", &p->PostInitControl);
  ok &= Resolve(m, "SetProName", &p->SetProName);
  ok &= Resolve(m, "Config", &p->Config);
  ok &= Resolve(m, "StopPlug", &p->StopPlug);
  ok &= Resolve(m, "Update", &p->Update);
  ok &= Resolve(m, "Notify", &p->Notify);
  ok &= Resolve(m, "DoDwell", &p->DoDwell);
  ok &= Resolve(m, "Reset", &p->Reset);
  ok &= Resolve(m, "JogOn", &p->JogOn);
  ok &= Resolve(m, "JogOff", &p->JogOff);
  ok &= Resolve(m, "Purge", &p->Purge);
  ok &= Resolve(m, "Probe", &p->Probe);
  ok &= Resolve(m, "Home", &p->Home);
  ok &= Resolve(m, "SetGetMenuRange", &p->SetGetMenuRange);
  ok &= Resolve(m, "SetDoButton", &p->SetDoButton);
  ok &= Resolve(m, "SetSetDRO", &p->SetSetDRO);
  ok &= Resolve(m, "SetGetDRO", &p->SetGetDRO);
  ok &= Resolve(m, "SetGetLED", &p->SetGetLED);
  ok &= Resolve(m, "SetSetLED", &p->SetSetLED);
  ok &= Resolve(m, "SetCode", &p->SetCode);
  return ok;
}

void RegisterCallbacks(const Plugin& p) {
  p.SetGetMenuRange(reinterpret_cast<void*>(&HostGetMenuRange));
  p.SetDoButton(reinterpret_cast<void*>(&HostDoButton));
  p.SetSetDRO(reinterpret_cast<void*>(&HostSetDRO));
  p.SetGetDRO(reinterpret_cast<void*>(&HostGetDRO));
  p.SetGetLED(reinterpret_cast<void*>(&HostGetLED));
  p.SetSetLED(reinterpret_cast<void*>(&HostSetLED));
  p.SetCode(reinterpret_cast<void*>(&HostCode));
}

}  // namespace host
