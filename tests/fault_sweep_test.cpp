// Fault sweep: a reference session (start-up, a streamed program, a jog, a
// homing, a probe and a purge) is run once to list its board transfers; then
// the session runs again once per transfer with exactly that transfer
// failing. Every run must leave the link down as the failing sender
// prescribes, stay off the wire until the host resets, and after the reset
// and the rest of the program end with host and board agreeing and every
// record accounted for: delivered once, or lost the way a failed packet or
// a reset loses it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/board_protocol.h"
#include "motion/device.h"
#include "sim/machine.h"

namespace vx {
namespace {

using sim::Direction;
using sim::Machine;

// Who was talking to the board when a transfer happened.
enum class Caller { StartUp, Update, HostReset, JogOn, JogOff, Home, Probe, Purge };

const char* CallerName(Caller c) {
  switch (c) {
    case Caller::StartUp: return "start-up";
    case Caller::Update: return "Update";
    case Caller::HostReset: return "Reset";
    case Caller::JogOn: return "JogOn";
    case Caller::JogOff: return "JogOff";
    case Caller::Home: return "Home";
    case Caller::Probe: return "Probe";
    case Caller::Purge: return "Purge";
  }
  return "?";
}

struct Transfer {
  bool Write = true;
  int Number = 0;  // among the writes, or among the reads, from 1
  uint8_t Code = 0;
  Caller By = Caller::Update;
};

constexpr int kProgramRecords = 100;
constexpr int kFirstBatch = 50;
constexpr int kXHomePin = 12;
constexpr int kProbePin = 13;

// A program of small moves with one line id per record, so that each
// record can be traced on the wire.
std::vector<Machine::Record> Program() {
  std::vector<Machine::Record> records(kProgramRecords);
  for (int i = 0; i < kProgramRecords; ++i) {
    for (int a = 0; a < proto::kAxes; ++a) records[i].Delta[a] = ((i * 7 + a * 13) % 41) - 20 + 0.5;
    records[i].Line = 1000 + i;
  }
  return records;
}

sim::MachineOptions Options() {
  sim::MachineOptions o;
  o.UpdatePeriodUs = 2000;
  o.Board.SegmentPeriodUs = 200;
  o.Acc = 1000.0;
  return o;
}

// Lines carried by the trajectory packets of one transcript entry.
std::vector<uint32_t> PacketLines(const sim::TranscriptEntry& e) {
  std::vector<uint32_t> lines;
  if (e.Dir != Direction::ToBoard) return lines;
  if (e.Command != proto::kSegments && e.Command != proto::kSegmentsAck &&
      e.Command != proto::kSegmentsEnd)
    return lines;
  const uint8_t* p = proto::PayloadOf(e.Bytes);
  uint32_t n = std::min<uint32_t>(p[proto::segments::Count], proto::segments::kPerPacket);
  for (uint32_t i = 0; i < n; ++i)
    lines.push_back(proto::DecodeSegment(p + proto::segments::kSegmentSize * i).Line);
  return lines;
}

// One run of the session, optionally with one transfer failing.
class Session {
 public:
  explicit Session(std::optional<Transfer> fault) : m(Options()), fault_(fault), program_(Program()) {
    m.host.SetInput(2, true, kXHomePin);  // X home switch
    m.host.SetHoming(0, 100, true);
    m.host.SetHomePosition(0, 0);
    m.host.SetInput(22, true, kProbePin);  // probe, touching at once
    m.board.AddSwitch({2, kProbePin, 100000, false, 1});
    m.host.SetJogPercent(100.0);
    m.host.SetProbeTarget(0.0, 0.0, -0.5);
    if (fault_) {
      if (fault_->Write) {
        m.board.FailWrite(fault_->Number);
      } else {
        m.board.FailRead(fault_->Number);
      }
    }
  }

  // The script; stops after the step in which a transfer failed.
  void Run() {
    if (!Step(Caller::StartUp, [&] { m.Start(); })) return;
    if (!UpdatesUntil([&] { return m.ctx->Device->Sequence == SeqIdle; }, 20)) return;

    // Program: two batches, each drained and closed with a SegmentsEnd; the
    // twelfth full packet goes out as SegmentsAck.
    if (!FeedAndDrain(kFirstBatch)) return;
    if (!FeedAndDrain(kProgramRecords - kFirstBatch)) return;
    programDone_ = true;
    programEnd_ = m.BoardPositions();

    if (!Step(Caller::JogOn, [&] { m.ctx->JogOn(1, 0, 0.0); })) return;
    if (!Updates(4)) return;
    if (!Step(Caller::JogOff, [&] { m.ctx->JogOff(1); })) return;
    if (!UpdatesUntil([&] { return !m.host.EngineJogging(); }, 50)) return;

    m.board.AddSwitch({0, kXHomePin, m.board.Position(0) + 40, true, 1});
    if (!Step(Caller::Home, [&] { m.ctx->Home(0); })) return;
    if (!UpdatesUntil([&] { return !m.host.HomingActive(); }, 200)) return;

    if (!Step(Caller::Probe, [&] { m.ctx->Probe(); })) return;
    if (!UpdatesUntil([&] { return m.ctx->Device->WaitForJogIdle == 0; }, 50)) return;

    if (!Step(Caller::Purge, [&] { m.ctx->Purge(0x1F); })) return;
    Updates(2);
  }

