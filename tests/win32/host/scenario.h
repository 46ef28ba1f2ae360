// What the test host's scenarios share: the host driving the plug-in through
// its exports, a board behind a pipe, and checks that several scenarios make.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host.h"
#include "link/board_protocol.h"
#include "pipe_board.h"

namespace host {

namespace off = vx::host;
namespace proto = vx::proto;

constexpr const char* kNoBoard = "No VendrixBoard, Please plug it in!";
constexpr const char* kStarting = "Starting Vendrix plugin";
constexpr const char* kSettingsPath = "\\MACH3\\plugin.dat";
constexpr const char* kInitialStatus = "Mach3 ready";
constexpr const char* kConnected = "Vendrix Connected.";
constexpr const char* kResetConnected = "Vendrix connected";

// A pipe standing in for the board's HID interface; `n` tells instances apart.
std::string PipePath(const char* vidPid, const char* n);
// The name a device-interface broadcast carries for the board.
std::string BoardInterfaceName();

std::string Join(const std::vector<std::string>& v);
std::string Codes(const std::vector<int>& v);
std::string Num(double v);

// Everything a scenario needs: the structures, the window, the plug-in.
struct Host {
  Structures s;
  HWND window = nullptr;
  Plugin plugin;

  bool Start();
  uint8_t InitControl();
  void PostInitControl();
  // Each call is followed by the host's message pump, as Mach3's main loop
  // interleaves them.
  void Update(int times);

  template <typename T>
  T& E(uint32_t offset) { return Field<T>(s.Engine, offset); }
  template <typename T>
  T& P(uint32_t offset) { return Field<T>(s.Planner, offset); }

  uint8_t& EStop() { return E<uint8_t>(off::engine::EStop); }
  uint8_t& Sync() { return E<uint8_t>(off::engine::Sync); }
  uint8_t& ExternalStill() { return P<uint8_t>(off::planner::ExternalStill); }
  int32_t& CurrentLine() { return E<int32_t>(off::engine::CurrentLine); }
  int32_t& Position(int a) {
    return E<int32_t>(off::engine::Axis + off::engine::AxisSize * a + off::engine::AxisPosition);
  }
  uint8_t& AxisFlag(int a, uint32_t field) {
    return E<uint8_t>(off::engine::Axis + off::engine::AxisSize * a + field);
  }
  uint8_t& InField(int signal, uint32_t field) {
    return E<uint8_t>(off::engine::InSignal + off::engine::InSignalSize * signal + field);
  }
  uint8_t& Activated(int signal) { return InField(signal, off::engine::InActivated); }
  double PulseRate(int m) { return P<double>(off::planner::PulseRate + 8 * m); }

  // An input signal the host has configured on `port`.
  void ConfigureInput(int signal, int pin, bool negated, int port = 1);
  // Steps per unit, velocity and acceleration of axes X..B.
  void TuneAxes(double steps, double vel, double acc);
  // One trajectory ring record: its LineId and five step increments.
  void PutRecord(int32_t index, const double delta[5], int32_t line);
  std::vector<int32_t> Positions();
};

// A WM_DEVICECHANGE broadcast as Windows sends it for a device interface.
LRESULT SendDeviceChange(HWND window, WPARAM event, const std::string& name);

// The stand-in setupapi.dll and hid.dll are the ones the DLL got.
bool CheckStandInsLoaded();
// Every device information set and preparsed-data block was given back.
void CheckStandInsBalanced();
// The board simulator saw no protocol violation.
void CheckBoardBehaved(PipeDevice& device);
void CheckPulseRates(Host& h, double expected);
void CheckStringManager(const char* when);

// One board behind a pipe, listed as the machine's only HID interface, and
// the host started against it with the link up and the settle done.
struct BoardRig {
  explicit BoardRig(vx::sim::BoardConfig config = {});
  // `configure` runs before InitControl (tuning, signals, positions).
  bool Start(const std::function<void(Host&)>& configure = nullptr);
  // Reports the plug-in sent since the last ClearReports, after the wire
  // has gone quiet.
  std::vector<Report> Sent();
  std::vector<int> SentCodes();
  // Payloads of the reports with `code` in Sent().
  std::vector<proto::Payload> SentPayloads(uint8_t code);
  // Updates until `done` holds or `ms` have passed; true if it held.
  bool UpdateUntil(const std::function<bool()>& done, DWORD ms = 20000);
  int32_t BoardPosition(int axis);
  std::vector<int32_t> BoardPositions();
  bool BoardIdle();

  vx::sim::BoardSim board;
  PipeDevice device;
  Host h;
};

using CaseTable = std::map<std::string, std::function<void()>>;
void AddMotionCases(CaseTable& cases);
void AddStreamCases(CaseTable& cases);
void AddDialogCases(CaseTable& cases);

}  // namespace host
