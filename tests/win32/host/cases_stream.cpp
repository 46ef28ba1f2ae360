// G-code programs streamed through the real DLL: the host's planner fills
// the trajectory ring, the plug-in packs it for the board, and the board
// simulator executes it in real time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "scenario.h"

#include <dbt.h>

namespace host {
namespace {

struct Record {
  double Delta[off::kAxes];
  int32_t Line;
};

// A program of `n` records: deltas of both signs with fractions across the
// whole range, the exact limits, sub-step fractions, idle records, lines
// shared by several records and one line id too wide for the wire.
std::vector<Record> MakeProgram(size_t n, uint32_t seed) {
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  std::vector<Record> program(n);
  for (size_t i = 0; i < n; ++i) {
    Record& r = program[i];
    for (double& d : r.Delta) d = (static_cast<int>(next() % 80001) - 40000) / 100.0;
    if (i % 17 == 5) {
      for (double& d : r.Delta) d = 0.0;
    }
    r.Line = static_cast<int32_t>(100 + i / 3);
  }
  const Record specials[] = {
      {{400.0, -400.0, 0.9, -0.9, 0.0}, 7},
      {{399.99, -399.99, 255.5, -256.0, 1.0}, 7},
      {{-0.5, 0.5, -1.0, 1.0, 400.0}, 0x1234567},
      {{-400.0, 400.0, -399.0, 128.25, -0.01}, 8},
  };
  for (size_t i = 0; i < 4 && i < n; ++i) program[i] = specials[i];
  return program;
}

// Sum of the truncated deltas of records [first, end) per axis.
std::vector<int64_t> Travel(const std::vector<Record>& program, size_t first) {
  std::vector<int64_t> sum(off::kAxes, 0);
  for (size_t i = first; i < program.size(); ++i) {
    for (int a = 0; a < off::kAxes; ++a) sum[a] += static_cast<int64_t>(std::trunc(program[i].Delta[a]));
  }
  return sum;
}

std::string List(const std::vector<int32_t>& v) {
  std::string s;
  for (int32_t x : v) s += (s.empty() ? "" : " ") + std::to_string(x);
  return "(" + s + ")";
}

std::vector<int32_t> Plus(const std::vector<int32_t>& base, const std::vector<int64_t>& add) {
  std::vector<int32_t> out;
  for (size_t a = 0; a < base.size(); ++a) out.push_back(static_cast<int32_t>(base[a] + add[a]));
  return out;
}

// Every segment of the trajectory packets among `reports`, in wire order,
// and the command code of each full packet.
std::vector<proto::Segment> WireSegments(const std::vector<Report>& reports,
                                         std::vector<int>* fullPackets) {
  std::vector<proto::Segment> segs;
  for (const Report& r : reports) {
    const uint8_t* p = r.data() + proto::kPayloadOffset;
    uint8_t code = p[proto::kCommandByte];
    if (code != proto::kSegments && code != proto::kSegmentsAck && code != proto::kSegmentsEnd)
      continue;
    if (code != proto::kSegmentsEnd && fullPackets != nullptr) fullPackets->push_back(code);
    for (uint32_t i = 0; i < p[proto::segments::Count] && i < proto::segments::kPerPacket; ++i)
      segs.push_back(proto::DecodeSegment(p + proto::segments::kSegmentSize * i));
  }
  return segs;
}

// The first wire segment that does not carry its record (truncated
// magnitudes, a direction bit for every positive delta, the 24-bit line),
// or "" when all of them do.
std::string SegmentMismatch(const std::vector<Record>& program, size_t first,
                            const std::vector<proto::Segment>& segs) {
  if (segs.size() != program.size() - first) {
    return std::to_string(segs.size()) + " segments for " +
           std::to_string(program.size() - first) + " records";
  }
  for (size_t i = 0; i < segs.size(); ++i) {
    const Record& r = program[first + i];
    uint8_t dirs = 0;
    bool same = true;
    for (int a = 0; a < off::kAxes; ++a) {
      if (r.Delta[a] > 0.0) dirs |= static_cast<uint8_t>(1u << a);
      same &= segs[i].Magnitude[a] == static_cast<uint16_t>(std::trunc(std::fabs(r.Delta[a])));
    }
    uint32_t line = static_cast<uint32_t>(r.Line) < 0xFFFFFFu ? static_cast<uint32_t>(r.Line)
                                                               : 0xFFFFFFu;
    if (!same || segs[i].Directions != dirs || segs[i].Line != line) {
      const uint16_t* m = segs[i].Magnitude;
      char text[200];
      std::snprintf(text, sizeof text,
                    "record %u: steps %u %u %u %u %u directions 0x%02x line 0x%06x; deltas "
                    "%g %g %g %g %g line 0x%06x",
                    static_cast<unsigned>(first + i), m[0], m[1], m[2], m[3], m[4],
                    segs[i].Directions, static_cast<unsigned>(segs[i].Line), r.Delta[0],
                    r.Delta[1], r.Delta[2], r.Delta[3], r.Delta[4], static_cast<unsigned>(line));
      return text;
    }
  }
  return "";
}

int32_t& TrajIndexOf(Host& h) { return h.E<int32_t>(off::engine::TrajIndex); }
int32_t& TrajHeadOf(Host& h) { return h.E<int32_t>(off::engine::TrajHead); }
int32_t RingLength(Host& h) { return (TrajHeadOf(h) - TrajIndexOf(h)) & off::kRingMask; }

// The host's planner on a thread of its own, as in Mach3: it appends
// records behind TrajHead in small batches while the main thread calls
// Update, and raises BufferEnding with the last batch.
class PlannerThread {
 public:
  PlannerThread(Host& h, const std::vector<Record>& program, int batch)
      : h_(h), program_(program), batch_(batch) {}
  bool Start() {
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    return thread_ != nullptr;
  }
  bool Done() const { return done_ != 0; }
  size_t Batches() const { return batches_; }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<PlannerThread*>(self)->Loop();
    return 0;
  }
  void Loop() {
    volatile int32_t* head = &TrajHeadOf(h_);
    volatile int32_t* index = &TrajIndexOf(h_);
    size_t next = 0;
    while (next < program_.size()) {
      int32_t at = *head;
      int32_t room = off::kRingMask - ((at - *index) & off::kRingMask);
      size_t take = std::min<size_t>({static_cast<size_t>(room), static_cast<size_t>(batch_),
                                      program_.size() - next});
      for (size_t k = 0; k < take; ++k) {
        const Record& r = program_[next + k];
        h_.PutRecord(at + static_cast<int32_t>(k), r.Delta, r.Line);
      }
      if (take > 0) {
        // The records are complete before the plug-in can see them.
        InterlockedExchange(reinterpret_cast<volatile LONG*>(head),
                            (at + static_cast<int32_t>(take)) & off::kRingMask);
        next += take;
        ++batches_;
      }
      if (next == program_.size()) h_.P<uint8_t>(off::planner::BufferEnding) = 1;
      Sleep(2);
    }
    InterlockedExchange(&done_, 1);
  }

