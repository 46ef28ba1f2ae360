#include "scenario.h"

#include <dbt.h>

#include <cstdio>
#include <cstring>

#include "../stand_in/stand_in.h"

namespace host {

std::string PipePath(const char* vidPid, const char* n) {
  return std::string("\\\\.\\pipe\\HID#") + vidPid + "#" + n;
}

std::string BoardInterfaceName() {
  return "\\\\?\\HID#VID_3698&PID_0107#7&2f1b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& t : v) s += (s.empty() ? "" : ", ") + Quote(t);
  return "[" + s + "]";
}
std::string Codes(const std::vector<int>& v) {
  std::string s;
  for (int c : v) s += (s.empty() ? "" : " ") + std::to_string(c);
  return "[" + s + "]";
}
std::string Num(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// ------------------------------------------------------------------- host

bool Host::Start() {
  window = CreateMainWindow();
  Check(window != nullptr, "main window created", "CreateWindowA failed");
  if (window == nullptr || !AllocateStructures(&s, window)) return false;
  InitStatusLine(&s, kInitialStatus);
  PinStatus(true);
  if (!LoadPlugin(&plugin)) return false;
  RegisterCallbacks(plugin);
  return true;
}

uint8_t Host::InitControl() {
  uint8_t r = plugin.InitControl(s.Engine, s.Settings, s.Planner, s.View);
  PumpMessages();
  return r;
}

void Host::PostInitControl() {
  plugin.PostInitControl();
  PumpMessages();
}

void Host::Update(int times) {
  for (int i = 0; i < times; ++i) {
    plugin.Update();
    PumpMessages();
  }
}

void Host::ConfigureInput(int signal, int pin, bool negated, int port) {
  InField(signal, off::engine::InActive) = 1;
  InField(signal, off::engine::InPin) = static_cast<uint8_t>(pin);
  InField(signal, off::engine::InPort) = static_cast<uint8_t>(port);
  InField(signal, off::engine::InNegated) = negated ? 1 : 0;
}

void Host::TuneAxes(double steps, double vel, double acc) {
  for (int a = 0; a < off::kAxes; ++a) {
    P<double>(off::planner::Steps + 8 * a) = steps;
    P<double>(off::planner::Vel + 8 * a) = vel;
    P<double>(off::planner::Acc + 8 * a) = acc;
  }
}

void Host::PutRecord(int32_t index, const double delta[5], int32_t line) {
  int32_t i = index & off::kRingMask;
  E<int32_t>(off::engine::Trajectory + off::engine::TrajectorySize * i + off::engine::TrajLineId) =
      line;
  for (int a = 0; a < off::kAxes; ++a) {
    P<double>(off::planner::Moves + off::planner::MovesSize * i + off::planner::MoveStepDelta +
              8 * a) = delta[a];
  }
}

std::vector<int32_t> Host::Positions() {
  std::vector<int32_t> p;
  for (int a = 0; a < off::kAxes; ++a) p.push_back(Position(a));
  return p;
}

// ---------------------------------------------------------------- devices

LRESULT SendDeviceChange(HWND window, WPARAM event, const std::string& name) {
  std::vector<uint8_t> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1);
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
  b->dbcc_size = static_cast<DWORD>(bytes.size());
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(&b->dbcc_classguid, standin::kHidGuid, sizeof b->dbcc_classguid);
  std::memcpy(b->dbcc_name, name.c_str(), name.size() + 1);
  LRESULT r = SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(b));
  PumpMessages();
  return r;
}

namespace {
bool StandInStats(const char* dll, const char* export_, standin::Stats* out) {
  HMODULE m = GetModuleHandleA(dll);
  if (m == nullptr) return false;
  auto f = reinterpret_cast<standin::StatsFn>(
      reinterpret_cast<void*>(GetProcAddress(m, export_)));
  if (f == nullptr) return false;
  f(out);
  return true;
}
}  // namespace

bool CheckStandInsLoaded() {
  standin::Stats st;
  bool ok = StandInStats("setupapi.dll", "StandInSetupApiStats", &st) &&
            StandInStats("hid.dll", "StandInHidStats", &st);
  Check(ok, "Vendrix.dll runs on the stand-in setupapi.dll and hid.dll",
        "run with WINEDLLOVERRIDES=setupapi,hid=n,b and the stand-ins beside the host");
  return ok;
}

