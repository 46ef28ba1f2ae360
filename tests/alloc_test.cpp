// The Update path allocates nothing: streaming, status exchanges, stream
// ends, E-stop and limit handling and their messages, counted over many
// cycles. This file replaces the global allocation functions for the whole
// test binary; they count only while a test here asks them to.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "motion_support.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_paused{0};
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed) && g_paused.load(std::memory_order_relaxed) == 0)
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  for (;;) {
    if (void* p = std::malloc(size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateNoThrow(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

// Over-aligned forms keep the library's own pair; nothing here uses them.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace vx {
namespace {

// What the host and the board do on the far side of a call is theirs: the
// count pauses there.
struct Pause {
  Pause() { g_paused.fetch_add(1); }
  ~Pause() { g_paused.fetch_sub(1); }
};

class QuietHost : public HostMemory {
 public:
  explicit QuietHost(sim::HostSim& host) : host_(host) {}
  uint8_t* Map(HostAddr addr, uint32_t size, bool write) override { return host_.Map(addr, size, write); }
  HostAddr StringAllocate(HostAddr manager, int32_t chars) override {
    Pause p;
    return host_.StringAllocate(manager, chars);
  }
  HostAddr StringReallocate(HostAddr manager, HostAddr header, int32_t chars) override {
    Pause p;
    return host_.StringReallocate(manager, header, chars);
  }
  void StringFree(HostAddr manager, HostAddr header) override {
    Pause p;
    host_.StringFree(manager, header);
  }
  HostAddr OwnStringManager() override { return host_.OwnStringManager(); }
  void StatusPosted() override {
    Pause p;
    host_.StatusPosted();
  }

 private:
  sim::HostSim& host_;
};

class QuietBoard : public sim::HidDevice {
 public:
  explicit QuietBoard(sim::BoardSim& board) : board_(board) {}
  bool Receive(const uint8_t* report) override {
    Pause p;
    return board_.Receive(report);
  }
  bool Answer(uint8_t* report) override {
    Pause p;
    return board_.Answer(report);
  }
  bool Plugged() const override { return board_.Plugged(); }
  uint32_t PlugGeneration() const override { return board_.PlugGeneration(); }

 private:
  sim::BoardSim& board_;
};

double QuietGetDRO(int code) {
  Pause p;
  return sim::HostSim::CbGetDRO(code);
}
uint8_t QuietGetLED(int code) {
  Pause p;
  return sim::HostSim::CbGetLED(code);
}
void QuietDoButton(int code) {
  Pause p;
  sim::HostSim::CbDoButton(code);
}

constexpr int kXPin = 10, kOverPin = 16, kEStopPin = 15;

TEST(NoAllocation, UpdatePathAllocatesNothing) {
  sim::MachineOptions o;
  o.Board.QueueCapacity = 300;
  sim::Machine m(o);
  QuietHost quietHost(m.host);
  QuietBoard quietBoard(m.board);
  m.hid.Candidate(m.boardCandidate).Device = &quietBoard;
  Platform p;
  p.Memory = &quietHost;
  p.Hid = &m.hid;
  p.Windows = &m.window;
  p.Files = &m.files;
  p.Console = &m.console;
  p.Clock = &m.clock;
  p.BoardLock = &m.lock;
  m.ctx = std::make_unique<PluginContext>(p);
  m.host.SetInput(0, true, kXPin);
  m.host.SetInput(24, true, kOverPin);
  m.host.SetInput(25, true, kEStopPin);
  m.host.SetOutput(3, true, false, true);
  m.host.Led[11] = true;
  m.host.Dro[57] = 10000;
  m.host.SetWriteLogging(false);
  m.board.SetTranscriptEnabled(false);
  m.Start();
  m.ctx->SetGetDRO(&QuietGetDRO);
  m.ctx->SetGetLED(&QuietGetLED);
  m.ctx->SetDoButton(&QuietDoButton);

  long updates = 0;
  auto update = [&] {
    g_counting = true;
    m.ctx->Update();
    g_counting = false;
    ++updates;
    m.board.Advance(m.options.UpdatePeriodUs);
    m.clock.Advance(1);
  };

  // A program fed in bursts: streaming with SegmentsAck holds, Status
  // between, SegmentsEnd whenever the host falls behind, and the end.
  std::vector<sim::Machine::Record> program(2500);
  for (size_t i = 0; i < program.size(); ++i) {
    program[i].Delta[0] = static_cast<double>(i % 300) - 150.5;
    program[i].Delta[2] = 37.25;
    program[i].Line = static_cast<int32_t>(i + 1);
  }
  size_t fed = 0;
  for (int i = 0; fed < program.size(); ++i) {
    if (i % 40 < 10) fed += m.Feed(program, fed, 70);
    update();
  }
  m.host.SetBufferEnding(true);
  for (int i = 0; i < 3000 && !(m.host.RingPending() == 0 && m.board.Idle()); ++i) update();
  for (int i = 0; i < 5; ++i) update();
  ASSERT_EQ(m.board.Statistics().SegmentsExecuted, program.size());
  const size_t messagesBefore = m.host.StatusHistory().size();

  // The E-stop button held, then a limit under LIMIT OVER, then plain.
  m.board.SetPin(kEStopPin, 1);
  for (int i = 0; i < 20; ++i) update();
  m.board.SetPin(kEStopPin, 0);
  m.board.SetPin(kOverPin, 1);
  m.board.SetPin(kXPin, 1);
  m.host.SetEStop(false);
  for (int i = 0; i < 10; ++i) update();
  m.board.SetPin(kOverPin, 0);
  for (int i = 0; i < 10; ++i) update();
  m.board.SetPin(kXPin, 0);
  for (int i = 0; i < 3; ++i) update();  // off the switch: the latch falls
  m.ctx->Reset();
  m.host.SetEStop(false);

  // A record the board cannot run: the speed message, again and again.
  const double tooFast[5] = {401, 0, 0, 0, 0};
  m.host.PushRecord(tooFast, 9999);
  for (int i = 0; i < 10; ++i) {
    update();
    m.host.SetEStop(false);
  }

  EXPECT_GT(m.host.StatusHistory().size(), messagesBefore + 20);  // the handling ran
  EXPECT_EQ(m.host.StatusHistory().back(), "Speed is too high");
  EXPECT_EQ(g_allocations.load(), 0) << "over " << updates << " Update calls";
  m.ctx.reset();  // its teardown talks through the quiet host and board
}

}  // namespace
}  // namespace vx
