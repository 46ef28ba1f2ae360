// vendrix-sim's host: it plays Mach3 against the plug-in on a simulated
// machine. It plans the program's moves into trajectory records, keeps the
// ring filled between Updates, calls the plug-in's exports in the host's
// order, turns spindle commands into DRO and LED values, answers faults the
// way an operator would (the host stops the program, the fault clears, the
// host resets), and records what the picture and the summary need.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "tools/vendrix_sim/gcode.h"
#include "tools/vendrix_sim/planner.h"
#include "tools/vendrix_sim/progress.h"

namespace vx::tool {

enum class FaultKind { EStop, Limit, Unplug };

struct FaultRequest {
  FaultKind Kind = FaultKind::EStop;
  int Line = 0;  // fires when the machine reaches this program line
  int Axis = 0;  // the limit switch's axis: 0 X, 1 Y, 2 Z
};

struct SimOptions {
  std::string Name;  // the program file, for messages
  int PulseKhz = 65;
  uint32_t UpdateUs = 5000;
  std::vector<FaultRequest> Faults;
  bool Transcript = false;  // keep the board's transcript
  bool ShowProgress = true;
};

// The fixed machine the simulator drives: 1000 steps per millimetre on
// every axis, home switches on X, Y and Z, a probe, an E-stop button and a
// spindle relay on output 1.
struct MachineSetup {
  static constexpr double kStepsPerMm = 1000.0;
  static constexpr double kVelMmS = 20.0;  // rapid speed of every axis
  static constexpr double kAccMmS2 = 200.0;
  static constexpr int kHomeSpeedPercent = 50;
  // Home switches, in the frame the machine has after homing: X and Y home
  // toward negative positions, Z toward positive ones.
  static constexpr int32_t kHomeSwitchSteps[3] = {-3000, -3000, 3000};
  static constexpr int kHomePin[3] = {13, 15, 16};
  static constexpr int kLimitPin[3] = {10, 11, 12};
  static constexpr int kProbePin = 17;
  static constexpr int32_t kStockTopSteps = -10000;  // where the probe touches, Z
  static constexpr int kEStopPin = 18;               // active low, as a break contact is wired
  static constexpr int kSpindleOutput = 1;
};

struct CommandedPoint {
  double Mm[3] = {};
  bool Rapid = false;
  bool Break = false;  // starts a new polyline (the position was re-taken)
};

struct ExecutedPoint {
  double Mm[3] = {};
  uint64_t TimeUs = 0;
  bool Break = false;
};

struct UpdateSample {
  uint64_t TimeUs = 0;   // simulated time after the Update
  uint32_t Queued = 0;   // segments waiting in the board
  uint32_t CostNs = 0;   // plug-in time of the Update, the board's share removed
};

// Everything a finished run leaves for the summary, the picture and the
// transcript.
struct RunRecord {
  bool Completed = false;  // the program ran to its end
  bool Failed = false;     // the host gave up waiting: a fault in the run itself
  std::string StopReason;
  int StopLine = 0;
  int Lines = 0;
  int LinesRun = 0;
  uint64_t RecordsPlanned = 0;
  uint64_t RecordsStreamed = 0;
  double Commanded[kAxes] = {};  // steps, where the program asked the axes to end
  std::array<int32_t, kAxes> HostPositions{};
  std::array<int32_t, kAxes> BoardPositions{};
  uint64_t MachineTimeUs = 0;
  uint32_t SegmentPeriodUs = 0;
  size_t QueueCapacity = 0;
  std::vector<CommandedPoint> Commanded3d;
  std::vector<ExecutedPoint> Executed;
  std::vector<UpdateSample> Updates;
  std::vector<std::string> Violations;
  std::vector<std::pair<uint8_t, int>> Sent;  // command code, reports the board took
  // How far the board's counters moved without the axes moving (a reset
  // that loaded stale positions, a power-up), homing apart: 0 when the
  // machine still knows where it is.
  int64_t CounterDrift[kAxes] = {};
  uint64_t AcksAnswered = 0;
  uint64_t HeldAnswerUs = 0;  // machine time SegmentsAck answers waited for room
  uint64_t Underruns = 0;
  // The transcript: decoded reports, with the host's annotations.
  std::string Transcript;
};

class HostPlayer {
 public:
  HostPlayer(const SimOptions& options, Progress* progress);
  ~HostPlayer();

