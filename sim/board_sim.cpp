#include "sim/board_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vx::sim {
namespace {

using namespace vx::proto;

bool Consume(std::vector<uint64_t>& scheduled, uint64_t number) {
  auto it = std::find(scheduled.begin(), scheduled.end(), number);
  if (it == scheduled.end()) return false;
  scheduled.erase(it);
  return true;
}

std::string Format(const char* format, int a = 0, int b = 0) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  return buffer;
}

}  // namespace

uint8_t DefaultFlow(size_t queued, size_t capacity) {
  if (capacity == 0) return 10;
  size_t free = queued >= capacity ? 0 : capacity - queued;
  // An interval of 12 packets while empty, down to an answer for every
  // packet when full; never below 10, which the plug-in would read as 0.
  size_t interval = 1 + (11 * free) / capacity;
  return static_cast<uint8_t>(interval * 10);
}

const char* MoveEndName(MoveEnd end) {
  switch (end) {
    case MoveEnd::None: return "none";
    case MoveEnd::Distance: return "distance";
    case MoveEnd::StopInput: return "stop input";
    case MoveEnd::JogStop: return "JogStop";
    case MoveEnd::Stop: return "Stop";
    case MoveEnd::NoSpeed: return "no speed";
  }
  return "?";
}

BoardSim::BoardSim(BoardConfig config) : config_(std::move(config)) { forced_.fill(-1); }

// ---- Transfers

bool BoardSim::Receive(const uint8_t* report) {
  ++writes_;
  const uint8_t* p = report + kPayloadOffset;
  uint8_t code = p[kCommandByte];
  bool failed = !plugged_ || Consume(failWrites_, writes_);
  Record(Direction::ToBoard, code, report, failed);
  if (failed) return false;
  if (report[kReportIdByte] != 0) Violation(Format("report id %d on a written report", report[0]));
  if (!answers_.empty())
    Violation(std::string(CommandName(code)) + " written while the answer to " +
              CommandName(answers_.front().first) + " is unread");
  ++received_[code];
  Execute(p);
  return true;
}

bool BoardSim::Answer(uint8_t* report) {
  ++reads_;
  bool injected = Consume(failReads_, reads_);
  if (!plugged_ || injected) {
    // The report is lost with the failed transfer.
    uint8_t code = answers_.empty() ? 0 : answers_.front().first;
    if (!answers_.empty()) answers_.pop_front();
    Record(Direction::FromBoard, code, nullptr, true);
    return false;
  }
  if (answers_.empty()) {
    // The real board has nothing to send: ReadFile would block for good.
    Violation("read with no answer pending (would block)");
    Record(Direction::FromBoard, 0, nullptr, true);
    return false;
  }
  auto answer = answers_.front();
  answers_.pop_front();
  std::memcpy(report, answer.second.data(), kReportSize);
  Record(Direction::FromBoard, answer.first, report, false);
  return true;
}

void BoardSim::Record(Direction dir, uint8_t code, const uint8_t* report, bool failed) {
  if (!recordTranscript_) return;
  TranscriptEntry e;
  e.TimeUs = now_;
  e.Dir = dir;
  e.Command = code;
  e.Failed = failed;
  if (report != nullptr) std::memcpy(e.Bytes.data(), report, kReportSize);
  transcript_.push_back(e);
}

void BoardSim::Violation(const std::string& what) { violations_.push_back(what); }

