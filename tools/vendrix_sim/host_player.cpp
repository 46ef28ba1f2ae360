#include "tools/vendrix_sim/host_player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "motion/device.h"
#include "plugin/plugin_context.h"

namespace vx::tool {
namespace {

using proto::segments::kNoLine;

constexpr size_t kLookahead = 400;  // records the host keeps planned ahead in the ring
// Homing order when G28 names no axis, and among the named ones: Z first,
// so the tool clears the work before X and Y travel.
constexpr int kHomeOrder[kAxes] = {2, 0, 1, 3, 4};
constexpr int kLimitSignal[3] = {0, 3, 6};
constexpr int kHomeSignal[3] = {2, 5, 8};
constexpr int kProbeSignal = 22;
constexpr int kEStopSignal = 25;
constexpr int kLedSpindle = 11;
constexpr int kDroSpindleSpeed = 817;
constexpr int kDroProbeFeed = 818;
constexpr int kDroPosition = 800;  // + axis, X..Z
constexpr double kPathResolutionMm = 0.02;  // finer than any picture shows
constexpr double kMaxRecordsPerMove = 2e6;
constexpr uint64_t kSecondUs = 1'000'000;

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

const char* AxisName(int a) {
  static const char* const kNames[kAxes] = {"X", "Y", "Z", "A", "B"};
  return (a >= 0 && a < kAxes) ? kNames[a] : "?";
}

}  // namespace

// Passes reports to the board and keeps the time spent there, so the
// Update's own cost can be told apart from the simulated firmware's.
class HostPlayer::TimedDevice : public sim::HidDevice {
 public:
  TimedDevice(HostPlayer* player, sim::BoardSim* board) : player_(player), inner_(board) {}
  bool Receive(const uint8_t* report) override {
    // A SetPositions replaces the board's counters without moving an axis:
    // the host checks that the machine's position survives it.
    const bool load = report[proto::kPayloadOffset + proto::kCommandByte] == proto::kSetPositions;
    std::array<int32_t, proto::kAxes> before{};
    if (load) before = Counters();
    uint64_t t = NowNs();
    bool ok = inner_->Receive(report);
    spentNs_ += NowNs() - t;
    if (load && ok) player_->OnCountersReplaced(before, Counters(), "SetPositions");
    return ok;
  }
  bool Answer(uint8_t* report) override {
    uint64_t t = NowNs();
    bool ok = inner_->Answer(report);
    spentNs_ += NowNs() - t;
    return ok;
  }
  bool Plugged() const override { return inner_->Plugged(); }
  uint32_t PlugGeneration() const override { return inner_->PlugGeneration(); }
  uint64_t Take() {
    uint64_t s = spentNs_;
    spentNs_ = 0;
    return s;
  }
  std::array<int32_t, proto::kAxes> Counters() const {
    std::array<int32_t, proto::kAxes> c{};
    for (int a = 0; a < proto::kAxes; ++a) c[static_cast<size_t>(a)] = inner_->Position(a);
    return c;
  }

