// A plug-in context wired to a simulated board through FakeHid and
// FakeWindow, over the host simulator, for the board-link tests.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/board_link.h"
#include "link/discovery.h"
#include "plugin/plugin_context.h"
#include "sim/board_sim.h"
#include "sim/fake_hid.h"
#include "sim/fake_window.h"
#include "sim/host_sim.h"

namespace vx::test {

// A recursive lock that remembers how it was used.
class RecordingLock : public LockApi {
 public:
  void Acquire() override {
    ++depth;
    ++acquisitions;
  }
  void Release() override {
    --depth;
    if (depth == 0) ++fullReleases;
  }
  int depth = 0;
  int acquisitions = 0;
  int fullReleases = 0;  // times the lock became free
};

// Sits between FakeHid and a device and notes, per transfer, whether the
// board lock was held and how often it had become free since the last one.
class LockProbe : public sim::HidDevice {
 public:
  LockProbe(sim::HidDevice& inner, RecordingLock& lock) : inner_(inner), lock_(lock) {}
  struct Transfer {
    bool Write = false;
    uint8_t Code = 0;
    bool Held = false;
    int FreesBefore = 0;  // full releases of the lock since the previous transfer
  };
  bool Receive(const uint8_t* report) override {
    Note(true, report[64]);
    return inner_.Receive(report);
  }
  bool Answer(uint8_t* report) override {
    Note(false, 0);
    return inner_.Answer(report);
  }
  bool Plugged() const override { return inner_.Plugged(); }
  uint32_t PlugGeneration() const override { return inner_.PlugGeneration(); }
  std::vector<Transfer> transfers;

 private:
  void Note(bool write, uint8_t code) {
    transfers.push_back(Transfer{write, code, lock_.depth > 0, lock_.fullReleases - frees_});
    frees_ = lock_.fullReleases;
  }
  sim::HidDevice& inner_;
  RecordingLock& lock_;
  int frees_ = 0;
};

// Context + memory + fakes + one board (candidate 0).
struct LinkRig {
  sim::HostSim host;
  sim::FakeHid hid;
  sim::FakeWindow window;
  RecordingLock lock;
  sim::BoardSim board;
  LockProbe probe{board, lock};
  Platform platform;
  std::unique_ptr<PluginContext> ctx;

  explicit LinkRig(bool withBoard = true) {
    if (withBoard) hid.Add(sim::FakeHid::Board(&probe));
    platform.Memory = &host;
    platform.Hid = &hid;
    platform.Windows = &window;
    platform.BoardLock = &lock;
    ctx = std::make_unique<PluginContext>(platform);
    ctx->host.Attach(host.EngineAddr(), host.SettingsAddr(), host.PlannerAddr(), host.ViewAddr());
    host.InstallCallbacks(*ctx);
    host.SetMainWindowHandle(sim::FakeWindow::kMainWindow);
    window.PluginTarget = [this](Handle w, uint32_t m, uintptr_t wp, intptr_t lp) {
      return MainWindowProc(*ctx, w, m, wp, lp);
    };
  }

  // Discovers and opens the board as start-up does.
  bool Connect() {
    ctx->Interfaces.Clear();
    int found = DiscoverBoard(*ctx);
    if (found == 0) return false;
    ctx->BoardHandle = kInvalidHandle;
    OpenBoard(*ctx, *ctx->Interfaces.At(found - 1));
    ctx->BoardPresent = ctx->BoardHandle != kInvalidHandle ? 1 : 0;
    return ctx->BoardPresent == 1;
  }
  // The link as a successful reset leaves it.
  void LinkUp() {
    ctx->LinkError = 0;
    ctx->LinkUp = 1;
  }
  // Status-line texts posted so far.
  const std::vector<std::string>& Posted() const { return host.StatusHistory(); }
};

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

}  // namespace vx::test
