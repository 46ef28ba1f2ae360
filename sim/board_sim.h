// A model of the board's firmware, driven by the same report definitions the
// plug-in encodes with. It takes written reports, answers exactly the four
// answered commands, runs single-axis moves and the segment stream against
// simulated time, derives input pins from switches on the axes, keeps a
// decoded transcript, and misbehaves on request.
//
// Time moves only through Advance(): no wall clock, no threads.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/board_protocol.h"
#include "sim/hid_device.h"
#include "sim/report_text.h"

namespace vx::sim {

// A switch worked by an axis: closed while the axis position is at or beyond
// `Position` (above it when `ClosesAbove`, else below it). While closed the
// pin reads `ActiveLevel`, while open the other level.
struct AxisSwitch {
  int Axis = 0;
  int Pin = 0;
  int32_t Position = 0;
  bool ClosesAbove = true;
  int ActiveLevel = 1;
};

// How the last single-axis move ended.
enum class MoveEnd {
  None,       // no move yet, or one still running
  Distance,   // it ran its whole distance (a zero distance included)
  StopInput,  // its stop pin reached its stop level
  JogStop,    // it braked to a halt after JogStop
  Stop,       // Stop dropped it
  NoSpeed,    // a velocity of 0 or less: it never moved
};
const char* MoveEndName(MoveEnd end);

// The SegmentsAck answer's byte 0 (interval x 10) from the buffer fill.
using FlowPolicy = std::function<uint8_t(size_t queued, size_t capacity)>;
// 120 when empty, down to 10 when full.
uint8_t DefaultFlow(size_t queued, size_t capacity);

struct BoardConfig {
  // Identify answer.
  uint8_t SerialFirst = 0x1A;
  std::array<uint8_t, 4> SerialRest{{0x02, 0xB3, 0x4C, 0x05}};
  uint8_t Version = 21;
  // Time one segment takes to execute.
  uint32_t SegmentPeriodUs = 1000;
  // Segments the board buffers; more is an overflow (dropped, a violation).
  size_t QueueCapacity = 1024;
  // Segments queued before a stream starts to run (a SegmentsEnd starts it
  // whatever the count).
  size_t StartThreshold = 1;
  // Integration step of single-axis moves.
  uint32_t TickUs = 100;
  FlowPolicy Flow = DefaultFlow;
};

// Bytes an answer may carry besides its content.
enum class Garbage {
  None,           // every byte not interpreted is 0
  Uninterpreted,  // bytes (and bits) the plug-in must not look at are random
  Everything,     // the whole answer is random, code included
};

class BoardSim : public HidDevice {
 public:
  explicit BoardSim(BoardConfig config = {});

  // ---- Transfers (the HID side)
  bool Receive(const uint8_t* report65) override;
  bool Answer(uint8_t* report65) override;
  bool Plugged() const override { return plugged_; }
  uint32_t PlugGeneration() const override { return generation_; }
  bool AnswerPending() const { return !answers_.empty(); }

  // ---- Time
  void Advance(uint64_t microseconds);
  // Advances until the board is idle or `limitUs` has passed; true if idle.
  bool RunUntilIdle(uint64_t limitUs = 60'000'000);
  uint64_t Now() const { return now_; }

  // ---- Inputs
  void SetPin(int pin, int level);
  // The raw level of a pin as the answers report it (pins 10..24 carry
  // levels; others read 0, as on the wire).
  int PinLevel(int pin) const;
  int AddSwitch(const AxisSwitch& s);
  AxisSwitch& Switch(int i) { return switches_.at(static_cast<size_t>(i)); }
  void ClearSwitches() { switches_.clear(); }
  // Holds a pin at a level whatever is wired to it (a welded contact, a
  // shorted cable) until ReleasePin.
  void ForcePin(int pin, int level);
  void ReleasePin(int pin);
  // Emergency-stop button on `pin`, reading `activeLevel` while pressed.
  void SetEStopInput(int pin, int activeLevel);
  void PressEStop(bool pressed);

  // ---- Firmware state
  int32_t Position(int axis) const;
  void SetPosition(int axis, int32_t steps);
  bool Idle() const;
  bool MoveDone() const { return moveDone_; }
  uint32_t Line() const;  // 0xFFFFFF when no segment runs
  bool MoveActive() const { return move_.Active; }
  MoveEnd LastMoveEnd() const { return moveEnd_; }
  size_t QueuedSegments() const { return queue_.size(); }
  bool StreamOpen() const { return streamOpen_; }

  // Told the simulated time and the five positions whenever the axes have
  // moved: after every executed segment and every tick of a single-axis
  // move, also inside a held SegmentsAck answer. For pictures of the path.
  using MotionObserver = std::function<void(uint64_t timeUs, const std::array<int32_t, proto::kAxes>& pos)>;
  void SetMotionObserver(MotionObserver observer) { observer_ = std::move(observer); }