 private:
  HostPlayer* player_;
  sim::BoardSim* inner_;
  uint64_t spentNs_ = 0;
};

HostPlayer::HostPlayer(const SimOptions& options, Progress* progress)
    : options_(options), progress_(progress) {
  for (const FaultRequest& r : options.Faults) faults_.push_back(Fault{r});
}

HostPlayer::~HostPlayer() {
  // The plug-in's teardown still talks to the board; nothing of it belongs
  // in the record.
  if (machine_) {
    machine_->board.SetMotionObserver(nullptr);
    machine_->hid.Candidate(machine_->boardCandidate).Device = &machine_->board;
    machine_.reset();
  }
}

// ---- Start and end

bool HostPlayer::StartMachine() {
  using S = MachineSetup;
  sim::MachineOptions mo;
  // 400 steps, the most a record holds, at the pulse frequency.
  mo.Board.SegmentPeriodUs = static_cast<uint32_t>((400'000 + options_.PulseKhz / 2) / options_.PulseKhz);
  mo.UpdatePeriodUs = options_.UpdateUs;
  mo.Steps = S::kStepsPerMm;
  mo.Vel = S::kVelMmS;
  mo.Acc = S::kAccMmS2;
  machine_ = std::make_unique<sim::Machine>(mo);
  sim::Machine& m = *machine_;
  m.host.SetWriteLogging(false);
  m.board.SetTranscriptEnabled(options_.Transcript);

  // The pulse frequency reaches the plug-in the way the dialog leaves it:
  // in the settings file, which start-up reads and hands to the host.
  std::string khz = std::to_string(options_.PulseKhz) + "KHZ";
  m.files.SetFile(kDefaultSettingsPath, Format("%4s %36s %10s %8s %2s\r\n", "", khz.c_str(), "", "", ""));

  for (int a = 0; a < 3; ++a) {
    m.host.SetInput(kLimitSignal[a], true, S::kLimitPin[a]);
    m.host.SetInput(kHomeSignal[a], true, S::kHomePin[a]);
    m.host.SetHoming(a, S::kHomeSpeedPercent, a == 2);
    m.host.SetHomePosition(a, 0);
    m.board.AddSwitch(sim::AxisSwitch{a, S::kHomePin[a], S::kHomeSwitchSteps[a], a == 2, 1});
  }
  m.host.SetInput(kProbeSignal, true, S::kProbePin);
  // The probe is fitted only while G38.2 runs: axis -1 leaves it unwired.
  probeSwitch_ = m.board.AddSwitch(sim::AxisSwitch{-1, S::kProbePin, S::kStockTopSteps, false, 1});
  m.host.SetInput(kEStopSignal, true, S::kEStopPin, 1, true);
  m.board.SetEStopInput(S::kEStopPin, 0);
  m.host.SetOutput(S::kSpindleOutput, true);

  timed_ = std::make_unique<TimedDevice>(this, &m.board);
  m.hid.Candidate(m.boardCandidate).Device = timed_.get();
  m.board.SetMotionObserver([this](uint64_t t, const std::array<int32_t, proto::kAxes>& p) { OnMotion(t, p); });

  record_.SegmentPeriodUs = mo.Board.SegmentPeriodUs;
  record_.QueueCapacity = m.board.Config().QueueCapacity;

  Annotate("host: InitControl, PostInitControl");
  m.Start();
  ReportStatus();
  setPositionsSeen_ = m.board.Received(proto::kSetPositions);
  if (!m.LinkUp()) {
    Fail("the plug-in did not bring the board link up");
    return false;
  }
  // The host plans with the rate the plug-in handed it.
  double rate = m.host.PulseRate(0);
  periodUs_ = rate > 0 ? 400e6 / rate : mo.Board.SegmentPeriodUs;
  if (!WaitUntil([&] { return m.host.ExternalStill(); }, 10 * kSecondUs, "the start-up to settle")) return false;
  ResyncPosition();
  BreakPaths();
  StartExecutedPath();
  return true;
}

RunRecord HostPlayer::Run(const Program& program) {
  record_.Lines = program.Lines;
  if (StartMachine()) {
    for (const Block& b : program.Blocks) {
      Execute(b);
      if (stopped_) break;
    }
    if (!stopped_) Drain();
    for (int a = 0; a < kAxes; ++a) {
      record_.Commanded[a] = static_cast<double>(std::llround(positionMm_[a] * MachineSetup::kStepsPerMm));
    }
  }
  std::set<int> lines;
  for (const Block& b : program.Blocks) {
    if (!stopped_ || b.Line < record_.StopLine) lines.insert(b.Line);
  }
  record_.LinesRun = static_cast<int>(lines.size());
  RunRecord out;
  Finish(&out);
  return out;
}

RunRecord HostPlayer::RunRecords(const std::vector<DeltaRecord>& records, int lines) {
  record_.Lines = lines;
  if (StartMachine()) {
    std::vector<TrajRecord> planned;
    for (const DeltaRecord& d : records) {
      ArmFaults(d.Line, record_.RecordsPlanned + planned.size());
      TrajRecord r;
      for (int a = 0; a < kAxes; ++a) {
        r.Delta[a] = d.Delta[a];
        record_.Commanded[a] += d.Delta[a];
      }
      r.Line = d.Line;
      planned.push_back(r);
    }
    record_.RecordsPlanned += planned.size();
    Queue(planned);
    hostLine_ = records.empty() ? 0 : records.front().Line;
    Drain();
  }
  int run = 0;
  for (const DeltaRecord& d : records) {
    if (!stopped_ || d.Line < record_.StopLine) ++run;
  }
  record_.LinesRun = run;
  RunRecord out;
  Finish(&out);
  return out;
}

void HostPlayer::Finish(RunRecord* out) {
  if (machine_) {
    sim::Machine& m = *machine_;
    // One more cycle brings the board's final state into the host.
    if (m.LinkUp()) Step(false);
    for (const Fault& f : faults_) {
      if (!f.Fired && !stopped_) {
        progress_->Message(Format("note: the fault at line %d was never reached", f.Request.Line));
      }
    }
    if (!stopped_) {
      record_.Completed = true;
      boardLine_ = std::max(boardLine_, record_.Lines);
      ShowProgress();
    }
    OnMotion(m.board.Now(), {m.board.Position(0), m.board.Position(1), m.board.Position(2),
                             m.board.Position(3), m.board.Position(4)});
    FlushExecuted();
    for (int a = 0; a < kAxes; ++a) {
      record_.HostPositions[static_cast<size_t>(a)] = m.host.Position(a);
      record_.BoardPositions[static_cast<size_t>(a)] = m.board.Position(a);
    }
    record_.MachineTimeUs = m.board.Now();
    record_.RecordsStreamed = totalFed_ - static_cast<uint64_t>(m.host.RingPending());
    for (uint8_t code : {proto::kIdentify, proto::kSetPositions, proto::kAxisSetup, proto::kStatus,
                         proto::kSegments, proto::kSegmentsAck, proto::kSegmentsEnd, proto::kMove,
                         proto::kJogStop, proto::kStop}) {
      record_.Sent.emplace_back(code, m.board.Received(code));
    }
    const auto& stats = m.board.Statistics();
    record_.AcksAnswered = stats.AcksAnswered;
    record_.HeldAnswerUs = stats.HeldAnswerTicks * std::max<uint32_t>(m.board.Config().TickUs, 1);
    record_.Underruns = stats.Underruns;
    record_.Violations = m.board.Violations();
    if (options_.Transcript) {
      std::string& t = record_.Transcript;
      t = Format("# vendrix-sim transcript of %s: %d kHz (segment period %u us), Update every %u us\n",
                 options_.Name.c_str(), options_.PulseKhz, record_.SegmentPeriodUs, options_.UpdateUs);
      const auto& entries = m.board.Transcript();
      size_t note = 0;
      for (size_t i = 0; i <= entries.size(); ++i) {
        while (note < notes_.size() && notes_[note].first <= i) {
          t += notes_[note++].second;
          t += '\n';
        }
        if (i == entries.size()) break;
        t += sim::Describe(entries[i]);
        t += '\n';
      }
    }
  }
  progress_->Finish();
  *out = std::move(record_);
}

// ---- Time

void HostPlayer::Step(bool watch) {
  sim::Machine& m = *machine_;
  timed_->Take();
  const uint64_t t0 = NowNs();
  m.ctx->Update();
  const uint64_t total = NowNs() - t0;
  const uint64_t inBoard = timed_->Take();
  NoteLoadedPositions();
  m.board.Advance(options_.UpdateUs);
  clockRemainderUs_ += options_.UpdateUs;
  m.clock.Advance(static_cast<uint32_t>(clockRemainderUs_ / 1000));
  clockRemainderUs_ %= 1000;

  UpdateSample s;
  s.TimeUs = m.board.Now();
  s.Queued = static_cast<uint32_t>(m.board.QueuedSegments());
  uint64_t cost = total > inBoard ? total - inBoard : 0;
  s.CostNs = static_cast<uint32_t>(std::min<uint64_t>(cost, UINT32_MAX));
  record_.Updates.push_back(s);

  uint32_t line = m.board.Line();
  if (line != kNoLine) boardLine_ = std::max(boardLine_, static_cast<int>(line));
  ReportStatus();
  ShowProgress();
  if (!watch || stopped_) return;

  const uint64_t executed = m.board.Statistics().SegmentsExecuted;
  for (Fault& f : faults_) {
    if (f.Armed && !f.Fired && executed > f.AtRecord) {
      Fire(f);
      return;
    }
  }
  while (buttonsSeen_ < m.host.DoButtons.size()) {
    if (m.host.DoButtons[buttonsSeen_++] == kButtonStopProgram) {
      StopProgram("the plug-in asked the host to stop the program", CurrentLine());
      return;
    }
  }
  if (m.host.EStop()) StopProgram("E-stop: " + m.host.StatusText(), CurrentLine());
}

void HostPlayer::Steps(int n, bool watch) {
  for (int i = 0; i < n; ++i) Step(watch);
}

template <typename Pred>
bool HostPlayer::WaitUntil(Pred done, uint64_t limitUs, const char* what, bool watch) {
  const uint64_t start = machine_->board.Now();
  while (!done()) {
    if (watch && stopped_) return false;
    if (machine_->board.Now() - start > limitUs) {
      Fail(std::string("timed out waiting for ") + what);
      return false;
    }
    Step(watch);
  }
  return true;
}

int HostPlayer::CurrentLine() const { return std::max(boardLine_, hostLine_); }

// ---- Program

void HostPlayer::Queue(const std::vector<TrajRecord>& records) {
  batch_.insert(batch_.end(), records.begin(), records.end());
}

bool HostPlayer::Drain() {
  if (stopped_) return false;
  if (fed_ >= batch_.size()) {
    batch_.clear();
    fed_ = 0;
    return true;
  }
  sim::Machine& m = *machine_;
  m.host.SetBufferEnding(false);
  m.host.SetExternalStill(false);
  const int endsBefore = m.board.Received(proto::kSegmentsEnd);
  Annotate(Format("host: streams %zu records, lines %d to %d", batch_.size() - fed_, batch_[fed_].Line,
                  batch_.back().Line));
  // Generous: the stream at full speed, or at 41 records an Update when
  // Updates come slower than that, twice over, and half a minute.
  const double records = static_cast<double>(batch_.size() - fed_);
  const double fastest = std::max(periodUs_ * records, records / 41.0 * options_.UpdateUs);
  const uint64_t limit = static_cast<uint64_t>(2.0 * fastest) + 30 * kSecondUs;
  const uint64_t start = m.board.Now();
  while (!stopped_) {
    while (fed_ < batch_.size() && static_cast<size_t>(m.host.RingPending()) < kLookahead) {
      if (!m.host.PushRecord(batch_[fed_].Delta, batch_[fed_].Line)) break;
      ++fed_;
      ++totalFed_;
    }
    if (fed_ == batch_.size()) m.host.SetBufferEnding(true);
    Step();
    if (stopped_) break;
    // Done once the board has run the stream's end and the host shows where
    // it stopped: the next command starts from the host's positions.
    if (fed_ == batch_.size() && m.host.RingPending() == 0 &&
        m.board.Received(proto::kSegmentsEnd) > endsBefore && m.board.Idle() && !m.board.StreamOpen() &&
        m.host.ExternalStill() && m.HostPositions() == m.BoardPositions()) {
      break;
    }
    if (m.board.Now() - start > limit) {
      Fail("timed out waiting for the stream to end");
      break;
    }
  }
  batch_.clear();
  fed_ = 0;
  m.host.SetBufferEnding(false);
  return !stopped_;
}

void HostPlayer::Execute(const Block& b) {
  if (b.Kind != Op::Move) {
    if (!Drain()) return;
    hostLine_ = b.Line;
    FireDueFaults(b.Line);
    if (stopped_) return;
  }
  switch (b.Kind) {
    case Op::Move: DoMove(b); break;
    case Op::Dwell: DoDwell(b); break;
    case Op::Home: DoHome(b); break;
    case Op::Probe: DoProbe(b); break;
    case Op::SpindleOn:
    case Op::SpindleOff: DoSpindle(b); break;
  }
}

void HostPlayer::DoMove(const Block& b) {
  double target[kAxes];
  int64_t steps[kAxes];
  double seconds = 0;
  double squared = 0, squaredRotary = 0;
  for (int a = 0; a < kAxes; ++a) {
    double v = b.Value[a] * b.Scale;
    target[a] = b.Has[a] ? (b.Relative ? positionMm_[a] + v : v) : positionMm_[a];
    steps[a] = std::llround(target[a] * MachineSetup::kStepsPerMm) -
               std::llround(positionMm_[a] * MachineSetup::kStepsPerMm);
    double d = target[a] - positionMm_[a];
    (a < 3 ? squared : squaredRotary) += d * d;
    seconds = b.Rapid ? std::max(seconds, std::fabs(d) / MachineSetup::kVelMmS) : seconds;
  }
  if (!b.Rapid) {
    double length = std::sqrt(squared > 0 ? squared : squaredRotary);
    seconds = length / (b.Feed / 60.0);
  }
  if (seconds * 1e6 / periodUs_ > kMaxRecordsPerMove) {
    Fail(Format("line %d: the move would take %.0f records; the feed rate is too low", b.Line,
                seconds * 1e6 / periodUs_));
    return;
  }
  ArmFaults(b.Line, record_.RecordsPlanned);
  std::vector<TrajRecord> records;
  record_.RecordsPlanned += PlanMove(steps, seconds, periodUs_, b.Line, &records);
  Queue(records);
  std::copy(target, target + kAxes, positionMm_);
  AddCommanded(b.Rapid);
}

void HostPlayer::DoHome(const Block& b) {
  sim::Machine& m = *machine_;
  // Homing sets the counters on purpose: that is the machine's new zero.
  struct Homing {
    bool& flag;
    explicit Homing(bool& f) : flag(f) { flag = true; }
    ~Homing() { flag = false; }
  } homing(homing_);
  bool named = false;
  for (bool h : b.Has) named = named || h;
  for (int a : kHomeOrder) {
    // Without axis words, every axis that has a home switch.
    if (named ? !b.Has[a] : a >= 3) continue;
    Annotate(Format("host: line %d: Home(%s)", b.Line, AxisName(a)));
    m.ctx->Home(a);
    ReportStatus();
    if (!m.host.HomingActive()) {
      End(Format("homing %s was refused: %s", AxisName(a), m.host.StatusText().c_str()), b.Line);
      return;
    }
    if (!WaitUntil([&] { return !m.host.HomingActive(); }, 120 * kSecondUs, "homing to end")) return;
    if (!m.host.Referenced(a)) {
      End(Format("homing %s failed: %s", AxisName(a), m.host.StatusText().c_str()), b.Line);
      return;
    }
  }
  ResyncPosition();
  BreakPaths();
}

void HostPlayer::DoProbe(const Block& b) {
  sim::Machine& m = *machine_;
  double target[3];
  for (int a = 0; a < 3; ++a) {
    double v = b.Value[a] * b.Scale;
    target[a] = b.Has[a] ? (b.Relative ? positionMm_[a] + v : v) : positionMm_[a];
  }
  // The host's side of a probe request: the target, the current position
  // in the DROs and the probing feed.
  m.host.SetProbeTarget(target[0], target[1], target[2]);
  double longest = 0;
  for (int a = 0; a < 3; ++a) {
    double at = StepsToMm(m.host.Position(a));
    m.host.Dro[kDroPosition + a] = at;
    longest = std::max(longest, std::fabs(target[a] - at));
  }
  m.host.Dro[kDroProbeFeed] = b.Feed;
  m.board.Switch(probeSwitch_).Axis = 2;
  Annotate(Format("host: line %d: Probe toward X%.3f Y%.3f Z%.3f at F%g", b.Line, target[0], target[1],
                  target[2], b.Feed));
  m.host.SetExternalStill(false);
  m.ctx->Probe();
  ReportStatus();
  // The probe move ramps at the board's slowest rate; allow for it.
  double steps = longest * MachineSetup::kStepsPerMm;
  uint64_t limit = static_cast<uint64_t>((2.0 * std::sqrt(2.0 * steps) + 10.0) * 1e6) +
                   static_cast<uint64_t>(steps / std::max(1.0, b.Feed * MachineSetup::kStepsPerMm / 60.0) * 1e6);
  bool ended = WaitUntil([&] { return m.host.ExternalStill(); }, limit, "the probe move to end");
  bool touched = m.board.PinLevel(MachineSetup::kProbePin) == 1;
  m.board.Switch(probeSwitch_).Axis = -1;
  if (!ended) return;
  for (int a = 0; a < 3; ++a) positionMm_[a] = target[a];
  AddCommanded(false);
  ResyncPosition();
  BreakPaths();
  Annotate(touched ? Format("host: the probe touched at X%.3f Y%.3f Z%.3f", positionMm_[0], positionMm_[1],
                            positionMm_[2])
                   : std::string("host: the probe reached its target without touching"));
}

void HostPlayer::DoDwell(const Block& b) {
  sim::Machine& m = *machine_;
  m.host.SetDwellMilliseconds(false);
  Annotate(Format("host: line %d: DoDwell(%g)", b.Line, b.Seconds));
  m.ctx->DoDwell(b.Seconds);
  WaitUntil([&] { return m.host.DwellTime() == 0; },
            static_cast<uint64_t>(b.Seconds * 2e6) + 2 * kSecondUs, "the dwell to end");
}

void HostPlayer::DoSpindle(const Block& b) {
  sim::Machine& m = *machine_;
  const bool on = b.Kind == Op::SpindleOn;
  if (on) m.host.Dro[kDroSpindleSpeed] = b.Speed;
  m.host.Led[kLedSpindle] = on;
  m.host.SetOutputActivated(MachineSetup::kSpindleOutput, on);
  Annotate(on ? Format("host: line %d: spindle on: DRO %d = %g, LED %d on, output %d on", b.Line,
                       kDroSpindleSpeed, b.Speed, kLedSpindle, MachineSetup::kSpindleOutput)
              : Format("host: line %d: spindle off: LED %d off, output %d off", b.Line, kLedSpindle,
                       MachineSetup::kSpindleOutput));
  // The next Status exchanges carry the change; the host waits for it.
  const uint32_t bit = 1u << MachineSetup::kSpindleOutput;
  WaitUntil(
      [&] {
        const auto& o = m.board.LastOutputs();
        return (o.Led != 0) == on && ((o.OutputBits & bit) != 0) == on;
      },
      kSecondUs, "the spindle outputs to reach the board");
}

// ---- Faults and stops

void HostPlayer::ArmFaults(int line, uint64_t atRecord) {
  for (Fault& f : faults_) {
    if (!f.Armed && !f.Fired && line >= f.Request.Line) {
      f.Armed = true;
      f.AtRecord = atRecord;
    }
  }
}

void HostPlayer::FireDueFaults(int hostLine) {
  for (Fault& f : faults_) {
    if (!f.Fired && hostLine >= f.Request.Line) {
      Fire(f);
      return;
    }
  }
}

void HostPlayer::Fire(Fault& f) {
  sim::Machine& m = *machine_;
  f.Fired = true;
  stopped_ = true;
  const int line = f.Request.Line;
  record_.StopLine = line;
  auto estop = [&] { return m.host.EStop(); };
  switch (f.Request.Kind) {
    case FaultKind::EStop:
      record_.StopReason = Format("E-stop button pressed at line %d", line);
      Annotate(Format("host: the operator presses the E-stop button (line %d)", line));
      m.board.PressEStop(true);
      WaitUntil(estop, kSecondUs, "the plug-in to see the E-stop button", false);
      Steps(5, false);
      FlushRing();
      Annotate("host: the E-stop button is released");
      m.board.PressEStop(false);
      Steps(3, false);
      break;
    case FaultKind::Limit: {
      const int pin = MachineSetup::kLimitPin[f.Request.Axis];
      record_.StopReason = Format("%s limit switch closed at line %d", AxisName(f.Request.Axis), line);
      Annotate(Format("host: the %s limit switch closes (line %d)", AxisName(f.Request.Axis), line));
      m.board.SetPin(pin, 1);
      WaitUntil(estop, kSecondUs, "the plug-in to see the limit switch", false);
      Steps(3, false);
      FlushRing();
      Annotate(Format("host: the %s axis is moved off its limit switch", AxisName(f.Request.Axis)));
      m.board.SetPin(pin, 0);
      Steps(3, false);
      break;
    }
    case FaultKind::Unplug:
      record_.StopReason = Format("board unplugged at line %d", line);
      Annotate(Format("host: the board is unplugged (line %d)", line));
      m.Unplug();
      ReportStatus();
      Steps(10, false);
      FlushRing();
      Annotate("host: the board is plugged in again");
      {
        // The board powers up with its counters at zero; the axes stay put.
        auto before = timed_->Counters();
        m.Replug();
        OnCountersReplaced(before, timed_->Counters(), "power-up");
      }
      ReportStatus();
      NoteLoadedPositions();
      Steps(2, false);
      break;
  }
  HostReset();
}

void HostPlayer::StopProgram(const std::string& reason, int line) {
  if (stopped_) return;
  stopped_ = true;
  record_.StopReason = reason;
  record_.StopLine = line;
  Annotate("host: program stopped: " + reason);
  FlushRing();
  Steps(2, false);
  HostReset();
}

void HostPlayer::End(const std::string& reason, int line) {
  if (stopped_) return;
  stopped_ = true;
  record_.StopReason = reason;
  record_.StopLine = line;
  Annotate("host: program stopped: " + reason);
}

void HostPlayer::Fail(const std::string& reason) {
  record_.Failed = true;
  if (!stopped_) {
    stopped_ = true;
    record_.StopReason = reason;
    record_.StopLine = CurrentLine();
  } else {
    record_.StopReason += "; then " + reason;
  }
  Annotate("host: " + reason);
}

void HostPlayer::FlushRing() {
  sim::Machine& m = *machine_;
  // Stopping discards what the host planned: TrajHead falls back to the
  // plug-in's read index.
  int pending = m.host.RingPending();
  m.host.Write<int32_t>(sim::Struct::Engine, host::engine::TrajHead, m.host.TrajIndex());
  totalFed_ -= static_cast<uint64_t>(pending);
  fed_ = batch_.size();
  m.host.SetBufferEnding(false);
}

void HostPlayer::HostReset() {
  sim::Machine& m = *machine_;
  Annotate("host: Reset");
  m.host.SetExternalStill(false);
  m.host.SetEStop(false);
  m.ctx->Reset();
  ReportStatus();
  NoteLoadedPositions();
  buttonsSeen_ = m.host.DoButtons.size();
  if (!m.LinkUp()) {
    Fail("the reset did not bring the board link up");
    return;
  }
  WaitUntil([&] { return m.host.ExternalStill(); }, 10 * kSecondUs, "the reset to settle", false);
  ResyncPosition();
}

// ---- Records

void HostPlayer::OnCountersReplaced(const std::array<int32_t, proto::kAxes>& before,
                                    const std::array<int32_t, proto::kAxes>& after, const char* how) {
  if (homing_ || before == after) return;
  std::string moved;
  for (int a = 0; a < kAxes; ++a) {
    int64_t d = static_cast<int64_t>(after[static_cast<size_t>(a)]) - before[static_cast<size_t>(a)];
    record_.CounterDrift[a] += d;
    if (d != 0) moved += Format(" %s%+lld", AxisName(a), static_cast<long long>(d));
  }
  Annotate(Format("host: %s moved the board's counters without moving the axes:%s steps", how, moved.c_str()));
}

void HostPlayer::Annotate(const std::string& text) {
  sim::Machine& m = *machine_;
  notes_.emplace_back(m.board.Transcript().size(),
                      Format("# %10.3f ms %s", static_cast<double>(m.board.Now()) / 1000.0, text.c_str()));
  progress_->Message(Format("%10.3f s  %s", static_cast<double>(m.board.Now()) / 1e6, text.c_str()));
}

void HostPlayer::ReportStatus() {
  sim::Machine& m = *machine_;
  const auto& history = m.host.StatusHistory();
  for (; statusShown_ < history.size(); ++statusShown_) Annotate("status: " + history[statusShown_]);
}

void HostPlayer::ResyncPosition() {
  sim::Machine& m = *machine_;
  for (int a = 0; a < kAxes; ++a) positionMm_[a] = StepsToMm(m.host.Position(a));
}

void HostPlayer::NoteLoadedPositions() {
  // A SetPositions moves the counters, not the axes: the picture's path
  // starts afresh from the new numbers.
  int loads = machine_->board.Received(proto::kSetPositions);
  if (loads == setPositionsSeen_) return;
  setPositionsSeen_ = loads;
  StartExecutedPath();
}

void HostPlayer::StartExecutedPath() {
  sim::Machine& m = *machine_;
  FlushExecuted();
  ExecutedPoint p;
  for (int a = 0; a < 3; ++a) p.Mm[a] = StepsToMm(m.board.Position(a));
  p.TimeUs = m.board.Now();
  p.Break = true;
  record_.Executed.push_back(p);
}

void HostPlayer::BreakPaths() {
  CommandedPoint p;
  for (int a = 0; a < 3; ++a) p.Mm[a] = positionMm_[a];
  p.Break = true;
  record_.Commanded3d.push_back(p);
}

void HostPlayer::AddCommanded(bool rapid) {
  CommandedPoint p;
  for (int a = 0; a < 3; ++a) p.Mm[a] = positionMm_[a];
  p.Rapid = rapid;
  record_.Commanded3d.push_back(p);
}

void HostPlayer::OnMotion(uint64_t timeUs, const std::array<int32_t, proto::kAxes>& pos) {
  // The segment that moved the axes is still the board's current one.
  const uint32_t line = machine_->board.Line();
  if (line != kNoLine) boardLine_ = std::max(boardLine_, static_cast<int>(line));
  ExecutedPoint p;
  for (int a = 0; a < 3; ++a) p.Mm[a] = StepsToMm(pos[static_cast<size_t>(a)]);
  p.TimeUs = timeUs;
  auto& path = record_.Executed;
  if (path.empty()) {
    p.Break = true;
    path.push_back(p);
    return;
  }
  const ExecutedPoint& kept = path.back();
  double d2 = 0;
  for (int a = 0; a < 3; ++a) d2 += (p.Mm[a] - kept.Mm[a]) * (p.Mm[a] - kept.Mm[a]);
  if (d2 >= kPathResolutionMm * kPathResolutionMm) {
    path.push_back(p);
    haveLatest_ = false;
  } else {
    latest_ = p;
    haveLatest_ = true;
  }
}

void HostPlayer::FlushExecuted() {
  if (haveLatest_) {
    record_.Executed.push_back(latest_);
    haveLatest_ = false;
  }
}

void HostPlayer::ShowProgress() {
  sim::Machine& m = *machine_;
  ProgressState s;
  s.Line = CurrentLine();
  s.Lines = record_.Lines;
  s.Records = totalFed_ - static_cast<uint64_t>(m.host.RingPending());
  s.Queued = m.board.QueuedSegments();
  s.Capacity = record_.QueueCapacity;
  s.Seconds = static_cast<double>(m.board.Now()) / 1e6;
  progress_->Show(s);
}

}  // namespace vx::tool