  Host& h_;
  const std::vector<Record>& program_;
  int batch_;
  HANDLE thread_ = nullptr;
  volatile LONG done_ = 0;
  size_t batches_ = 0;
};

// A program of a few hundred records streamed while the planner refills the
// ring, across the ring's wrap, to an exact end.
void CaseStream() {
  BoardRig rig;
  const std::vector<int32_t> start = {1000, -2000, 0, 123, -45};
  const int32_t firstIndex = 4000;  // the ring wraps during the program
  if (!rig.Start([&](Host& h) {
        for (int a = 0; a < off::kAxes; ++a) h.Position(a) = start[a];
        TrajIndexOf(h) = firstIndex;
        TrajHeadOf(h) = firstIndex;
      }))
    return;
  Host& h = rig.h;
  Check(rig.BoardPositions() == start, "the first reset loads the host's positions into the board",
        List(rig.BoardPositions()));

  const std::vector<Record> program = MakeProgram(360, 20240601);
  h.ExternalStill() = 0;
  h.Sync() = 0;
  PlannerThread planner(h, program, 10);
  Check(planner.Start(), "planner thread started");
  bool ended = rig.UpdateUntil([&] {
    bool streamOpen = true;
    rig.device.WithBoard([&](vx::sim::BoardSim& b) { streamOpen = b.StreamOpen(); });
    return planner.Done() && RingLength(h) == 0 && rig.BoardIdle() && !streamOpen;
  }, 60000);
  h.Update(2);  // a Status exchange brings the board's final positions in
  Check(ended, "the board executed the whole program",
        "planner done " + std::to_string(planner.Done()) + ", ring " +
            std::to_string(RingLength(h)) + ", board idle " + std::to_string(rig.BoardIdle()));
  std::printf("INFO: the planner fed the ring in %u batches; %u SegmentsEnd packets\n",
              static_cast<unsigned>(planner.Batches()),
              static_cast<unsigned>(rig.SentPayloads(proto::kSegmentsEnd).size()));

  const std::vector<int32_t> expected = Plus(start, Travel(program, 0));
  Check(rig.BoardPositions() == expected,
        "the board's positions are the sums of the truncated deltas",
        List(rig.BoardPositions()) + ", expected " + List(expected));
  Check(h.Positions() == expected, "the host's axis positions equal the board's",
        List(h.Positions()) + ", expected " + List(expected));

  std::vector<int> fullPackets;
  std::vector<proto::Segment> segs = WireSegments(rig.Sent(), &fullPackets);
  std::string mismatch = SegmentMismatch(program, 0, segs);
  Check(mismatch.empty(), "every record went out once, in order, truncated, with its line",
        mismatch);
  bool ackTwelfth = fullPackets.size() >= 12 &&
                    std::count(fullPackets.begin(), fullPackets.begin() + 11, proto::kSegments) == 11 &&
                    fullPackets[11] == proto::kSegmentsAck;
  Check(ackTwelfth, "after the reset the twelfth full packet asks for an answer",
        Codes(std::vector<int>(fullPackets.begin(),
                               fullPackets.begin() + std::min<size_t>(fullPackets.size(), 12))));
  uint64_t executed = 0;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { executed = b.Statistics().SegmentsExecuted; });
  Check(executed == program.size(), "the board executed one segment per record",
        std::to_string(executed));

