// Hot-plug storm: a thousand unplug and replug events at random moments
// while the machine streams, jogs and homes. Nothing may leak or crash,
// every arrival must leave the host in E-stop, and the host's reset must
// bring the link back with host and board agreeing on the positions.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "motion/device.h"
#include "sim/machine.h"

namespace vx {
namespace {

using sim::Machine;

constexpr int kEvents = 1000;
constexpr int kHomePin = 12;

std::string Positions(const std::vector<int32_t>& p) {
  std::string s;
  for (int32_t v : p) s += (s.empty() ? "" : ",") + std::to_string(v);
  return s;
}

class Storm {
 public:
  explicit Storm(uint32_t seed) : rng_(seed) {
    sim::MachineOptions o;
    o.UpdatePeriodUs = 2000;
    o.Board.SegmentPeriodUs = 500;
    o.Acc = 1000.0;
    m_ = std::make_unique<Machine>(o);
    m_->host.SetInput(2, true, kHomePin);
    m_->host.SetHoming(0, 100, true);
    m_->board.AddSwitch({0, kHomePin, 300, true, 1});
    m_->host.SetJogPercent(50.0);
    m_->board.SetTranscriptEnabled(false);
    m_->host.SetWriteLogging(false);
    std::uniform_real_distribution<double> d(-60.0, 60.0);
    program_.resize(40000);
    for (size_t i = 0; i < program_.size(); ++i) {
      for (double& v : program_[i].Delta) v = d(rng_);
      program_[i].Line = static_cast<int32_t>(i + 1);
    }
  }

  Machine& m() { return *m_; }

  // The first broken promise, "" while all hold.
  std::string Problem() const { return problem_; }

  void Run() {
    m().Start();
    m().Update();
    for (int event = 1; event <= kEvents && problem_.empty(); ++event) {
      event_ = event;
      Work(static_cast<int>(rng_() % 30));
      Plug();
      CheckHandles();
    }
  }

  // Ends the storm with the board on the bus and the program run out.
  void Finish() {
    if (!m().board.Plugged()) m().Replug();
    HostReset();
    if (!problem_.empty()) return;
    for (size_t end = fed_ + 500; fed_ < end;) {
      Feed(end - fed_);
      m().Update();
    }
    m().host.SetBufferEnding(true);
    if (!m().RunToEnd(200000)) Fail("the program did not run to its end");
    if (!m().LinkUp()) Fail("link down at the end");
    if (m().HostPositions() != m().BoardPositions())
      Fail("host " + Positions(m().HostPositions()) + ", board " + Positions(m().BoardPositions()));
    CheckHandles();
  }

  int Arrivals() const { return arrivals_; }
  int Recoveries() const { return recoveries_; }
  int Jogs() const { return jogs_; }
  int Homings() const { return homings_; }
  int Batches() const { return batches_; }

 private:
  void Fail(const std::string& what) {
    if (problem_.empty()) problem_ = "event " + std::to_string(event_) + ": " + what;
  }

  bool Ready() {
    const MyDeviceClass& d = *m().ctx->Device;
    return m().LinkUp() && !m().host.EStop() && d.Sequence == SeqIdle && m().host.RingPending() == 0 &&
           d.WaitForJogIdle == 0 && !m().host.EngineJogging() && !m().host.HomingActive();
  }

  void Feed(size_t n) { fed_ += m().Feed(program_, fed_, n); }

  // Streams, jogs and homes for a number of Update calls.
  void Work(int updates) {
    for (int i = 0; i < updates; ++i) {
      if (jogLeft_ > 0 && --jogLeft_ == 0) m().ctx->JogOff(0);
      if (streaming_ > 0) {
        Feed(static_cast<size_t>(rng_() % 50));
        --streaming_;
      } else if (Ready() && rng_() % 4 == 0) {
        switch (rng_() % 3) {
          case 0:
            streaming_ = 1 + static_cast<int>(rng_() % 20);
            ++batches_;
            break;
          case 1:
            m().ctx->JogOn(static_cast<int>(rng_() % 5), static_cast<int>(rng_() % 2), 0.0);
            jogLeft_ = 1 + static_cast<int>(rng_() % 15);
            ++jogs_;
            break;
          default:
            m().ctx->Home(0);
            ++homings_;
            break;
        }
      }
      m().Update();
    }
  }

