// A plug-in context wired to a simulated board through FakeHid and
// FakeWindow, over a small flat host memory, for the board-link tests.
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

namespace vx::test {

// The four host structures and a frame object laid out in one flat block.
class FlatHostMemory : public HostMemory {
 public:
  static constexpr HostAddr kBase = 0x10000000;
  static constexpr HostAddr kEngine = kBase;
  static constexpr HostAddr kSettings = kEngine + 0x30000;
  static constexpr HostAddr kPlanner = kSettings + 0x20000;
  static constexpr HostAddr kView = kPlanner + 0x2A0000;
  static constexpr HostAddr kFrame = kView + 0x21000;
  static constexpr uint32_t kSize = kFrame + 0x100 - kBase;

  FlatHostMemory() : bytes_(kSize, 0) {}
  uint8_t* Map(HostAddr addr, uint32_t size, bool) override {
    if (addr < kBase || addr - kBase > kSize || size > kSize - (addr - kBase)) return nullptr;
    return bytes_.data() + (addr - kBase);
  }
  HostAddr StringAllocate(HostAddr, int32_t) override { return 0; }
  HostAddr StringReallocate(HostAddr, HostAddr, int32_t) override { return 0; }
  void StringFree(HostAddr, HostAddr) override {}
  HostAddr OwnStringManager() override { return 0; }

 private:
  std::vector<uint8_t> bytes_;
};

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
  FlatHostMemory memory;
  sim::FakeHid hid;
  sim::FakeWindow window;
  RecordingLock lock;
  sim::BoardSim board;
  LockProbe probe{board, lock};
  Platform platform;
  std::unique_ptr<PluginContext> ctx;

  explicit LinkRig(bool withBoard = true) {
    if (withBoard) hid.Add(sim::FakeHid::Board(&probe));
    platform.Memory = &memory;
    platform.Hid = &hid;
    platform.Windows = &window;
    platform.BoardLock = &lock;
    ctx = std::make_unique<PluginContext>(platform);
    ctx->host.Attach(FlatHostMemory::kEngine, FlatHostMemory::kSettings, FlatHostMemory::kPlanner,
                     FlatHostMemory::kView);
    // The main frame object holds the window handle at byte 28.
    ctx->host.Put<uint32_t>(FlatHostMemory::kView + host::view::MainFrame, FlatHostMemory::kFrame);
    ctx->host.Put<uint32_t>(FlatHostMemory::kFrame + host::view::FrameWindowHandle,
                            static_cast<uint32_t>(sim::FakeWindow::kMainWindow));
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
  std::vector<uint8_t> OutBytes() const {
    return std::vector<uint8_t>(ctx->OutReport.begin(), ctx->OutReport.end());
  }
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