void CheckStandInsBalanced() {
  standin::Stats setup{}, hid{};
  StandInStats("setupapi.dll", "StandInSetupApiStats", &setup);
  StandInStats("hid.dll", "StandInHidStats", &hid);
  Check(setup.Created > 0 && setup.Created == setup.Released,
        "every device information set is destroyed",
        std::to_string(setup.Created) + " created, " + std::to_string(setup.Released) +
            " destroyed");
  Check(hid.Created == hid.Released, "every preparsed-data block is freed",
        std::to_string(hid.Created) + " got, " + std::to_string(hid.Released) + " freed");
  Check(setup.Misuses == 0 && hid.Misuses == 0,
        "SetupDi and HidD calls made as documented (sizes, flags, class)",
        std::string(setup.LastMisuse) + " " + hid.LastMisuse);
}

void CheckBoardBehaved(PipeDevice& device) {
  std::vector<std::string> v;
  device.WithBoard([&](vx::sim::BoardSim& b) { v = b.Violations(); });
  Check(v.empty(), "the board saw no protocol violation", v.empty() ? "" : v.front());
}

void CheckPulseRates(Host& h, double expected) {
  std::string bad;
  for (int m = 0; m < off::kPulseRates; ++m) {
    if (h.PulseRate(m) != expected) bad += " [" + std::to_string(m) + "]=" + Num(h.PulseRate(m));
  }
  Check(bad.empty(), "PulseRate holds " + Num(expected) + " in all seven entries", bad);
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

// -------------------------------------------------------------- board rig

BoardRig::BoardRig(vx::sim::BoardConfig config)
    : board(std::move(config)),
      device(PipePath("VID_3698&PID_0107", "1"), HidIdentity{}, &board) {}

bool BoardRig::Start(const std::function<void(Host&)>& configure) {
  if (!device.Start()) {
    Check(false, "board pipe created");
    return false;
  }
  ListHidDevices({device.Path()});
  if (!h.Start() || !CheckStandInsLoaded()) return false;
  h.TuneAxes(1000.0, 2.0, 10.0);
  if (configure) configure(h);
  h.InitControl();
  h.PostInitControl();
  h.Update(1);
  WaitForQuiet({&device});
  bool up = StatusText() == kResetConnected && h.Sync() == 1 && h.ExternalStill() == 1;
  Check(up, "the link is up and the settle after the first reset is done",
        Quote(StatusText()) + ", Sync " + std::to_string(h.Sync()) + ", ExternalStill " +
            std::to_string(h.ExternalStill()));
  device.ClearReports();
  ClearCalls();
  ClearStatusHistory();
  return up;
}

std::vector<Report> BoardRig::Sent() {
  WaitForQuiet({&device}, 150);
  return device.Reports();
}

std::vector<int> BoardRig::SentCodes() {
  WaitForQuiet({&device}, 150);
  return device.Commands();
}

std::vector<proto::Payload> BoardRig::SentPayloads(uint8_t code) {
  std::vector<proto::Payload> out;
  for (const Report& r : Sent()) {
    if (r[proto::kPayloadOffset + proto::kCommandByte] != code) continue;
    proto::Payload p;
    std::memcpy(p.data(), r.data() + proto::kPayloadOffset, p.size());
    out.push_back(p);
  }
  return out;
}

bool BoardRig::UpdateUntil(const std::function<bool()>& done, DWORD ms) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= ms) return done();
    h.Update(1);
  }
  return true;
}

int32_t BoardRig::BoardPosition(int axis) {
  int32_t p = 0;
  device.WithBoard([&](vx::sim::BoardSim& b) { p = b.Position(axis); });
  return p;
}

std::vector<int32_t> BoardRig::BoardPositions() {
  std::vector<int32_t> p;
  for (int a = 0; a < off::kAxes; ++a) p.push_back(BoardPosition(a));
  return p;
}

bool BoardRig::BoardIdle() {
  bool idle = false;
  device.WithBoard([&](vx::sim::BoardSim& b) { idle = b.Idle(); });
  return idle;
}

}  // namespace host