  // The host's recovery: E-stop off, Reset, then the rest of the program.
  void Recover() {
    m.host.SetEStop(false);
    openAtReset_.clear();
    // A failed SegmentsEnd has cleared the buffer but not SlotCount; a
    // failed packet write has cleared SlotCount but not the buffer.
    const uint32_t open =
        std::min<uint32_t>(m.ctx->SegmentBuffer[proto::segments::Count], m.ctx->SlotCount);
    for (uint32_t s = 0; s < open; ++s)
      openAtReset_.push_back(
          proto::DecodeSegment(m.ctx->SegmentBuffer.data() + proto::segments::kSegmentSize * s).Line);
    Step(Caller::HostReset, [&] { m.ctx->Reset(); });
    resetAt_ = m.board.Transcript().size();
    afterReset_ = m.BoardPositions();
    UpdatesUntil([&] { return m.ctx->Device->Sequence == SeqIdle && m.host.RingPending() == 0; }, 200);
    while (fed_ < program_.size()) {
      fed_ += m.Feed(program_, fed_, program_.size() - fed_);
      m.Update();
    }
    m.host.SetBufferEnding(true);
    m.RunToEnd(2000);
    m.host.SetBufferEnding(false);
    m.Update();
  }

  // Transfers in order, with the caller of each.
  std::vector<Transfer> Transfers() const {
    std::vector<Transfer> out;
    int writes = 0, reads = 0;
    const auto& t = m.board.Transcript();
    for (size_t i = 0; i < t.size(); ++i) {
      Transfer x;
      x.Write = t[i].Dir == Direction::ToBoard;
      x.Number = x.Write ? ++writes : ++reads;
      x.Code = t[i].Command;
      x.By = CallerAt(i);
      out.push_back(x);
    }
    return out;
  }

  bool Faulted() const { return m.hid.FailedWrites() + m.hid.FailedReads() > 0; }
  Caller FailedIn() const { return failedIn_; }
  const std::vector<std::string>& StatusOfFailedStep() const { return statusOfStep_; }
  bool EStopBeforeFailedStep() const { return estopBefore_; }
  bool ProgramDone() const { return programDone_; }
  const std::vector<int32_t>& ProgramEnd() const { return programEnd_; }
  const std::vector<int32_t>& AfterReset() const { return afterReset_; }
  size_t ResetAt() const { return resetAt_; }
  const std::vector<uint32_t>& OpenAtReset() const { return openAtReset_; }
  const std::vector<Machine::Record>& Records() const { return program_; }

  Machine m;

 private:
  bool Step(Caller by, const std::function<void()>& f) {
    const size_t from = m.board.Transcript().size();
    const size_t posts = m.host.StatusHistory().size();
    const bool estop = m.host.EStop();
    f();
    spans_.push_back({from, m.board.Transcript().size(), by});
    if (!Faulted() || failedStepSeen_) return true;
    failedStepSeen_ = true;
    failedIn_ = by;
    estopBefore_ = estop;
    statusOfStep_.assign(m.host.StatusHistory().begin() + static_cast<long>(posts),
                         m.host.StatusHistory().end());
    return false;
  }
  bool Update() { return Step(Caller::Update, [&] { m.Update(); }); }
  bool Updates(int n) {
    for (int i = 0; i < n; ++i)
      if (!Update()) return false;
    return true;
  }
  bool UpdatesUntil(const std::function<bool()>& done, int max) {
    for (int i = 0; i < max && !done(); ++i)
      if (!Update()) return false;
    return true;
  }
  bool FeedAndDrain(size_t count) {
    size_t end = fed_ + count;
    while (fed_ < end) {
      fed_ += m.Feed(program_, fed_, end - fed_);
      if (!Update()) return false;
    }
    return UpdatesUntil(
        [&] {
          return m.host.RingPending() == 0 && m.ctx->EndPending == 0 && m.board.Idle() &&
                 m.ctx->Device->InMotion == 0;
        },
        200);
  }
  Caller CallerAt(size_t transfer) const {
    for (const auto& s : spans_)
      if (transfer >= s.From && transfer < s.To) return s.By;
    return Caller::Update;
  }

