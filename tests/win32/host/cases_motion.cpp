// Motions the plug-in runs itself, the safety inputs and the host's stop
// notification, through the real DLL against the board simulator.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scenario.h"

namespace host {
namespace {

constexpr const char* kEStopPressed = "Emergence Button Pressed!";
constexpr const char* kXLimit = "XLimit Switch Triggered!";

int CountText(const std::vector<std::string>& texts, const std::string& t) {
  return static_cast<int>(std::count(texts.begin(), texts.end(), t));
}

std::string MoveText(const proto::MoveFields& m) {
  char text[160];
  std::snprintf(text, sizeof text, "axis %d dir %d distance %u velocity %u acc %u pin %d level %d",
                m.Axis, m.Direction, m.Distance, m.Velocity, m.Acceleration, m.StopPin,
                m.StopLevel);
  return text;
}

// The Move payloads among the sent reports, checked against `want` field by
// field, with the unused bytes 28..62 zero.
void CheckMoves(BoardRig& rig, const std::vector<proto::MoveFields>& want, const std::string& name) {
  std::vector<proto::Payload> moves = rig.SentPayloads(proto::kMove);
  std::string got;
  bool same = moves.size() == want.size();
  for (size_t i = 0; i < moves.size(); ++i) {
    proto::MoveFields m = proto::DecodeMove(moves[i].data());
    got += (got.empty() ? "" : "; ") + MoveText(m);
    if (i >= want.size()) continue;
    const proto::MoveFields& w = want[i];
    same &= m.Axis == w.Axis && m.Direction == w.Direction && m.Distance == w.Distance &&
            m.Velocity == w.Velocity && m.Acceleration == w.Acceleration &&
            m.StopPin == w.StopPin && m.StopLevel == w.StopLevel;
    same &= std::all_of(moves[i].begin() + 28, moves[i].begin() + 63, [](uint8_t b) { return b == 0; });
  }
  Check(same, name, got.empty() ? "no Move sent" : got);
}

proto::MoveFields Move(int axis, int dir, uint32_t distance, uint32_t vel, uint32_t acc, int pin,
                       int level) {
  proto::MoveFields m;
  m.Axis = axis;
  m.Direction = dir;
  m.Distance = distance;
  m.Velocity = vel;
  m.Acceleration = acc;
  m.StopPin = pin;
  m.StopLevel = level;
  return m;
}

vx::sim::MoveEnd LastMoveEnd(BoardRig& rig) {
  vx::sim::MoveEnd end = vx::sim::MoveEnd::None;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { end = b.LastMoveEnd(); });
  return end;
}

std::string Flags(Host& h, int axis) {
  return "ExternalStill " + std::to_string(h.ExternalStill()) + ", Sync " +
         std::to_string(h.Sync()) + ", Jogging " +
         std::to_string(h.E<uint8_t>(off::engine::Jogging)) + "/" +
         std::to_string(h.P<uint8_t>(off::planner::Jogging)) + ", AxisJogging " +
         std::to_string(h.AxisFlag(axis, off::engine::AxisJogging));
}

bool JogEnded(Host& h, int axis) {
  return h.ExternalStill() == 1 && h.Sync() == 1 && h.E<uint8_t>(off::engine::Jogging) == 0 &&
         h.P<uint8_t>(off::planner::Jogging) == 0 &&
         h.AxisFlag(axis, off::engine::AxisJogging) == 0;
}

// ------------------------------------------------------------ estop-limit

// The E-stop button and an X limit switch wired to the board's inputs.
void CaseEStopLimit() {
  BoardRig rig;
  const int estopPin = 15, limitPin = 12;
  const int32_t limitAt = 600;
  rig.board.SetEStopInput(estopPin, 1);
  rig.board.AddSwitch(vx::sim::AxisSwitch{0, limitPin, limitAt, true, 1});
  if (!rig.Start([&](Host& h) {
        h.ConfigureInput(25, estopPin, false);
        h.ConfigureInput(0, limitPin, false);
        Field<uint8_t>(h.s.JogFullSpeed, 0) = 1;
      }))
    return;
  Host& h = rig.h;

  // Pressed and held for seven status steps.
  rig.device.WithBoard([](vx::sim::BoardSim& b) { b.PressEStop(true); });
  h.Update(1);
  std::vector<int> codes = rig.SentCodes();
  Check(h.EStop() == 1 && h.Activated(25) == 1 && StatusText() == kEStopPressed,
        "the E-stop input sets EStop and posts " + Quote(kEStopPressed),
        "EStop " + std::to_string(h.EStop()) + ", Activated " + std::to_string(h.Activated(25)) +
            ", status " + Quote(StatusText()));
  Check(codes == std::vector<int>{proto::kStatus, proto::kStop, proto::kStatus},
        "the status step that sees it stops the board and asks where it stopped", Codes(codes));
  h.Update(6);
  codes = rig.SentCodes();
  std::vector<int> want = {proto::kStatus, proto::kStop,   proto::kStatus, proto::kStatus,
                           proto::kStatus, proto::kStatus, proto::kStatus, proto::kStatus,
                           proto::kStatus, proto::kStop,   proto::kStatus};
  Check(codes == want && CountText(StatusHistory(), kEStopPressed) == 2,
        "held down, it is handled again on the seventh status step",
        Codes(codes) + ", " + Join(StatusHistory()));
  rig.device.WithBoard([](vx::sim::BoardSim& b) { b.PressEStop(false); });
  h.Update(2);
  Check(h.Activated(25) == 0 && h.EStop() == 1, "released, the input clears; E-stop stays the host's",
        "Activated " + std::to_string(h.Activated(25)) + ", EStop " + std::to_string(h.EStop()));

  // The host's reset, then a jog into the X limit switch.
  h.EStop() = 0;
  h.plugin.Reset();
  h.Update(1);
  Check(StatusText() == kResetConnected && h.EStop() == 0, "the host's reset brings the link back",
        Quote(StatusText()));
  rig.device.ClearReports();
  ClearCalls();
  ClearStatusHistory();
  h.plugin.JogOn(0, 0, 0.0);
  bool tripped = rig.UpdateUntil([&] { return StatusText() == kXLimit; }, 10000);
  const int32_t adopted = h.Position(0);
  Check(tripped && h.EStop() == 1 && h.Activated(0) == 1,
        "jogging into the switch posts " + Quote(kXLimit) + " and sets EStop",
        Quote(StatusText()) + ", EStop " + std::to_string(h.EStop()));
  Check(CountCalls("DoButton", 1003) == 1, "the trip asks the host to stop its program: DoButton(1003)",
        std::to_string(CountCalls("DoButton", 1003)) + " calls");
  h.Update(4);
  codes = rig.SentCodes();
  Check(std::count(codes.begin(), codes.end(), proto::kStop) == 1 &&
            LastMoveEnd(rig) == vx::sim::MoveEnd::Stop,
        "the jog is stopped on the board by one Stop",
        Codes(codes) + ", move ended by " + vx::sim::MoveEndName(LastMoveEnd(rig)));
  Check(CountCalls("DoButton", 1003) == 1 && CountText(StatusHistory(), kXLimit) >= 4 && h.EStop() == 1,
        "while the switch stays closed the message repeats, the program stop does not",
        std::to_string(CountCalls("DoButton", 1003)) + " DoButton(1003), " + Join(StatusHistory()));
  const int32_t stopped = rig.BoardPosition(0);
  Check(adopted >= limitAt && adopted == stopped,
        "the host takes the position where the board stopped",
        "host " + std::to_string(adopted) + ", board stopped at " + std::to_string(stopped));
  std::printf("INFO: X limit at %d, seen at %d, board stopped at %d\n", limitAt, adopted, stopped);
  CheckBoardBehaved(rig.device);
}

// -------------------------------------------------------------------- jog

void CaseJog() {
  BoardRig rig;
  if (!rig.Start([](Host& h) {
        Field<double>(h.s.Settings, off::settings::JogPercent) = 50.0;
      }))
    return;
  Host& h = rig.h;

  // Y at half its velocity (JogPercent 50, no full-speed key), no soft
  // limits: a long move, stopped by JogOff while it runs.
  h.plugin.JogOn(1, 0, 0.0);
  Check(h.ExternalStill() == 0 && h.E<uint8_t>(off::engine::Jogging) == 1 &&
            h.P<uint8_t>(off::planner::Jogging) == 1 &&
            h.AxisFlag(1, off::engine::AxisJogging) == 1 &&
            h.E<int32_t>(off::engine::Axis + off::engine::AxisSize + off::engine::AxisJogVelocity) == 1000,
        "JogOn marks the jog in the host", Flags(h, 1));
  CheckMoves(rig, {Move(1, 1, 999999, 1000, 10000, 0, 0)},
             "JogOn sends a Move of 999999 steps at 1000 steps/s");
  bool moving = rig.UpdateUntil([&] { return rig.BoardPosition(1) > 200; }, 10000);
  Check(moving && h.E<uint8_t>(off::engine::Jogging) == 1 && h.ExternalStill() == 0,
        "the jog runs on the board until it is released", std::to_string(rig.BoardPosition(1)));
  rig.device.ClearReports();
  h.Sync() = 0;
  h.plugin.JogOff(1);
  std::vector<int> codes = rig.SentCodes();
  Check(codes == std::vector<int>{proto::kJogStop} && h.AxisFlag(1, off::engine::AxisJogStopSent) == 1,
        "JogOff while the board moves sends JogStop and marks JogStopSent", Codes(codes));
  bool ended = rig.UpdateUntil([&] { return JogEnded(h, 1); }, 10000);
  Check(ended, "once the board is idle the jog's end is reported", Flags(h, 1));
  Check(LastMoveEnd(rig) == vx::sim::MoveEnd::JogStop && h.Position(1) == rig.BoardPosition(1),
        "the board braked to a halt and the host holds its position",
        std::string(vx::sim::MoveEndName(LastMoveEnd(rig))) + ", host " +
            std::to_string(h.Position(1)) + ", board " + std::to_string(rig.BoardPosition(1)));

  // X toward negative positions with soft limits: the move runs to the
  // limit by itself; JogOff (whatever axis it names) only ends it.
  h.E<uint8_t>(off::engine::SoftLimitsEnable) = 1;
  h.E<int32_t>(off::engine::SlimLo) = -300;
  h.E<int32_t>(off::engine::SlimHi) = 5000;
  h.P<double>(off::planner::MachinePosition) = h.Position(0) / 1000.0;
  rig.device.ClearReports();
  h.plugin.JogOn(0, 1, 0.5);
  CheckMoves(rig, {Move(0, 0, 300, 500, 10000, 0, 0)},
             "a jog at a given speed toward the soft limit moves exactly to it");
  bool arrived = rig.UpdateUntil([&] { return rig.BoardIdle() && h.Position(0) == -300; }, 10000);
  Check(arrived && h.E<uint8_t>(off::engine::Jogging) == 1,
        "the board stops at the limit; the jog lasts until it is released",
        std::to_string(h.Position(0)));
  h.Update(1);  // a status step reports the board idle
  rig.device.ClearReports();
  h.Sync() = 0;
  h.plugin.JogOff(3);
  h.Update(2);
  codes = rig.SentCodes();
  Check(std::count(codes.begin(), codes.end(), proto::kJogStop) == 0 && JogEnded(h, 0),
        "JogOff after the move ended sends no JogStop and still ends the jog",
        Codes(codes) + ", " + Flags(h, 0));
  Check(rig.BoardPosition(0) == -300 && LastMoveEnd(rig) == vx::sim::MoveEnd::Distance,
        "the board stands at the soft limit", std::to_string(rig.BoardPosition(0)));
  CheckBoardBehaved(rig.device);
}

// ------------------------------------------------------------- home-probe

void CaseHomeProbe() {
  BoardRig rig;
  const int homePin = 13, probePin = 16;
  const int32_t switchAt = 500, contactAt = -503, homePosition = -500;
  rig.board.AddSwitch(vx::sim::AxisSwitch{2, homePin, switchAt, true, 1});
  // An active-low probe touching the work below Z -503.
  rig.board.AddSwitch(vx::sim::AxisSwitch{2, probePin, contactAt, false, 0});
  if (!rig.Start([&](Host& h) {
        h.ConfigureInput(8, homePin, false);
        h.ConfigureInput(22, probePin, true);
        h.P<uint8_t>(off::planner::HomeDirection + 2) = 1;
        h.P<int32_t>(off::planner::HomeSpeedPercent + 4 * 2) = 50;
        h.E<int32_t>(off::engine::HomePosition + 4 * 2) = homePosition;
        h.Position(0) = 250;
        h.Position(1) = -75;
      }))
    return;
  Host& h = rig.h;

  uint64_t& softWait = h.P<uint64_t>(off::planner::SoftWait);
  softWait = ~uint64_t{0};
  h.Sync() = 0;
  h.plugin.Home(2);
  Check(StatusText() == "Homing..." && h.E<uint8_t>(off::engine::HomingActive) == 1 &&
            h.ExternalStill() == 0,
        "Home starts: \"Homing...\", HomingActive", Quote(StatusText()));
  bool done = rig.UpdateUntil([&] { return h.E<uint8_t>(off::engine::HomingActive) == 0; }, 20000);
  std::vector<std::string> history = StatusHistory();
  Check(done && history.size() >= 2 && history[history.size() - 2] == "Homing..." &&
            history.back() == "home finished",
        "homing ends with \"home finished\"", Join(history));
  CheckMoves(rig,
             {Move(2, 1, 999999, 1000, 10000, homePin, 1), Move(2, 0, 999999, 100, 10000, homePin, 0)},
             "seek toward the switch, then back off at a tenth of the speed");
  std::vector<proto::Payload> loads = rig.SentPayloads(proto::kSetPositions);
  bool loaded = !loads.empty() &&
                proto::GetI32(loads.back().data() + proto::setpos::Positions + 8) == homePosition &&
                proto::GetI32(loads.back().data() + proto::setpos::Positions) == 250 &&
                proto::GetI32(loads.back().data() + proto::setpos::Positions + 4) == -75;
  Check(loaded, "the board is loaded with the home position and the other axes' positions",
        std::to_string(loads.size()) + " SetPositions");
  Check(h.E<uint8_t>(off::engine::Referenced + 2) == 1 && h.E<uint8_t>(off::engine::Referenced) == 0 &&
            h.Position(2) == homePosition && rig.BoardPosition(2) == homePosition,
        "Z is referenced and stands at its home position on host and board",
        "Referenced " + std::to_string(h.E<uint8_t>(off::engine::Referenced + 2)) + ", host " +
            std::to_string(h.Position(2)) + ", board " + std::to_string(rig.BoardPosition(2)));
  Check(softWait == (~uint64_t{0} & ~(uint64_t{1} << 56)) && h.Sync() == 1 && h.ExternalStill() == 1,
        "the end clears SoftWait bit 56 only and raises Sync and ExternalStill",
        "ExternalStill " + std::to_string(h.ExternalStill()) + ", Sync " + std::to_string(h.Sync()));

  // A probe toward Z -4.5 units from -0.5: 4000 steps down at 60 units/min,
  // stopped where the probe touches.
  SetDro(800, 0.25);
  SetDro(801, -0.075);
  SetDro(802, homePosition / 1000.0);
  SetDro(818, 60.0);
  h.P<double>(off::planner::ProbeTarget) = 0.25;
  h.P<double>(off::planner::ProbeTarget + 8) = -0.075;
  h.P<double>(off::planner::ProbeTarget + 16) = -4.5;
  rig.device.ClearReports();
  ClearCalls();
  h.Sync() = 0;
  h.ExternalStill() = 0;
  h.plugin.Probe();
  std::vector<int> dros;
  for (const Call& c : Calls())
    if (c.Name == "GetDRO") dros.push_back(c.Code);
  Check(dros == std::vector<int>{800, 801, 802, 802, 818},
        "the probe reads the positions, the chosen axis again and the feed", Codes(dros));
  CheckMoves(rig, {Move(2, 0, 4000, 1000, 1, probePin, 0)},
             "the probe moves Z toward the target until the active-low input reads 0");
  bool ended = rig.UpdateUntil([&] { return h.ExternalStill() == 1; }, 30000);
  Check(ended && h.Sync() == 1 && LastMoveEnd(rig) == vx::sim::MoveEnd::StopInput,
        "the contact stops the move and its end is reported",
        "ExternalStill " + std::to_string(h.ExternalStill()) + ", move ended by " +
            vx::sim::MoveEndName(LastMoveEnd(rig)));
  Check(rig.BoardPosition(2) == contactAt && h.Position(2) == contactAt,
        "host and board stand where the probe touched",
        "host " + std::to_string(h.Position(2)) + ", board " + std::to_string(rig.BoardPosition(2)));
  Check(h.E<uint8_t>(off::engine::Jogging) == 0 && h.AxisFlag(2, off::engine::AxisJogging) == 0 &&
            h.EStop() == 0,
        "the probe leaves the jog flags and E-stop alone", Flags(h, 2));
  CheckBoardBehaved(rig.device);
}

// ------------------------------------------------------------ notify-stop

// The Status payload's first nine bytes and the zeros after them.
std::string StatusBytes(const proto::Payload& p) {
  char text[96];
  bool zeros = std::all_of(p.begin() + 9, p.begin() + 63, [](uint8_t b) { return b == 0; });
  std::snprintf(text, sizeof text, "outputs 0x%08x spindle %u led %u steps %d estop %u%s",
                proto::GetU32(p.data()), p[4], p[5],
                static_cast<int16_t>(p[6] | (p[7] << 8)), p[8], zeros ? "" : " (bytes 9..62 not 0)");
  return text;
}

void CaseNotifyStop() {
  BoardRig rig;
  if (!rig.Start([](Host& h) {
        // Output 3 on, LED 11 on: the stop must switch both off on the board.
        h.E<uint8_t>(off::engine::OutSignal + off::engine::OutSignalSize * 3 + off::engine::OutActive) = 1;
        h.E<uint8_t>(off::engine::OutSignal + off::engine::OutSignalSize * 3 + off::engine::OutActivated) = 1;
        SetLed(11, true);
        Field<uint8_t>(h.s.JogFullSpeed, 0) = 1;
      }))
    return;
  Host& h = rig.h;
  const std::string running = "outputs 0x00000008 spindle 43 led 1 steps 1000 estop 0";
  const std::string stopped = "outputs 0x00000000 spindle 43 led 0 steps 1000 estop 1";

  for (int code : {14, 0x12000E}) {
    const std::string n = " (Notify " + std::to_string(code) + ")";
    h.Update(2);
    std::vector<proto::Payload> status = rig.SentPayloads(proto::kStatus);
    Check(!status.empty() && StatusBytes(status.back()) == running,
          "the board gets the outputs and the LED while running" + n,
          status.empty() ? "no Status" : StatusBytes(status.back()));

    // A jog under way when the notification comes.
    const int32_t from = h.Position(0);
    h.plugin.JogOn(0, code == 14 ? 0 : 1, 0.0);
    bool moving = rig.UpdateUntil([&] { return std::abs(rig.BoardPosition(0) - from) > 100; }, 10000);
    rig.device.ClearReports();
    h.plugin.Notify(code);
    const int32_t stoppedAt = rig.BoardPosition(0);
    Check(moving && LastMoveEnd(rig) == vx::sim::MoveEnd::Stop && h.Position(0) == stoppedAt,
          "the notification stops the jog and the host takes where the board stopped" + n,
          "host " + std::to_string(h.Position(0)) + ", board " + std::to_string(stoppedAt) +
              ", move ended by " + vx::sim::MoveEndName(LastMoveEnd(rig)));
    std::vector<Report> sent = rig.Sent();
    std::vector<int> codes = rig.SentCodes();
    bool stopZero = !sent.empty() &&
                    std::all_of(sent[0].begin(), sent[0].begin() + 1 + proto::kCommandByte,
                                [](uint8_t b) { return b == 0; });
    Check(codes == std::vector<int>{proto::kStop, proto::kStatus} && stopZero,
          "the stop notification sends a bare Stop, then Status" + n, Codes(codes));
    status = rig.SentPayloads(proto::kStatus);
    Check(!status.empty() && StatusBytes(status.back()) == stopped,
          "that Status carries outputs and LED off and the E-stop byte set" + n,
          status.empty() ? "no Status" : StatusBytes(status.back()));
    Check(h.EStop() == 1, "the notification sets EStop" + n);

    rig.device.ClearReports();
    h.Update(5);
    codes = rig.SentCodes();
    Check(codes.empty(), "with the link down Update sends nothing" + n, Codes(codes));

    h.EStop() = 0;
    h.plugin.Reset();
    codes = rig.SentCodes();
    std::vector<int> want = {proto::kStop, proto::kIdentify, proto::kSetPositions,
                             proto::kAxisSetup, proto::kStatus};
    Check(codes == want && StatusText() == kResetConnected && rig.BoardPosition(0) == stoppedAt,
          "the host's reset brings the link back, the board's X unchanged" + n,
          Codes(codes) + " " + Quote(StatusText()) + ", X " + std::to_string(rig.BoardPosition(0)));
    rig.device.ClearReports();
  }
  h.Update(2);
  std::vector<proto::Payload> status = rig.SentPayloads(proto::kStatus);
  Check(status.size() == 2 && StatusBytes(status.back()) == running,
        "after the reset every Update exchanges Status with the outputs on again",
        std::to_string(status.size()) + " Status, " +
            (status.empty() ? "" : StatusBytes(status.back())));
  CheckBoardBehaved(rig.device);
}

}  // namespace

void AddMotionCases(CaseTable& cases) {
  cases["estop-limit"] = CaseEStopLimit;
  cases["jog"] = CaseJog;
  cases["home-probe"] = CaseHomeProbe;
  cases["notify-stop"] = CaseNotifyStop;
}

}  // namespace host