void BoardSim::Execute(const uint8_t* p) {
  uint8_t code = p[kCommandByte];
  switch (code) {
    case kSetPositions:
      for (int a = 0; a < kAxes; ++a) pos_[a] = GetI32(p + setpos::Positions + 4 * a);
      break;
    case kStatus:
      outputs_.Received = true;
      outputs_.OutputBits = GetU32(p + status::OutputBits);
      outputs_.Spindle = p[status::SpindleByte];
      outputs_.Led = p[status::SpindleLedByte];
      outputs_.StepsWord = static_cast<int16_t>(GetU16(p + status::StepsWord));
      outputs_.EStop = p[status::EStopByte];
      for (uint32_t i = status::EStopByte + 1; i < kCommandByte; ++i) {
        if (p[i] != 0) {
          Violation(Format("Status byte %d is %d, not 0", static_cast<int>(i), p[i]));
          break;
        }
      }
      break;
    case kSegments:
    case kSegmentsAck:
    case kSegmentsEnd:
      QueueSegments(p, code);
      break;
    case kMove:
      StartMove(DecodeMove(p));
      break;
    case kJogStop:
      if (move_.Active) {
        if (move_.Acc <= 0) {
          StopMove(MoveEnd::JogStop);
        } else {
          // Decelerate at the move's own rate from where it is now.
          auto brake = static_cast<uint64_t>(std::ceil(move_.Vel * move_.Vel / (2.0 * move_.Acc)));
          if (move_.Done + brake < move_.Total) {
            move_.Total = move_.Done + brake;
            move_.Braking = true;
          }
          if (move_.Done >= move_.Total) StopMove(MoveEnd::JogStop);
        }
      }
      break;
    case kAxisSetup:
      hasAxisSetup_ = true;
      axisSetup_ = DecodeAxisSetup(p);
      break;
    case kIdentify:
      std::memcpy(identifyConfig_.data(), p, identifyConfig_.size());
      if (GetU16(p + identify::Magic) != identify::kMagic)
        Violation(Format("Identify magic 0x%04x", GetU16(p + identify::Magic)));
      break;
    case kStop:
      if (move_.Active) moveEnd_ = MoveEnd::Stop;
      move_ = MoveState{};
      queue_.clear();
      segmentActive_ = false;
      streamOpen_ = endReceived_ = streamRunning_ = starved_ = false;
      break;
    default:
      Violation(Format("unknown command code %d", code));
      return;
  }
  if (code == kSegmentsAck) HoldForRoom();
  if (IsAnswered(code)) {
    proto::Report answer{};
    BuildAnswer(code, answer.data() + kPayloadOffset);
    Scramble(code, answer.data());
    answers_.emplace_back(code, answer);
  }
}

void BoardSim::QueueSegments(const uint8_t* p, uint8_t code) {
  const bool end = code == kSegmentsEnd;
  uint32_t n = p[segments::Count];
  if (!end && n != segments::kPerPacket) Violation(Format("%d segments in a full packet", n));
  if (end && n >= segments::kPerPacket) Violation(Format("%d segments in SegmentsEnd", n));
  n = std::min<uint32_t>(n, segments::kPerPacket);
  if (p[60] != 0 || p[61] != 0) Violation("trajectory packet bytes 60..61 not zero");
  // Empty slots are all zero, but for the end mark of an empty SegmentsEnd.
  for (uint32_t i = n * segments::kSegmentSize; i < segments::kPerPacket * segments::kSegmentSize; ++i) {
    uint8_t allowed = (end && n == 0 && i == 0) ? segments::kEndMark : 0;
    if ((p[i] & ~allowed) != 0) {
      Violation(Format("empty segment slot byte %d is %d", static_cast<int>(i), p[i]));
      break;
    }
  }
  if (end && n == 0 && (p[0] & segments::kEndMark) == 0) Violation("empty SegmentsEnd without end mark");

  for (uint32_t i = 0; i < n; ++i) {
    Segment s = DecodeSegment(p + segments::kSegmentSize * i);
    bool last = i + 1 == n;
    if (s.EndMark && !(end && last)) Violation(Format("end mark on segment %d of a packet", i));
    if (end && last && !s.EndMark) Violation("SegmentsEnd whose last segment has no end mark");
    if (queue_.size() >= config_.QueueCapacity) {
      Violation("segment buffer overflow");
      break;
    }
    queue_.push_back(Queued{s, false});
    ++stats_.SegmentsQueued;
  }
  if (end && n == 0 && queue_.empty() && !segmentActive_) {
    // Everything has run already: the stream ends here.
    if (streamOpen_) moveDone_ = true;
    streamOpen_ = endReceived_ = streamRunning_ = starved_ = false;
    return;
  }
  if (end && n == 0) {
    // A zero-length end marker closes the stream once the queue has drained.
    Segment marker;
    marker.EndMark = true;
    marker.Line = segments::kNoLine;
    queue_.push_back(Queued{marker, true});
  }
  if (end) endReceived_ = true;
  if (n > 0 || end) streamOpen_ = true;
  stats_.MaxQueued = std::max(stats_.MaxQueued, queue_.size());
}