  struct Span {
    size_t From, To;
    Caller By;
  };
  std::optional<Transfer> fault_;
  std::vector<Machine::Record> program_;
  size_t fed_ = 0;
  std::vector<Span> spans_;
  bool failedStepSeen_ = false;
  Caller failedIn_ = Caller::Update;
  bool estopBefore_ = false;
  std::vector<std::string> statusOfStep_;
  bool programDone_ = false;
  std::vector<int32_t> programEnd_;
  std::vector<int32_t> afterReset_;
  size_t resetAt_ = 0;
  std::vector<uint32_t> openAtReset_;
};

// What a failure of this transfer must leave behind.
struct Expectation {
  bool LinkDown = true;             // false: the same full reset heals it
  std::optional<bool> EStop;        // nullopt: as it was before the step
  std::optional<std::string> Post;  // the message the failing sender posts
};

Expectation Expect(const Transfer& t) {
  const bool inReset = t.By == Caller::StartUp || t.By == Caller::HostReset;
  switch (t.Code) {
    case proto::kStatus:
      if (inReset) return {true, true, msg::kCommError2};
      return {true, true, t.Write ? msg::kCommError1 : msg::kCommError2};
    case proto::kSegmentsEnd:
    case proto::kSegments:
    case proto::kSegmentsAck:
      // A program that lost segments stops the host.
      return {true, true, msg::kCommError2};
    case proto::kIdentify:
      // No answer: the reset posts its own complaint and raises E-stop.
      return {true, true, msg::kIdentifyError};
    case proto::kStop:
      // A full reset goes on and identifies the board.
      if (inReset) return {false, std::nullopt, std::nullopt};
      return {};
    case proto::kSetPositions:
    case proto::kAxisSetup:
      // The reset has already said "Vendrix connected"; it takes that back.
      if (inReset) return {true, true, msg::kIdentifyError};
      return {};
    default:
      return {};  // silent senders: only the link flags
  }
}

std::string Join(const std::vector<int32_t>& v) {
  std::string s;
  for (int32_t x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
  return s;
}

// Checks one faulted run; returns "" when sound, else what went wrong, and
// describes in `seen` what the failure left behind.
std::string Check(const Transfer& t, Session& s, std::string* seen) {
  Machine& m = s.m;
  std::string bad;
  auto fail = [&](const std::string& what) {
    if (bad.empty()) bad = what;
  };
  if (!s.Faulted()) return "the transfer never failed (the session took another path)";
  if (s.FailedIn() != t.By) fail(std::string("failed in ") + CallerName(s.FailedIn()));

  const Expectation e = Expect(t);
  const bool down = m.ctx->LinkError == 1 && m.ctx->LinkUp == 0;
  if (e.LinkDown && !down)
    fail("link not down: LinkError " + std::to_string(m.ctx->LinkError) + ", LinkUp " +
         std::to_string(m.ctx->LinkUp));
  if (!e.LinkDown && !m.LinkUp()) fail("the reset did not bring the link up");
  const bool estopWanted = e.EStop.value_or(s.EStopBeforeFailedStep());
  if (m.host.EStop() != estopWanted) fail(std::string("EStop ") + (m.host.EStop() ? "1" : "0"));
  const auto& posts = s.StatusOfFailedStep();
  auto posted = [&](const std::string& text) {
    for (const auto& p : posts)
      if (p == text) return true;
    return false;
  };
  if (e.Post) {
    if (!posted(*e.Post)) fail("no \"" + *e.Post + "\"");
    else if (m.host.StatusText() != *e.Post) fail("status line \"" + m.host.StatusText() + "\"");
  } else {
    for (const auto& p : posts)
      if (p.find("communicate error") != std::string::npos) fail("posted \"" + p + "\"");
  }
  for (const auto& v : m.board.Violations())
    fail("board violation: " + v);
  *seen = std::string(down ? "link down" : "link up") + (m.host.EStop() ? ", EStop" : "");
  for (const auto& p : posts) *seen += ", \"" + p + "\"";
  if (!bad.empty()) return bad;

  if (down) {
    // Off the wire until the host resets.
    const int writes = m.hid.Writes(), reads = m.hid.Reads();
    for (int i = 0; i < 10; ++i) m.Update();
    if (m.hid.Writes() != writes || m.hid.Reads() != reads) return "Update traffic with the link down";
  }

  s.Recover();
  if (!m.LinkUp()) return "no link after the host's reset";
  if (m.host.EStop()) return "E-stop after the recovery";
  for (const auto& v : m.board.Violations()) return "board violation after the reset: " + v;
  if (m.HostPositions() != m.BoardPositions())
    return "host " + Join(m.HostPositions()) + " but board " + Join(m.BoardPositions());

  // Record accounting by line id.
  const auto& tr = m.board.Transcript();
  std::map<uint32_t, int> delivered;
  std::vector<uint32_t> lastFailedPacket;
  std::vector<int64_t> afterResetSum(proto::kAxes, 0);
  std::map<uint32_t, const Machine::Record*> byLine;
  for (const auto& r : s.Records()) byLine[static_cast<uint32_t>(r.Line)] = &r;
  for (size_t i = 0; i < tr.size(); ++i) {
    auto lines = PacketLines(tr[i]);
    if (tr[i].Failed) {
      if (!lines.empty()) lastFailedPacket = lines;
      continue;
    }
    for (uint32_t l : lines) {
      if (++delivered[l] > 1) return "line " + std::to_string(l) + " reached the board twice";
      if (i >= s.ResetAt() && byLine.count(l))
        for (int a = 0; a < proto::kAxes; ++a)
          afterResetSum[a] += static_cast<int64_t>(std::trunc(byLine[l]->Delta[a]));
    }
  }
  std::vector<uint32_t> lost;
  for (const auto& r : s.Records())
    if (!delivered.count(static_cast<uint32_t>(r.Line))) lost.push_back(static_cast<uint32_t>(r.Line));
  std::vector<uint32_t> expectLost;
  if (t.Write && (t.Code == proto::kSegments || t.Code == proto::kSegmentsAck)) {
    // The packet is lost; its last record stays in the ring and goes again.
    expectLost.assign(lastFailedPacket.begin(), lastFailedPacket.end() - 1);
  } else if (t.Write && t.Code == proto::kSegmentsEnd) {
    expectLost = lastFailedPacket;
  } else {
    expectLost = s.OpenAtReset();  // collected, never sent, dropped by the reset
  }
  *seen += ", " + std::to_string(lost.size()) + " lost";
  if (lost != expectLost) return "lost lines " + Join({lost.begin(), lost.end()}) + ", expected " +
                                 Join({expectLost.begin(), expectLost.end()});

  // After the reset the board runs exactly what it was sent.
  std::vector<int32_t> want = s.AfterReset();
  for (int a = 0; a < proto::kAxes; ++a) want[a] += static_cast<int32_t>(afterResetSum[a]);
  if (m.BoardPositions() != want)
    return "board " + Join(m.BoardPositions()) + ", expected " + Join(want) + " from the records sent";
  return "";
}

const char* Kind(const Transfer& t) { return t.Write ? "write" : "read"; }

TEST(FaultSweep, EveryTransferFailingLeavesTheLinkDownAndRecovers) {
  Session reference(std::nullopt);
  reference.Run();
  ASSERT_FALSE(reference.Faulted());
  ASSERT_TRUE(reference.ProgramDone());
  ASSERT_TRUE(reference.m.board.Violations().empty()) << reference.m.board.Violations().front();
  // The program alone moved the board by the sum of its records.
  std::vector<int32_t> sum(proto::kAxes, 0);
  for (const auto& r : reference.Records())
    for (int a = 0; a < proto::kAxes; ++a) sum[a] += static_cast<int32_t>(std::trunc(r.Delta[a]));
  EXPECT_EQ(reference.ProgramEnd(), sum);
  EXPECT_EQ(reference.m.HostPositions(), reference.m.BoardPositions());

  const std::vector<Transfer> transfers = reference.Transfers();
  std::map<uint8_t, int> codes;
  for (const auto& t : transfers) ++codes[t.Code];
  ASSERT_GE(codes[proto::kSegments], 10);
  ASSERT_GE(codes[proto::kSegmentsAck], 2);  // written and answered
  ASSERT_GE(codes[proto::kSegmentsEnd], 4);
  ASSERT_GE(codes[proto::kMove], 3);         // jog, home seek and back-off, probe
  ASSERT_GE(codes[proto::kJogStop], 1);

  std::string table;
  int failures = 0;
  for (size_t i = 0; i < transfers.size(); ++i) {
    const Transfer& t = transfers[i];
    Session s(t);
    s.Run();
    std::string seen;  // what the failure left: link, E-stop, messages, records lost
    const std::string wrong = Check(t, s, &seen);
    char row[300];
    std::snprintf(row, sizeof row, "%4zu  %-5s %-12s %-9s  %s%s%s\n", i + 1, Kind(t),
                  proto::CommandName(t.Code), CallerName(t.By), seen.c_str(),
                  wrong.empty() ? "" : "  <-- ", wrong.c_str());
    table += row;
    if (!wrong.empty()) ++failures;
  }
  EXPECT_EQ(failures, 0) << "  #   kind  sender       caller     outcome\n" << table;
}

}  // namespace
}  // namespace vx
