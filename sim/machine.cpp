#include "sim/machine.h"

#include "link/discovery.h"
#include "motion/device.h"

namespace vx::sim {

Machine::Machine(MachineOptions opts) : board(opts.Board), options(opts) {
  host.Activate();
  for (int a = 0; a < proto::kAxes; ++a) host.SetAxisTuning(a, opts.Steps, opts.Vel, opts.Acc);
  boardCandidate = hid.Add(FakeHid::Board(&board));
  if (!opts.BoardPlugged) board.Unplug();
  Platform p;
  p.Memory = &host;
  p.Hid = &hid;
  p.Windows = &window;
  p.Files = &files;
  p.Console = &console;
  p.Clock = &clock;
  p.BoardLock = &lock;
  ctx = std::make_unique<PluginContext>(p);
  window.PluginTarget = [this](Handle w, uint32_t m, uintptr_t wp, intptr_t lp) {
    return MainWindowProc(*ctx, w, m, wp, lp);
  };
}

// The context goes first: its device's teardown still talks to the board,
// and to the board itself: a test's wrapper around it was declared after the
// machine (it needs the board) and is already gone.
Machine::~Machine() {
  if (boardCandidate >= 0 && boardCandidate < hid.CandidateCount())
    hid.Candidate(boardCandidate).Device = &board;
  ctx.reset();
}

void Machine::Start() {
  host.InstallCallbacks(*ctx);
  host.InitControl(*ctx);
  ctx->PostInitControl();
}

void Machine::Update() {
  ctx->Update();
  board.Advance(options.UpdatePeriodUs);
  clockUs_ += options.UpdatePeriodUs;
  clock.Advance(static_cast<uint32_t>(clockUs_ / 1000));
  clockUs_ %= 1000;
}

void Machine::Updates(int n) {
  for (int i = 0; i < n; ++i) Update();
}

bool Machine::RunToEnd(int maxUpdates) {
  bool ended = UpdateUntil(
      [this] {
        return host.RingPending() == 0 && ctx->EndPending == 0 && ctx->Device->InMotion == 0 &&
               board.Idle() && board.QueuedSegments() == 0;
      },
      maxUpdates);
  // One more cycle brings the board's final state into the host.
  Update();
  return ended;
}

void Machine::Unplug() {
  board.Unplug();
  std::vector<uint8_t> b = DeviceInterfaceBroadcast(BoardBroadcastName());
  window.Send(FakeWindow::kMainWindow, wm::kDeviceChange, wm::kDeviceRemoveComplete,
              reinterpret_cast<intptr_t>(b.data()));
}

void Machine::Replug() {
  board.Replug();
  std::vector<uint8_t> b = DeviceInterfaceBroadcast(BoardBroadcastName());
  window.Send(FakeWindow::kMainWindow, wm::kDeviceChange, wm::kDeviceArrival,
              reinterpret_cast<intptr_t>(b.data()));
}

size_t Machine::Feed(const std::vector<Record>& records, size_t next, size_t count) {
  size_t fed = 0;
  while (fed < count && next + fed < records.size()) {
    const Record& r = records[next + fed];
    if (!host.PushRecord(r.Delta, r.Line)) break;
    ++fed;
  }
  return fed;
}

std::vector<int32_t> Machine::HostPositions() const {
  std::vector<int32_t> p;
  for (int a = 0; a < proto::kAxes; ++a) p.push_back(host.Position(a));
  return p;
}

std::vector<int32_t> Machine::BoardPositions() const {
  std::vector<int32_t> p;
  for (int a = 0; a < proto::kAxes; ++a) p.push_back(board.Position(a));
  return p;
}

}  // namespace vx::sim