void BoardSim::StartMove(const MoveFields& m) {
  lastMove_ = m;
  if (m.Axis < 0 || m.Axis >= kAxes) {
    Violation(Format("Move on axis %d", m.Axis));
    return;
  }
  if (m.Direction != 0 && m.Direction != 1) Violation(Format("Move direction %d", m.Direction));
  move_ = MoveState{};
  move_.Active = true;
  move_.Axis = m.Axis;
  move_.Dir = m.Direction != 0 ? 1 : -1;
  move_.Total = m.Distance;
  // The firmware reads both rates as signed; a rate of 0 or less means no
  // ramp (acceleration) or no motion at all (velocity).
  move_.MaxVel = static_cast<double>(static_cast<int32_t>(m.Velocity));
  move_.Acc = static_cast<double>(static_cast<int32_t>(m.Acceleration));
  move_.StopPin = m.StopPin;
  move_.StopLevel = m.StopLevel;
  moveDone_ = false;
  moveEnd_ = MoveEnd::None;
  if (StopInputReached()) {
    StopMove(MoveEnd::StopInput);
  } else if (move_.Total == 0) {
    StopMove(MoveEnd::Distance);
  } else if (move_.MaxVel <= 0) {
    StopMove(MoveEnd::NoSpeed);
  }
}

void BoardSim::StopMove(MoveEnd why) {
  move_.Active = false;
  moveDone_ = true;
  moveEnd_ = why;
}

bool BoardSim::StopInputReached() const {
  return move_.StopPin != 0 && PinLevel(move_.StopPin) == move_.StopLevel;
}

void BoardSim::TickMove(double dt) {
  if (!move_.Active) return;
  // The input is watched between steps too: a level may change while the
  // axis stands (a forced pin, a contact on another axis).
  if (StopInputReached()) {
    StopMove(MoveEnd::StopInput);
    return;
  }
  uint64_t remaining = move_.Total - move_.Done;
  double v = move_.MaxVel;
  if (move_.Acc > 0) {
    // The fastest speed from which the move can still stop at its end.
    v = std::min(v, std::sqrt(2.0 * move_.Acc * static_cast<double>(remaining)));
    v = std::min(v, move_.Vel + move_.Acc * dt);
  }
  move_.Vel = v;
  move_.Fraction += v * dt;
  double whole = std::floor(move_.Fraction);
  move_.Fraction -= whole;
  auto steps = static_cast<uint64_t>(std::min(whole, static_cast<double>(remaining)));
  int32_t& position = pos_[static_cast<size_t>(move_.Axis)];
  for (uint64_t i = 0; i < steps; ++i) {
    position = static_cast<int32_t>(static_cast<uint32_t>(position) + static_cast<uint32_t>(move_.Dir));
    ++move_.Done;
    // Switches change with every step, so the stop input is tested per step.
    if (StopInputReached()) {
      StopMove(MoveEnd::StopInput);
      break;
    }
    if (move_.Done >= move_.Total) {
      StopMove(move_.Braking ? MoveEnd::JogStop : MoveEnd::Distance);
      break;
    }
  }
  if (steps > 0 && observer_) observer_(now_ + static_cast<uint64_t>(dt * 1e6 + 0.5), pos_);
}

void BoardSim::TickStream(uint64_t us) {
  uint64_t budget = us;
  for (;;) {
    if (!segmentActive_) {
      if (queue_.empty()) {
        if (streamOpen_ && streamRunning_ && !starved_) {
          starved_ = true;
          ++stats_.Underruns;
        }
        return;
      }
      if (!streamRunning_) {
        if (queue_.size() < config_.StartThreshold && !endReceived_) return;
        streamRunning_ = true;
      }
      current_ = queue_.front();
      queue_.pop_front();
      segmentActive_ = true;
      segmentElapsed_ = 0;
      starved_ = false;
      moveDone_ = false;
      // A zero segment takes its period like any other, but the marker of
      // an empty SegmentsEnd finishes at once.
      if (current_.Marker) segmentElapsed_ = config_.SegmentPeriodUs;
    }
    uint64_t step = std::min<uint64_t>(budget, config_.SegmentPeriodUs - std::min<uint64_t>(segmentElapsed_, config_.SegmentPeriodUs));
    segmentElapsed_ += step;
    budget -= step;
    if (segmentElapsed_ < config_.SegmentPeriodUs) return;
    const Segment& seg = current_.Seg;
    for (int a = 0; a < kAxes; ++a) {
      uint32_t m = seg.Magnitude[a];
      uint32_t delta = ((seg.Directions >> a) & 1u) ? m : 0u - m;
      pos_[a] = static_cast<int32_t>(static_cast<uint32_t>(pos_[a]) + delta);
    }
    if (!current_.Marker) ++stats_.SegmentsExecuted;
    if (observer_) observer_(now_ + (us - budget), pos_);
    segmentActive_ = false;
    if (seg.EndMark) {
      moveDone_ = true;
      if (queue_.empty()) {
        streamOpen_ = endReceived_ = streamRunning_ = starved_ = false;
        return;
      }
      endReceived_ = std::any_of(queue_.begin(), queue_.end(), [](const Queued& q) { return q.Seg.EndMark; });
    }
  }
}