  // ---- What the board was told
  struct Outputs {
    bool Received = false;
    uint32_t OutputBits = 0;
    uint8_t Spindle = 0;
    uint8_t Led = 0;
    int16_t StepsWord = 0;
    uint8_t EStop = 0;
  };
  const Outputs& LastOutputs() const { return outputs_; }
  bool HasAxisSetup() const { return hasAxisSetup_; }
  const proto::AxisSetupFields& LastAxisSetup() const { return axisSetup_; }
  // Bytes 0..60 of the last Identify (the signal configuration).
  const std::array<uint8_t, 61>& LastIdentifyConfig() const { return identifyConfig_; }
  const proto::MoveFields& LastMove() const { return lastMove_; }
  int Received(uint8_t code) const { return received_[code]; }

  struct Stats {
    uint64_t SegmentsQueued = 0;
    uint64_t SegmentsExecuted = 0;
    uint64_t Underruns = 0;    // the queue ran dry while a stream was open
    size_t MaxQueued = 0;
    uint64_t AcksAnswered = 0;
    uint64_t HeldAnswerTicks = 0;  // time steps a SegmentsAck answer was held for room
  };
  const Stats& Statistics() const { return stats_; }

  // ---- Transcript of decoded reports, both directions
  const std::vector<TranscriptEntry>& Transcript() const { return transcript_; }
  void ClearTranscript() { transcript_.clear(); }
  std::string TranscriptText() const;
  // Payloads written with `code`, oldest first.
  std::vector<proto::Payload> Written(uint8_t code) const;
  void SetTranscriptEnabled(bool on) { recordTranscript_ = on; }

  // ---- Protocol violations seen (empty when the plug-in behaved)
  const std::vector<std::string>& Violations() const { return violations_; }
  void ClearViolations() { violations_.clear(); }

  // ---- Fault injection
  // The n-th write (read) from now fails; 1 is the next one.
  void FailWrite(int n);
  void FailRead(int n);
  // Pulls the cable: every transfer fails until Replug(), which powers the
  // board up afresh (positions 0, nothing moving, nothing queued); wiring
  // (pins, switches) and configuration stay.
  void Unplug();
  void Replug();
  void SetIdentifyAnswerCode(uint8_t code) { identifyCode_ = code; }
  void SetGarbage(Garbage mode, uint32_t seed = 1);
  void SetFlowPolicy(FlowPolicy policy) { config_.Flow = std::move(policy); }
  BoardConfig& Config() { return config_; }

 private:
  struct MoveState {
    bool Active = false;
    int Axis = 0;
    int Dir = 1;
    uint64_t Total = 0;
    uint64_t Done = 0;
    double MaxVel = 0;
    double Acc = 0;
    double Vel = 0;
    double Fraction = 0;
    int StopPin = 0;
    int StopLevel = 0;
    bool Braking = false;  // JogStop shortened it
  };

  void Violation(const std::string& what);
  void Record(Direction dir, uint8_t code, const uint8_t* report65, bool failed);
  void Execute(const uint8_t* payload);
  void QueueSegments(const uint8_t* payload, uint8_t code);
  void StartMove(const proto::MoveFields& m);
  void StopMove(MoveEnd why);
  void HoldForRoom();
  bool StopInputReached() const;
  void TickMove(double dt);
  void TickStream(uint64_t us);
  void FinishMotion();
  void PowerUp();
  void BuildLevels(uint8_t* payload) const;
  void BuildAnswer(uint8_t code, uint8_t* payload);
  void Scramble(uint8_t code, uint8_t* report65);
  uint32_t NextRandom();

  BoardConfig config_;
  uint64_t now_ = 0;
  bool plugged_ = true;
  uint32_t generation_ = 0;

  std::array<int32_t, proto::kAxes> pos_{};
  MotionObserver observer_;
  MoveState move_;
  bool moveDone_ = false;
  MoveEnd moveEnd_ = MoveEnd::None;

  struct Queued {
    proto::Segment Seg;
    bool Marker = false;  // the end of an empty SegmentsEnd: no motion, no time
  };
  std::deque<Queued> queue_;
  bool streamOpen_ = false;     // segments arrived and the end has not run
  bool endReceived_ = false;    // the stream's end mark is queued
  bool streamRunning_ = false;  // the threshold was reached
  bool segmentActive_ = false;
  Queued current_;
  uint64_t segmentElapsed_ = 0;
  bool starved_ = false;

  std::array<int, 33> pins_{};  // explicit levels, pins 0..32
  std::array<int, 33> forced_;  // -1: not forced
  std::vector<AxisSwitch> switches_;
  int estopPin_ = 0;
  int estopActive_ = 1;

  Outputs outputs_;
  bool hasAxisSetup_ = false;
  proto::AxisSetupFields axisSetup_;
  std::array<uint8_t, 61> identifyConfig_{};
  proto::MoveFields lastMove_;
  std::array<int, 256> received_{};
  Stats stats_;

  std::deque<std::pair<uint8_t, proto::Report>> answers_;  // answered code, report
  std::vector<TranscriptEntry> transcript_;
  bool recordTranscript_ = true;
  std::vector<std::string> violations_;

  uint64_t writes_ = 0, reads_ = 0;
  std::vector<uint64_t> failWrites_, failReads_;  // absolute transfer numbers
  uint8_t identifyCode_ = proto::kIdentify;
  Garbage garbage_ = Garbage::None;
  uint32_t random_ = 1;
};

}  // namespace vx::sim