  // Starts the machine and runs a parsed program, or a list of records.
  RunRecord Run(const Program& program);
  RunRecord RunRecords(const std::vector<DeltaRecord>& records, int lines);

 private:
  struct Fault {
    FaultRequest Request;
    bool Armed = false;
    uint64_t AtRecord = 0;  // fires once the board has executed past this record
    bool Fired = false;
  };

  bool StartMachine();
  void Finish(RunRecord* out);

  // One host Update: the plug-in's cycle, then the board runs for one
  // update period. Watches for faults to inject and stops raised by the
  // plug-in unless `quiet`.
  void Step(bool watch = true);
  void Steps(int n, bool watch = false);
  // Steps until `done` holds; false (and the run marked failed) when
  // `limitUs` of machine time pass first, or when the program stops.
  template <typename Pred>
  bool WaitUntil(Pred done, uint64_t limitUs, const char* what, bool watch = true);
  int CurrentLine() const;

  // Streams the planned records to the end of the batch.
  bool Drain();
  void Queue(const std::vector<TrajRecord>& records);
  void Execute(const Block& b);
  void DoMove(const Block& b);
  void DoHome(const Block& b);
  void DoProbe(const Block& b);
  void DoDwell(const Block& b);
  void DoSpindle(const Block& b);

  // Faults and the host's answer to a stop.
  void ArmFaults(int line, uint64_t atRecord);
  void FireDueFaults(int hostLine);
  void Fire(Fault& f);
  // The host stops the program, clears what stopped it and resets.
  void StopProgram(const std::string& reason, int line);
  // The program ends early without a reset (a refused request).
  void End(const std::string& reason, int line);
  // Something that should not happen in a sound run.
  void Fail(const std::string& reason);
  void FlushRing();
  void HostReset();

  void Annotate(const std::string& text);
  void ReportStatus();
  void ResyncPosition();
  void BreakPaths();
  void AddCommanded(bool rapid);
  void NoteLoadedPositions();
  void OnCountersReplaced(const std::array<int32_t, proto::kAxes>& before,
                          const std::array<int32_t, proto::kAxes>& after, const char* how);
  void StartExecutedPath();
  void OnMotion(uint64_t timeUs, const std::array<int32_t, proto::kAxes>& pos);
  void FlushExecuted();
  void ShowProgress();
  double StepsToMm(int64_t steps) const { return static_cast<double>(steps) / MachineSetup::kStepsPerMm; }

  SimOptions options_;
  Progress* progress_;
  RunRecord record_;
  class TimedDevice;
  std::unique_ptr<TimedDevice> timed_;  // outlives the machine, which reports through it
  std::unique_ptr<sim::Machine> machine_;
  int probeSwitch_ = -1;

  double periodUs_ = 0;
  uint64_t clockRemainderUs_ = 0;
  double positionMm_[kAxes] = {};  // where the program believes the axes are
  std::vector<TrajRecord> batch_;
  size_t fed_ = 0;
  uint64_t totalFed_ = 0;  // records pushed into the ring and not taken back
  std::vector<Fault> faults_;
  bool stopped_ = false;
  int hostLine_ = 0;  // the line of the block the host is carrying out
  int boardLine_ = 0; // the latest line the board has executed
  size_t statusShown_ = 0;
  size_t buttonsSeen_ = 0;
  int setPositionsSeen_ = 0;
  bool homing_ = false;
  ExecutedPoint latest_;  // the board's position, when not yet in the path
  bool haveLatest_ = false;
  // Host annotations, placed before the transcript entry of this index.
  std::vector<std::pair<size_t, std::string>> notes_;
};

}  // namespace vx::tool
