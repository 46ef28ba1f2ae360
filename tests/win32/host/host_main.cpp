// vendrix_host.exe --case NAME: one scenario of the host driving the real
// Vendrix.dll. Prints PASS/FAIL lines and "N passed, N failed"; the exit
// code is nonzero when anything failed.
#include <cstdio>
#include <cstring>

#include "scenario.h"

#include <dbt.h>

using namespace host;

namespace {

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
  HMENU menu = PluginMenu();
  char item[64] = {};
  int items = GetMenuItemCount(menu);
  GetMenuStringA(menu, items - 1, item, sizeof item, MF_BYPOSITION);
  UINT id = GetMenuItemID(menu, items - 1);
  Check(items == 2 && std::strcmp(item, "TQ-Vendrix") == 0 && id == kMenuRangeBase,
        "PostInitControl appends \"TQ-Vendrix\" with the reserved id to \"PlugIn Control\"",
        std::to_string(items) + " items, last " + Quote(item) + " id " + std::to_string(id));
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

// ------------------------------------------------ scenarios with stand-ins

// Start-up with candidates that must be passed over before the board.
void CaseBoard() {
  vx::sim::BoardSim board, secondBoard;
  PipeDevice mouse(PipePath("VID_046D&PID_C077", "1"), HidIdentity{0x0001, 0x0002, 0x046D, 0xC077, 0x0100, true}, nullptr);
  PipeDevice noCaps(PipePath("VID_3698&PID_0107", "2"), HidIdentity{0x008B, 0x0001, 0x3698, 0x0107, 0x0200, false}, nullptr);
  PipeDevice newer(PipePath("VID_3698&PID_0107", "3"), HidIdentity{0x008B, 0x0001, 0x3698, 0x0107, 0x0201, true}, nullptr);
  PipeDevice vendrix(PipePath("VID_3698&PID_0107", "4"), HidIdentity{}, &board);
  PipeDevice second(PipePath("VID_3698&PID_0107", "5"), HidIdentity{}, &secondBoard);
  std::vector<PipeDevice*> all = {&mouse, &noCaps, &newer, &vendrix, &second};
  bool started = true;
  for (PipeDevice* d : all) started &= d->Start();
  Check(started, "board pipes created");
  // A listed interface that cannot be opened comes first.
  ListHidDevices({PipePath("VID_3698&PID_0107", "0"), mouse.Path(), noCaps.Path(),
                  newer.Path(), vendrix.Path(), second.Path()});

  Host h;
  if (!h.Start() || !CheckStandInsLoaded()) return;
  uint8_t r = h.InitControl();
  Check(r == 1, "InitControl returns 1", std::to_string(r));
  Check(StatusText() == kConnected, "InitControl with a board posts " + Quote(kConnected),
        Quote(StatusText()));
  Check(mouse.Connections() == 1 && noCaps.Connections() == 1 && newer.Connections() == 1,
        "discovery probes the wrong usage, the unreadable and the wrong version once each",
        std::to_string(mouse.Connections()) + ", " + std::to_string(noCaps.Connections()) +
            ", " + std::to_string(newer.Connections()));
  WaitUntil([&] { return vendrix.Connections() == 2 && vendrix.Connected(); });
  Check(vendrix.Connections() == 2 && vendrix.Connected() && second.Connections() == 0,
        "the first matching board is probed, then opened and kept; the second is never opened",
        std::to_string(vendrix.Connections()) + " connections, second board " +
            std::to_string(second.Connections()));
  WaitForQuiet(all);
  Check(vendrix.Reports().empty(), "InitControl sends nothing to the board",
        Codes(vendrix.Commands()));

  ClearStatusHistory();
  ClearCalls();
  h.PostInitControl();
  std::vector<std::string> history = StatusHistory();
  std::vector<std::string> expected = {kConnected, kStarting, kResetConnected};
  Check(history == expected, "PostInitControl identifies the board and posts " +
                                 Quote(kResetConnected), Join(history));
  WaitForQuiet(all);
  std::vector<int> codes = vendrix.Commands();
  std::vector<int> want = {proto::kIdentify, proto::kSetPositions, proto::kAxisSetup,
                           proto::kStatus};
  Check(codes == want, "the first reset sends Identify, SetPositions, AxisSetup, Status",
        Codes(codes));
  std::vector<Report> reports = vendrix.Reports();
  if (!reports.empty()) {
    const Report& id = reports[0];
    Check(id[0] == 0 && id[proto::kPayloadOffset + 61] == 0x1F &&
              id[proto::kPayloadOffset + 62] == 0xBA,
          "Identify goes out with report id 0 and the 0xBA1F tag");
  }

  vendrix.ClearReports();
  ClearCalls();
  h.Update(5);
  WaitForQuiet(all);
  codes = vendrix.Commands();
  want = {proto::kStatus, proto::kSetPositions, proto::kStatus, proto::kStatus, proto::kStatus,
          proto::kStatus};
  Check(codes == want,
        "with the link up every Update exchanges Status; the settle loads the positions once",
        Codes(codes));
  Check(CountCalls("GetDRO", 57) == 5 && CountCalls("GetLED", 11) == 5,
        "every Update cycle reads the spindle DROs and LED 11",
        std::to_string(CountCalls("GetDRO", 57)) + " GetDRO(57), " +
            std::to_string(CountCalls("GetLED", 11)) + " GetLED(11)");
  Check(Field<uint8_t>(h.s.Engine, off::engine::Sync) == 1 &&
            Field<uint8_t>(h.s.Planner, off::planner::ExternalStill) == 1,
        "the settle after the reset raises Sync and ExternalStill");
  Check(StatusText() == kResetConnected, "the status line keeps " + Quote(kResetConnected),
        Quote(StatusText()));
  int bad = 0;
  for (PipeDevice* d : all) bad += d->BadMessages();
  Check(bad == 0 && mouse.Reports().empty() && newer.Reports().empty() &&
            second.Reports().empty(),
        "only the board gets reports, all of 65 bytes");
  CheckBoardBehaved(vendrix);
  CheckStandInsBalanced();
  CheckStringManager("with a board");
}

// Unplugging and replugging the board, told through the subclassed window.
void CaseHotplug() {
  vx::sim::BoardSim board;
  PipeDevice vendrix(PipePath("VID_3698&PID_0107", "1"), HidIdentity{}, &board);
  Check(vendrix.Start(), "board pipe created");
  ListHidDevices({vendrix.Path()});
  const std::string boardName = BoardInterfaceName();
  const std::string mouseName =
      "\\\\?\\HID#VID_046D&PID_C077#7&aa11&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  const std::string lowerName =
      "\\\\?\\hid#vid_3698&pid_0107#7&2f1b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

  Host h;
  if (!h.Start() || !CheckStandInsLoaded()) return;
  LONG before = GetWindowLongA(h.window, GWL_WNDPROC);
  h.InitControl();
  Check(GetWindowLongA(h.window, GWL_WNDPROC) != before,
        "InitControl subclasses the host's main window");
  h.PostInitControl();
  h.Update(2);
  Check(StatusText() == kResetConnected, "the link is up", Quote(StatusText()));
  WaitForQuiet({&vendrix});

  // Other devices, and the board's path written in lower case, are not ours.
  WindowStats w0 = MainWindowStats();
  SetStatusText("Host message");
  LRESULT r1 = SendDeviceChange(h.window, DBT_DEVICEREMOVECOMPLETE, mouseName);
  LRESULT r2 = SendDeviceChange(h.window, DBT_DEVICEARRIVAL, mouseName);
  LRESULT r3 = SendDeviceChange(h.window, DBT_DEVICEREMOVECOMPLETE, lowerName);
  WindowStats w1 = MainWindowStats();
  WaitUntil([&] { return vendrix.Connections() == 2 && vendrix.Connected(); });
  Check(StatusText() == "Host message" && vendrix.Connected() && vendrix.Connections() == 2,
        "device changes of other devices change nothing", Quote(StatusText()));
  Check(w1.DeviceChanges == w0.DeviceChanges + 3 && r1 == TRUE && r2 == TRUE && r3 == TRUE,
        "the host's window procedure gets every device change and its result is returned",
        std::to_string(w1.DeviceChanges - w0.DeviceChanges) + " of 3 seen");

  // Unplugged: gone from the interface list, dead on the wire; the handle
  // is closed and the user told.
  vendrix.ClearReports();
  h.EStop() = 0;
  ListHidDevices({});
  vendrix.WithBoard([](vx::sim::BoardSim& b) { b.Unplug(); });
  LRESULT r4 = SendDeviceChange(h.window, DBT_DEVICEREMOVECOMPLETE, boardName);
  Check(StatusText() == kNoBoard, "a removal of the board posts " + Quote(kNoBoard),
        Quote(StatusText()));
  Check(MainWindowStats().DeviceChanges == w1.DeviceChanges + 1 && r4 == TRUE,
        "the host's window procedure gets the removal too");
  Check(WaitUntil([&] { return !vendrix.Connected(); }), "the removal closes the board handle");
  h.Update(3);
  Check(h.EStop() == 1 && StatusText() == kNoBoard && vendrix.Reports().empty(),
        "the next Update fails on the closed handle: E-stop, no message, no traffic",
        "EStop " + std::to_string(h.EStop()) + ", status " + Quote(StatusText()));
  // Removed again while no handle is open: the message comes again.
  SetStatusText("Host message");
  SendDeviceChange(h.window, DBT_DEVICEREMOVECOMPLETE, boardName);
  Check(StatusText() == kNoBoard, "a second removal posts the message again",
        Quote(StatusText()));
  // An arrival before the interface is listed finds nothing: E-stop only.
  SetStatusText("Host message");
  h.EStop() = 0;
  int opened = vendrix.Connections();
  SendDeviceChange(h.window, DBT_DEVICEARRIVAL, boardName);
  Check(StatusText() == "Host message" && h.EStop() == 1 && vendrix.Connections() == opened,
        "an arrival whose discovery finds nothing only sets E-stop",
        Quote(StatusText()) + ", EStop " + std::to_string(h.EStop()));

  // Plugged in again: rediscovered and reopened, E-stop until the host resets.
  h.EStop() = 0;
  vendrix.WithBoard([](vx::sim::BoardSim& b) { b.Replug(); });
  ListHidDevices({vendrix.Path()});
  SendDeviceChange(h.window, DBT_DEVICEARRIVAL, boardName);
  WaitUntil([&] { return vendrix.Connections() == 4 && vendrix.Connected(); });
  Check(StatusText() == kConnected && vendrix.Connections() == 4 && vendrix.Connected() &&
            h.EStop() == 1,
        "an arrival of the board reopens it, posts " + Quote(kConnected) + " and sets E-stop",
        Quote(StatusText()) + ", " + std::to_string(vendrix.Connections()) +
            " connections, EStop " + std::to_string(h.EStop()));
  h.Update(2);
  WaitForQuiet({&vendrix});
  Check(vendrix.Reports().empty(), "the link stays down until the host resets",
        Codes(vendrix.Commands()));
  h.plugin.Reset();
  h.Update(1);
  WaitForQuiet({&vendrix});
  std::vector<int> codes = vendrix.Commands();
  std::vector<int> want = {proto::kStop, proto::kIdentify, proto::kSetPositions,
                           proto::kAxisSetup, proto::kStatus, proto::kStatus,
                           proto::kSetPositions};
  Check(StatusText() == kResetConnected && codes == want,
        "the host's reset brings the link up on the new handle",
        Quote(StatusText()) + " " + Codes(codes));
  CheckBoardBehaved(vendrix);
  CheckStandInsBalanced();
  CheckStringManager("across hot-plug");
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
  CaseTable cases = {
      {"noboard", CaseNoBoard},
      {"settings", CaseSettings},
      {"board", CaseBoard},
      {"hotplug", CaseHotplug},
  };
  AddMotionCases(cases);
  AddStreamCases(cases);
  AddDialogCases(cases);
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
