// vendrix_host.exe --case NAME: one scenario of the host driving the real
// Vendrix.dll. Prints PASS/FAIL lines and "N passed, N failed"; the exit
// code is nonzero when anything failed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "host.h"

using namespace host;
namespace off = vx::host;

namespace {

constexpr const char* kNoBoard = "No VendrixBoard, Please plug it in!";
constexpr const char* kStarting = "Starting Vendrix plugin";
constexpr const char* kSettingsPath = "\\MACH3\\plugin.dat";
constexpr const char* kInitialStatus = "Mach3 ready";

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& t : v) s += (s.empty() ? "" : ", ") + Quote(t);
  return "[" + s + "]";
}
std::string Num(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// Everything a scenario needs: the structures, the window, the plug-in.
struct Host {
  Structures s;
  HWND window = nullptr;
  Plugin plugin;

  bool Start() {
    window = CreateMainWindow();
    Check(window != nullptr, "main window created", "CreateWindowA failed");
    if (window == nullptr || !AllocateStructures(&s, window)) return false;
    InitStatusLine(&s, kInitialStatus);
    PinStatus(true);
    if (!LoadPlugin(&plugin)) return false;
    RegisterCallbacks(plugin);
    return true;
  }
  uint8_t InitControl() {
    uint8_t r = plugin.InitControl(s.Engine, s.Settings, s.Planner, s.View);
    PumpMessages();
    return r;
  }
  void PostInitControl() {
    plugin.PostInitControl();
    PumpMessages();
  }
  void Update(int times) {
    for (int i = 0; i < times; ++i) {
      plugin.Update();
      PumpMessages();
    }
  }
  uint8_t& EStop() { return Field<uint8_t>(s.Engine, off::engine::EStop); }
  int32_t& CurrentLine() { return Field<int32_t>(s.Engine, off::engine::CurrentLine); }
  double PulseRate(int m) { return Field<double>(s.Planner, off::planner::PulseRate + 8 * m); }
};

// The settings record as the configuration dialog saves it.
bool WriteSettings(int kHz) {
  CreateDirectoryA("\\MACH3", nullptr);
  char field[16];
  std::snprintf(field, sizeof field, "%dKHZ", kHz);
  char record[80];
  int n = std::snprintf(record, sizeof record, "%4s %36s %10s %8s %2s\r\n", "", field, "", "", "");
  HANDLE f = CreateFileA(kSettingsPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(f, record, static_cast<DWORD>(n), &written, nullptr);
  CloseHandle(f);
  return ok && written == static_cast<DWORD>(n) && n == 66;
}

void CheckPulseRates(Host& h, double expected) {
  std::string bad;
  for (int m = 0; m < off::kPulseRates; ++m) {
    if (h.PulseRate(m) != expected) bad += " [" + std::to_string(m) + "]=" + Num(h.PulseRate(m));
  }
  Check(bad.empty(), "PulseRate holds " + Num(expected) + " in all seven entries", bad);
}

void CheckStartupValues(Host& h) {
  int32_t count = Field<int32_t>(h.s.Planner, off::planner::InitCount);
  double real = Field<double>(h.s.Planner, off::planner::InitReal);
  int16_t word = Field<int16_t>(h.s.Planner, off::planner::InitWord);
  uint8_t flag = Field<uint8_t>(h.s.View, off::view::InitFlag);
  Check(count == 450 && real == 0.004 && word == 1 && flag == 0,
        "start-up values InitCount 450, InitReal 0.004, InitWord 1, InitFlag 0",
        std::to_string(count) + ", " + Num(real) + ", " + std::to_string(word) + ", " +
            std::to_string(flag));
}

void CheckStringManager(const char* when) {
  ManagerStats m = StringManagerStats();
  Check(m.Errors == 0, std::string("host string manager called correctly ") + when,
        std::to_string(m.Errors) + " errors, last: " + m.LastError);
  StringHeader* hdr = StatusHeader();
  Check(hdr != nullptr && hdr->Manager == HostStringManager() &&
            hdr->Length == static_cast<int>(StatusText().size()) && hdr->Refs >= 1 &&
            hdr->Allocated >= hdr->Length,
        std::string("status string header consistent ") + when,
        hdr ? "manager " + std::to_string(hdr->Manager == HostStringManager()) + ", length " +
                  std::to_string(hdr->Length) + ", allocated " + std::to_string(hdr->Allocated) +
                  ", refs " + std::to_string(hdr->Refs)
            : "no header");
}

// ------------------------------------------------------------- scenarios

// No board on the machine (Wine's own HID devices only).
void CaseNoBoard() {
  DeleteFileA(kSettingsPath);
  Host h;
  if (!h.Start()) return;

  Check(h.plugin.Config == h.plugin.StopPlug, "Config and StopPlug are one function");
  const char* name1 = h.plugin.SetProName("Mach3");
  const char* name2 = h.plugin.SetProName("");
  Check(name1 != nullptr && std::strcmp(name1, "TQ-Vendrix-V2.1") == 0 && name1 == name2,
        "SetProName returns \"TQ-Vendrix-V2.1\" for any name",
        name1 ? Quote(name1) : "null");
  h.plugin.Config();
  h.plugin.StopPlug();
  h.Update(3);
  Check(Calls().empty() && StatusText() == kInitialStatus,
        "Config, StopPlug and Update before InitControl do nothing",
        std::to_string(Calls().size()) + " callback calls, status " + Quote(StatusText()));

  Field<uint8_t>(h.s.View, off::view::InitFlag) = 1;
  uint8_t r = h.InitControl();
  Check(r == 1, "InitControl returns 1", std::to_string(r));
  std::vector<Call> calls = Calls();
  Check(!calls.empty() && calls[0].Name == "GetMenuRange" && calls[0].Code == 1 &&
            CountCalls("GetMenuRange") == 1,
        "InitControl asks GetMenuRange(1) once, first",
        std::to_string(CountCalls("GetMenuRange")) + " calls");
  Check(StatusText() == kNoBoard, "InitControl without a board posts the no-board message",
        Quote(StatusText()));
  CheckStartupValues(h);
  CheckPulseRates(h, 65000.0);

  ClearCalls();
  ClearStatusHistory();
  h.PostInitControl();
  std::vector<std::string> history = StatusHistory();
  std::vector<std::string> expected = {kNoBoard, kStarting, kNoBoard};
  Check(history == expected,
        "PostInitControl posts the start message, then the failed reset's no-board message",
        Join(history));
  Check(h.EStop() == 1, "the failed first reset leaves the host in E-stop",
        std::to_string(h.EStop()));
  calls = Calls();
  std::vector<std::string> seen;
  for (const Call& c : calls) seen.push_back(c.Name + "(" + std::to_string(c.Code) + ")");
  Check(calls.size() == 3 && calls[0].Name == "DoButton" && calls[0].Code == 204 &&
            calls[1].Name == "SetDRO" && calls[1].Code == 817 && calls[1].Value == 10000.0 &&
            calls[2].Name == "SetDRO" && calls[2].Code == 74 && calls[2].Value == 100.0,
        "PostInitControl calls DoButton(204), SetDRO(817, 10000), SetDRO(74, 100)",
        Join(seen));

  ClearCalls();
  const std::string status = StatusText();
  ManagerStats before = StringManagerStats();
  h.Update(25);
  ManagerStats after = StringManagerStats();
  Check(Calls().empty() && StatusText() == status && after.Allocations == before.Allocations,
        "Update with the link down does nothing",
        std::to_string(Calls().size()) + " callback calls, status " + Quote(StatusText()));

  h.EStop() = 0;
  h.CurrentLine() = 77;
  h.plugin.Notify(12);
  Check(h.CurrentLine() == -1 && h.EStop() == 0 && StatusText() == status,
        "Notify(12) sets CurrentLine to -1 and nothing else",
        "CurrentLine " + std::to_string(h.CurrentLine()) + ", EStop " +
            std::to_string(h.EStop()));
  h.plugin.Notify(14);
  Check(h.EStop() == 1 && StatusText() == status, "Notify(14) sets EStop",
        "EStop " + std::to_string(h.EStop()));
  h.plugin.Notify(kMenuRangeBase);
  Check(Calls().empty(), "the menu command with the link down opens nothing",
        std::to_string(Calls().size()) + " callback calls");

  // Without the status pane's reference the host buffer is private and big
  // enough: the next post copies in place, without the host's manager.
  PinStatus(false);
  before = StringManagerStats();
  StringHeader* buffer = StatusHeader();
  h.plugin.Reset();
  after = StringManagerStats();
  Check(StatusText() == kNoBoard && StatusHeader() == buffer &&
            after.Allocations == before.Allocations &&
            after.Reallocations == before.Reallocations,
        "a post into a private host buffer copies in place",
        Quote(StatusText()) + ", " + std::to_string(after.Allocations - before.Allocations) +
            " allocations");
  CheckStringManager("throughout");
  Check(StringManagerStats().Live == 1, "no host string buffer leaked or lost",
        std::to_string(StringManagerStats().Live) + " live blocks");
  Check(MainWindowStats().Messages > 0, "the host window still gets its messages");
}

// The pulse frequency saved for 25 kHz reaches the host at InitControl.
void CaseSettings() {
  Check(WriteSettings(25), "settings record for 25 kHz written before loading");
  Host h;
  if (!h.Start()) return;
  uint8_t r = h.InitControl();
  Check(r == 1, "InitControl returns 1", std::to_string(r));
  CheckPulseRates(h, 25000.0);
  CheckStartupValues(h);
  DeleteFileA(kSettingsPath);
}

DWORD WINAPI Watchdog(LPVOID arg) {
  DWORD ms = static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg));
  Sleep(ms);
  std::printf("FAIL: watchdog: the case did not finish within %lu s\n",
              static_cast<unsigned long>(ms / 1000));
  std::fflush(stdout);
  ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::function<void()>> cases = {
      {"noboard", CaseNoBoard},
      {"settings", CaseSettings},
  };
  std::string name;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc) name = argv[++i];
  }
  auto it = cases.find(name);
  if (it == cases.end()) {
    std::printf("usage: vendrix_host --case NAME; cases:");
    for (auto& c : cases) std::printf(" %s", c.first.c_str());
    std::printf("\n");
    return 2;
  }
  CloseHandle(CreateThread(nullptr, 0, Watchdog, reinterpret_cast<LPVOID>(uintptr_t{120000}),
                           0, nullptr));
  it->second();
  std::printf("vendrix_host --case %s: %d passed, %d failed\n", name.c_str(), Passed(), Failed());
  std::fflush(stdout);
  return (Failed() == 0 && Passed() > 0) ? 0 : 1;
}