// ---- Time

void BoardSim::Advance(uint64_t microseconds) {
  uint64_t left = microseconds;
  const uint64_t tick = std::max<uint32_t>(config_.TickUs, 1);
  while (left > 0) {
    if (!move_.Active && !segmentActive_ && queue_.empty()) {
      TickStream(0);  // notes an underrun of an open stream
      now_ += left;
      return;
    }
    uint64_t dt = std::min(left, tick);
    TickMove(static_cast<double>(dt) / 1e6);
    TickStream(dt);
    now_ += dt;
    left -= dt;
  }
}

void BoardSim::HoldForRoom() {
  // The answer invites `interval` packets of six segments before the next
  // question: it is held back until they fit. This blocked read is what
  // throttles the plug-in to the speed of the machine.
  const uint64_t tick = std::max<uint32_t>(config_.TickUs, 1);
  for (;;) {
    size_t queued = queue_.size();
    size_t capacity = config_.QueueCapacity;
    size_t room = queued >= capacity ? 0 : capacity - queued;
    uint8_t value = config_.Flow ? config_.Flow(queued, capacity) : DefaultFlow(queued, capacity);
    size_t interval = value / 10 == 0 ? 1 : value / 10;
    if (room >= interval * segments::kPerPacket) return;
    // Nothing drains a stream that does not run: answer at once.
    if (!streamRunning_ && !segmentActive_ && queued < config_.StartThreshold) return;
    Advance(tick);
    ++stats_.HeldAnswerTicks;
  }
}

bool BoardSim::RunUntilIdle(uint64_t limitUs) {
  uint64_t spent = 0;
  const uint64_t tick = std::max<uint32_t>(config_.TickUs, 1);
  while (!Idle() && spent < limitUs) {
    Advance(tick);
    spent += tick;
  }
  return Idle();
}

// ---- Inputs

void BoardSim::SetPin(int pin, int level) {
  if (pin >= 0 && pin < static_cast<int>(pins_.size())) pins_[static_cast<size_t>(pin)] = level ? 1 : 0;
}

int BoardSim::AddSwitch(const AxisSwitch& s) {
  switches_.push_back(s);
  return static_cast<int>(switches_.size()) - 1;
}

void BoardSim::ForcePin(int pin, int level) {
  if (pin >= 0 && pin < static_cast<int>(forced_.size())) forced_[static_cast<size_t>(pin)] = level ? 1 : 0;
}

void BoardSim::ReleasePin(int pin) {
  if (pin >= 0 && pin < static_cast<int>(forced_.size())) forced_[static_cast<size_t>(pin)] = -1;
}

void BoardSim::SetEStopInput(int pin, int activeLevel) {
  estopPin_ = pin;
  estopActive_ = activeLevel ? 1 : 0;
  SetPin(pin, !estopActive_);
}

void BoardSim::PressEStop(bool pressed) {
  if (estopPin_ != 0) SetPin(estopPin_, pressed ? estopActive_ : !estopActive_);
}

void BoardSim::BuildLevels(uint8_t* payload) const {
  for (int pin = 10; pin <= 24; ++pin) {
    int level = pins_[static_cast<size_t>(pin)];
    bool wired = false;
    bool closed = false;
    int active = 1;
    for (const AxisSwitch& s : switches_) {
      if (s.Pin != pin || s.Axis < 0 || s.Axis >= kAxes) continue;
      int32_t at = pos_[static_cast<size_t>(s.Axis)];
      bool c = s.ClosesAbove ? at >= s.Position : at <= s.Position;
      if (!wired || c) active = s.ActiveLevel ? 1 : 0;
      wired = true;
      closed = closed || c;
    }
    if (wired) level = closed ? active : !active;
    if (forced_[static_cast<size_t>(pin)] >= 0) level = forced_[static_cast<size_t>(pin)];
    SetPinLevel(payload, pin, level);
  }
}

int BoardSim::PinLevel(int pin) const {
  uint8_t levels[kPayloadSize] = {};
  BuildLevels(levels);
  return proto::PinLevel(LevelWord(levels), pin);
}

// ---- State

int32_t BoardSim::Position(int axis) const {
  return (axis >= 0 && axis < kAxes) ? pos_[static_cast<size_t>(axis)] : 0;
}

void BoardSim::SetPosition(int axis, int32_t steps) {
  if (axis >= 0 && axis < kAxes) pos_[static_cast<size_t>(axis)] = steps;
}

bool BoardSim::Idle() const { return !move_.Active && !segmentActive_ && queue_.empty(); }

