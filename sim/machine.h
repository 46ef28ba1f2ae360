// A whole simulated machine: the host simulator, the board simulator behind
// a fake HID interface, fake window, files, console, clock and lock, and one
// plug-in context wired to them, started the way Mach3 starts a plug-in.
// Integration tests, benchmarks and the demo all drive the plug-in through
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/plugin_context.h"
#include "sim/board_sim.h"
#include "sim/fake_hid.h"
#include "sim/fake_window.h"
#include "sim/fakes.h"
#include "sim/host_sim.h"

namespace vx::sim {

struct MachineOptions {
  BoardConfig Board;
  bool BoardPlugged = true;       // the board is on the bus at start-up
  uint32_t UpdatePeriodUs = 1000; // simulated time between two Update calls
  // Axis tuning applied to X..B before start (steps/unit, units/s, units/s^2).
  double Steps = 1000.0, Vel = 2.0, Acc = 10.0;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The host's start-up: callbacks, InitControl, PostInitControl.
  void Start();
  // One host Update, then the board runs for one update period.
  void Update();
  void Updates(int n);
  // Updates until `done` holds or `maxUpdates` ran; true if it held.
  template <typename Pred>
  bool UpdateUntil(Pred done, int maxUpdates = 100000) {
    for (int i = 0; i < maxUpdates; ++i) {
      if (done()) return true;
      Update();
    }
    return done();
  }
  // Updates until the ring has drained, the stream ended and the board is
  // idle with nothing queued.
  bool RunToEnd(int maxUpdates = 1000000);

  // Unplugging and replugging as the system reports them: the board drops
  // off the bus and the removal broadcast reaches the host window; the
  // replug powers the board up afresh and broadcasts its arrival.
  void Unplug();
  void Replug();

  // Feeds up to `count` records from `records` (starting at `next`) into the
  // ring; returns how many went in.
  struct Record {
    double Delta[proto::kAxes] = {};
    int32_t Line = 0;
  };
  size_t Feed(const std::vector<Record>& records, size_t next, size_t count);

  bool LinkUp() const { return ctx->LinkUp == 1 && ctx->LinkError == 0; }
  std::vector<int32_t> HostPositions() const;
  std::vector<int32_t> BoardPositions() const;

  HostSim host;
  BoardSim board;
  FakeHid hid;
  FakeWindow window;
  FakeFiles files;
  FakeConsole console;
  FakeClock clock;
  FakeLock lock;
  std::unique_ptr<PluginContext> ctx;
  MachineOptions options;
  int boardCandidate = -1;

 private:
  uint64_t clockUs_ = 0;  // simulated time not yet handed to the tick count
};

}  // namespace vx::sim