  // One hot-plug event; mostly the opposite of the board's state, now and
  // then a repeated removal or an arrival with no removal before it.
  void Plug() {
    const bool plugged = m().board.Plugged();
    const bool flip = rng_() % 10 < 8;
    if (plugged == flip) {
      m().Unplug();
      if (m().ctx->BoardPresent != 0) Fail("BoardPresent after a removal");
      if (m().ctx->BoardHandle != kInvalidHandle) Fail("a handle kept after a removal");
      if (m().host.StatusText() != "No VendrixBoard, Please plug it in!")
        Fail("status \"" + m().host.StatusText() + "\" after a removal");
      return;
    }
    m().Replug();
    ++arrivals_;
    if (!m().host.EStop()) Fail("no E-stop after an arrival");
    if (m().ctx->BoardPresent != 1 || !m().hid.IsOpen(m().ctx->BoardHandle))
      Fail("the board is not open after an arrival");
    // The host stays in E-stop whatever the cycles do, until it resets.
    Work(static_cast<int>(rng_() % 5));
    if (!m().host.EStop()) Fail("E-stop cleared before the host's reset");
    if (rng_() % 10 < 7) HostReset();
  }

  void HostReset() {
    jogLeft_ = 0;
    streaming_ = 0;
    m().host.SetEStop(false);
    m().ctx->Reset();
    ++recoveries_;
    if (!m().LinkUp()) Fail("no link after the host's reset");
    if (m().host.EStop()) Fail("E-stop after the host's reset");
    if (m().host.StatusText() != "Vendrix connected") Fail("status \"" + m().host.StatusText() + "\"");
    if (m().HostPositions() != m().BoardPositions())
      Fail("after the reset host " + Positions(m().HostPositions()) + ", board " +
           Positions(m().BoardPositions()));
  }

  void CheckHandles() {
    const sim::FakeHid& hid = m().hid;
    if (hid.Opened() != hid.Closed() + hid.OpenHandles())
      Fail("handles: opened " + std::to_string(hid.Opened()) + ", closed " + std::to_string(hid.Closed()) +
           ", open " + std::to_string(hid.OpenHandles()));
    if (hid.OpenHandles() > 1) Fail(std::to_string(hid.OpenHandles()) + " handles open");
    if (hid.BadCloses() != 0) Fail("a handle closed twice");
    if (hid.SetsCreated() != hid.SetsDestroyed()) Fail("a device information set kept");
  }

  std::mt19937 rng_;
  std::unique_ptr<Machine> m_;
  std::vector<Machine::Record> program_;
  size_t fed_ = 0;
  int event_ = 0;
  int jogLeft_ = 0;
  int streaming_ = 0;
  int arrivals_ = 0, recoveries_ = 0, jogs_ = 0, homings_ = 0, batches_ = 0;
  std::string problem_;
};

TEST(HotplugStorm, ThousandUnplugsAndReplugsLeakNothingAndAlwaysRecover) {
  Storm storm(20240611);
  storm.Run();
  storm.Finish();
  EXPECT_EQ(storm.Problem(), "");
  // The storm really hit every kind of work.
  EXPECT_GT(storm.Arrivals(), 300);
  EXPECT_GT(storm.Recoveries(), 200);
  EXPECT_GT(storm.Batches(), 50);
  EXPECT_GT(storm.Jogs(), 50);
  EXPECT_GT(storm.Homings(), 20);
  EXPECT_TRUE(storm.m().board.Violations().empty()) << storm.m().board.Violations().front();
}

}  // namespace
}  // namespace vx