uint32_t BoardSim::Line() const {
  return segmentActive_ && !current_.Marker ? current_.Seg.Line : segments::kNoLine;
}

// ---- Answers

void BoardSim::BuildAnswer(uint8_t code, uint8_t* p) {
  std::memset(p, 0, kPayloadSize);
  if (code == kIdentify) {
    p[identify::AnswerSerialFirst] = config_.SerialFirst;
    for (int i = 0; i < 4; ++i) p[identify::AnswerSerialRest + i] = config_.SerialRest[static_cast<size_t>(i)];
    p[identify::AnswerVersion] = config_.Version;
    p[kCommandByte] = identifyCode_;
    return;
  }
  BuildLevels(p);
  if (Idle()) p[input::IdleByte] |= 0x80;
  for (int a = 0; a < kAxes; ++a) PutU32(p + input::Positions + 4 * a, static_cast<uint32_t>(pos_[a]));
  PutU32(p + input::Line, Line());
  if (moveDone_) p[input::MoveDoneByte] |= 0x80;
  if (code == kSegmentsAck) {
    p[input::AckInterval] = config_.Flow ? config_.Flow(queue_.size(), config_.QueueCapacity)
                                         : DefaultFlow(queue_.size(), config_.QueueCapacity);
    ++stats_.AcksAnswered;
  }
  // Not interpreted by the plug-in; echoing the command keeps dumps readable.
  p[kCommandByte] = code;
}

uint32_t BoardSim::NextRandom() {
  random_ = random_ * 1664525u + 1013904223u;
  return random_ >> 8;
}

void BoardSim::Scramble(uint8_t code, uint8_t* report) {
  if (garbage_ == Garbage::None) return;
  if (garbage_ == Garbage::Everything) {
    for (uint32_t i = 0; i < kReportSize; ++i) report[i] = static_cast<uint8_t>(NextRandom());
    return;
  }
  uint8_t* p = report + kPayloadOffset;
  report[kReportIdByte] = static_cast<uint8_t>(NextRandom());
  for (uint32_t i = 0; i < kPayloadSize; ++i) {
    uint8_t keep = 0;  // mask of the bits the plug-in reads
    if (code == kIdentify) {
      if (i == identify::AnswerSerialFirst || (i >= identify::AnswerSerialRest && i <= identify::AnswerVersion) ||
          i == kCommandByte)
        keep = 0xFF;
    } else {
      if (i == input::LevelsLow || i == input::LevelsHigh || (i >= input::Positions && i < input::Positions + 20) ||
          (i >= input::Line && i < input::Line + 4))
        keep = 0xFF;
      if (i == input::IdleByte || i == input::MoveDoneByte) keep = 0x80;
    }
    p[i] = static_cast<uint8_t>((p[i] & keep) | (NextRandom() & ~keep));
  }
}

// ---- Transcript

std::string BoardSim::TranscriptText() const {
  std::string text;
  for (const TranscriptEntry& e : transcript_) {
    text += Describe(e);
    text += '\n';
  }
  return text;
}

std::vector<Payload> BoardSim::Written(uint8_t code) const {
  std::vector<Payload> out;
  for (const TranscriptEntry& e : transcript_) {
    if (e.Dir != Direction::ToBoard || e.Failed || e.Command != code) continue;
    Payload p;
    std::memcpy(p.data(), PayloadOf(e.Bytes), kPayloadSize);
    out.push_back(p);
  }
  return out;
}

// ---- Faults

void BoardSim::FailWrite(int n) {
  if (n > 0) failWrites_.push_back(writes_ + static_cast<uint64_t>(n));
}

void BoardSim::FailRead(int n) {
  if (n > 0) failReads_.push_back(reads_ + static_cast<uint64_t>(n));
}

void BoardSim::Unplug() {
  plugged_ = false;
  answers_.clear();
}

void BoardSim::Replug() {
  plugged_ = true;
  ++generation_;
  PowerUp();
}

void BoardSim::PowerUp() {
  pos_.fill(0);
  move_ = MoveState{};
  moveDone_ = false;
  moveEnd_ = MoveEnd::None;
  queue_.clear();
  segmentActive_ = false;
  streamOpen_ = endReceived_ = streamRunning_ = starved_ = false;
  answers_.clear();
  outputs_ = Outputs{};
  hasAxisSetup_ = false;
  axisSetup_ = AxisSetupFields{};
  identifyConfig_.fill(0);
}

void BoardSim::SetGarbage(Garbage mode, uint32_t seed) {
  garbage_ = mode;
  random_ = seed;
}

}  // namespace vx::sim
