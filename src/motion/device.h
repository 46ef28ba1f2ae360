// The one motion device and the board object it owns. The device holds the
// state of streaming, jogs, homing, probing and dwell; its operations turn
// host state into board commands and board state into host state.
#pragma once

#include <cstdint>
#include <string>

#include "link/board_protocol.h"

namespace vx {

class PluginContext;
class MyConsoleClass;

enum ResetKind : int32_t { ResetFull = 0, ResetEStop = 1, ResetLimit = 2 };

// Host button that stops the running program.
constexpr int kButtonStopProgram = 1003;
constexpr const char* kWaitForSequence = "Waiting for sequence to End!";

// Truncation toward zero that saturates at +-(2^31 - 1) (NaN gives 0): for
// distances, whose sign must survive and whose magnitude must fit the int32
// distance field of Move.
int32_t SaturateInt32(double v);

enum SequenceState : int32_t {
  SeqIdle = 0,
  SeqSettle = 1,
  SeqDwell = 2,
  SeqHomeSeek = 3,
  SeqHomeBackOff = 4,
  SeqHomeEnd = 5,
};

// Results of EncodeSegment.
enum EncodeResult : int {
  SegmentTaken = 0,
  // Not taken: the speed limit, or the packet could not be written. The
  // record stays in the ring.
  SegmentRefused = 1,
  // The record went out in a SegmentsAck packet whose answer could not be
  // read: the board has it, so it must not be sent again.
  SegmentSentUnanswered = 2,
};

// The board: identification, position loading and the segment encoder.
class MyHardwareClass {
 public:
  explicit MyHardwareClass(PluginContext& ctx) : ctx_(ctx) {}
  virtual ~MyHardwareClass() = default;

  // 0 when the board answered Identify, 1 when it did not; fills
  // BoardSerial and BoardVersion from an answer.
  int Identify();
  void LoadPositions(const int32_t positions[proto::kAxes]);
  // One ring record into the open packet (an EncodeResult).
  int EncodeSegment(const double delta[proto::kAxes], int32_t lineId);
  // Builds the SegmentsEnd packet in OutReport from the open packet and
  // clears it.
  void BuildSegmentsEnd();

  int32_t NotIdentified = 1;

 private:
  PluginContext& ctx_;
};

class MyDeviceClass {
 public:
  explicit MyDeviceClass(PluginContext& ctx) : ctx_(ctx) {}
  virtual ~MyDeviceClass();

  // Reset sequence: full (identify, configure, link up) or the short forms
  // after an E-stop or a limit trip.
  void Reset(ResetKind kind);
  // Host axis positions 0..4 := p (no board traffic).
  void AdoptPositions(const int32_t p[proto::kAxes]);
  // The host's axis positions 0..4, and the board's from BoardState.
  void HostPositions(int32_t out[proto::kAxes]) const;
  void BoardPositions(int32_t out[proto::kAxes]) const;

  // Update-cycle phases, in the order the cycle runs them.
  void StatusStep();
  void StreamTrajectory();
  void RefreshOutputs();
  void SequenceStep();

  // Host requests.
  void JogOn(int axis, int direction, double speed);
  void JogOff();
  void Home(int axis);
  void Probe();
  void DoDwell(double time);
  void Purge(int flags);

  // Fields, in the order and with the initial values of the device.
  int32_t Started = 0;
  MyConsoleClass* Console = nullptr;     // owned
  MyHardwareClass* Hardware = nullptr;   // owned
  std::string HardwareName;
  int32_t Sequence = SeqIdle;
  int32_t InMotion = 0;
  int32_t WaitForGcodeIdle = 0;
  int32_t WaitForJogIdle = 0;
  uint32_t DwellStart = 0;
  uint32_t DwellLength = 0;
  int32_t JogAxis = -1;
  double JogFeed = 0;
  double JogVel = 0;
  double JogAcc = 0;
  int32_t JogDistance = 0;
  int32_t HomeAxis = -1;
  int32_t HomePin = 0;
  int32_t HomeSignal = -1;
  double HomeVel = 0;
  double HomeAcc = 0;
  int32_t HomeMask = 0;
  int32_t HomeMaskValAct = 0;
  int32_t HomeMaskValInAct = 0;
  int32_t HomeDistance = 0;
  int32_t HomeSettle = 0;
  uint8_t LimitLatch = 0;

 private:
  // E-stop input and limit switches, after a successful status exchange.
  void HandleSafetyInputs();
  // Closes the open packet; false (link down, EStop set) on a failed transfer.
  bool SegmentsEndExchange();
  void CopyBoardPositionsToHost();
  // Sequence states, one handler each.
  void SeqSettleStep(bool idle);
  void SeqDwellStep();
  void SeqHomeSeekStep(bool idle);
  void SeqHomeBackOffStep(bool idle);
  void SeqHomeEndStep();

  PluginContext& ctx_;
};

}  // namespace vx