  int32_t endIndex = (firstIndex + static_cast<int32_t>(program.size())) & off::kRingMask;
  Check(TrajIndexOf(h) == endIndex && TrajHeadOf(h) == endIndex,
        "TrajIndex followed TrajHead across the wrap to the end",
        std::to_string(TrajIndexOf(h)) + " / " + std::to_string(TrajHeadOf(h)));
  Check(h.CurrentLine() == program.back().Line, "CurrentLine holds the last record's line",
        std::to_string(h.CurrentLine()));
  Check(h.ExternalStill() == 1 && h.Sync() == 1, "the end is reported: ExternalStill and Sync",
        "ExternalStill " + std::to_string(h.ExternalStill()) + ", Sync " +
            std::to_string(h.Sync()));
  Check(h.EStop() == 0 && StatusText() == kResetConnected, "no E-stop and no message",
        "EStop " + std::to_string(h.EStop()) + ", status " + Quote(StatusText()));
  CheckBoardBehaved(rig.device);
  CheckStringManager("after the program");
}

// The board unplugged in the middle of a program and plugged in again: the
// host resets, and the rest of the program runs to an exact end.
void CaseUnplugRecover() {
  BoardRig rig;
  if (!rig.Start()) return;
  Host& h = rig.h;
  const std::vector<Record> program = MakeProgram(300, 77);
  size_t fed = 0;
  // The host keeps up to 80 records waiting, as its planner would.
  auto feed = [&] {
    while (fed < program.size() && RingLength(h) < 80) {
      h.PutRecord(TrajHeadOf(h), program[fed].Delta, program[fed].Line);
      TrajHeadOf(h) = (TrajHeadOf(h) + 1) & off::kRingMask;
      ++fed;
    }
    if (fed == program.size()) h.P<uint8_t>(off::planner::BufferEnding) = 1;
  };
  auto taken = [&] { return fed - static_cast<size_t>(RingLength(h)); };

  // Part of the program streamed and partly run by the board.
  bool half = rig.UpdateUntil([&] {
    feed();
    return taken() >= 120 && RingLength(h) >= 60;
  });
  uint64_t executedBefore = 0;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { executedBefore = b.Statistics().SegmentsExecuted; });
  Check(half && executedBefore > 0, "the program is under way when the cable is pulled",
        std::to_string(taken()) + " records taken, " + std::to_string(executedBefore) +
            " executed");

  // Pulled: the board fails every transfer and leaves the interface list.
  rig.device.WithBoard([](vx::sim::BoardSim& b) { b.Unplug(); });
  ListHidDevices({});
  int32_t lastIndex = -1;
  int still = 0;
  rig.UpdateUntil([&] {
    still = TrajIndexOf(h) == lastIndex ? still + 1 : 0;
    lastIndex = TrajIndexOf(h);
    return still >= 3;
  }, 5000);
  const size_t takenAtLoss = taken();
  const std::vector<int32_t> lastKnown = h.Positions();
  uint64_t executedAtLoss = 0;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { executedAtLoss = b.Statistics().SegmentsExecuted; });
  Check(still >= 3 && RingLength(h) > 0, "a failed transfer stops the streaming at once",
        std::to_string(RingLength(h)) + " records still waiting");
  std::printf("INFO: %u records taken by the plug-in, %u executed by the board before the loss\n",
              static_cast<unsigned>(takenAtLoss), static_cast<unsigned>(executedAtLoss));
  SendDeviceChange(h.window, DBT_DEVICEREMOVECOMPLETE, BoardInterfaceName());
  Check(StatusText() == kNoBoard, "the removal posts " + Quote(kNoBoard), Quote(StatusText()));
  Check(WaitUntil([&] { return !rig.device.Connected(); }), "the removal closes the board handle");

  // Plugged in again: a new pipe instance, a board powered up afresh.
  rig.device.WithBoard([](vx::sim::BoardSim& b) { b.Replug(); });
  ListHidDevices({rig.device.Path()});
  SendDeviceChange(h.window, DBT_DEVICEARRIVAL, BoardInterfaceName());
  Check(StatusText() == kConnected && h.EStop() == 1,
        "the arrival reopens the board, posts " + Quote(kConnected) + " and holds E-stop",
        Quote(StatusText()) + ", EStop " + std::to_string(h.EStop()));
  Check(taken() == takenAtLoss, "nothing streams before the host's reset",
        std::to_string(taken() - takenAtLoss) + " records taken");

  // The host's reset: its planner is flushed (the waiting records are planned
  // again from the first one the plug-in had not taken), E-stop cleared, then
  // Reset.
  TrajHeadOf(h) = TrajIndexOf(h);
  fed = takenAtLoss;
  h.P<uint8_t>(off::planner::BufferEnding) = 0;
  h.EStop() = 0;
  rig.device.ClearReports();
  h.plugin.Reset();
  const std::vector<int32_t> recovered = h.Positions();
  std::vector<int> codes = rig.SentCodes();
  const std::vector<int> wantReset = {proto::kStop,        proto::kStatus,    proto::kIdentify,
                                      proto::kSetPositions, proto::kAxisSetup, proto::kStatus};
  Check(StatusText() == kResetConnected && codes == wantReset,
        "the reset takes the board's positions, identifies it and brings the link up",
        Quote(StatusText()) + " " + Codes(codes));
  // The failed link keeps the reset from adopting the fresh board's zeros:
  // the host's last known positions are loaded into the board instead.
  Check(recovered == lastKnown && rig.BoardPositions() == recovered,
        "the reset loads the host's last known positions into the new board",
        "host " + List(recovered) + ", last known " + List(lastKnown) + ", board " +
            List(rig.BoardPositions()));
  Check(h.CurrentLine() == program[takenAtLoss - 1].Line,
        "CurrentLine names the last record sent before the loss", std::to_string(h.CurrentLine()));

  // As a host does after a reset, wait until the machine is reported still:
  // the settle loads the host's positions into the board once it is idle,
  // which must not race a stream that has already started.
  h.ExternalStill() = 0;
  Check(rig.UpdateUntil([&] { return h.ExternalStill() == 1; }, 5000),
        "the settle after the reset reports the machine still");

  // The rest of the program, from the first record the plug-in had not taken.
  uint64_t executedAtReplug = 0;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { executedAtReplug = b.Statistics().SegmentsExecuted; });
  rig.device.ClearReports();
  h.ExternalStill() = 0;
  bool ended = rig.UpdateUntil([&] {
    feed();
    bool streamOpen = true;
    rig.device.WithBoard([&](vx::sim::BoardSim& b) { streamOpen = b.StreamOpen(); });
    return fed == program.size() && RingLength(h) == 0 && rig.BoardIdle() && !streamOpen;
  }, 60000);
  h.Update(2);
  const std::vector<int32_t> expected = Plus(recovered, Travel(program, takenAtLoss));
  Check(ended, "the rest of the program ran to its end");
  Check(rig.BoardPositions() == expected && h.Positions() == expected,
        "board and host end at the recovered positions plus the remaining records' travel",
        "board " + List(rig.BoardPositions()) + ", host " + List(h.Positions()) + ", expected " +
            List(expected));
  std::string mismatch = SegmentMismatch(program, takenAtLoss, WireSegments(rig.Sent(), nullptr));
  Check(mismatch.empty(), "the remaining records went out once each, in order", mismatch);
  uint64_t executed = 0;
  rig.device.WithBoard([&](vx::sim::BoardSim& b) { executed = b.Statistics().SegmentsExecuted; });
  Check(executed - executedAtReplug == program.size() - takenAtLoss,
        "the board executed exactly the remaining records",
        std::to_string(executed - executedAtReplug) + " of " +
            std::to_string(program.size() - takenAtLoss));
  Check(h.CurrentLine() == program.back().Line && h.ExternalStill() == 1 && h.EStop() == 0,
        "the end is reported with the last line, ExternalStill and no E-stop",
        "CurrentLine " + std::to_string(h.CurrentLine()) + ", ExternalStill " +
            std::to_string(h.ExternalStill()) + ", EStop " + std::to_string(h.EStop()));
  CheckBoardBehaved(rig.device);
  CheckStandInsBalanced();
  CheckStringManager("across the power cycle");
}

}  // namespace

void AddStreamCases(CaseTable& cases) {
  cases["stream"] = CaseStream;
  cases["unplug-recover"] = CaseUnplugRecover;
}

}  // namespace host
