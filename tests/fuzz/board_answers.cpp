// Board answers of every answered command made up by the input: Status
// answers fed to the status step (input levels, positions, idle and done
// bits, lines), SegmentsAck answers to the encoder (flow-control values of
// every size), SegmentsEnd answers and Identify answers, whole or in part,
// or lost. The session around them streams, jogs, homes, probes and resets
// as the input says; after every step the machine's invariants must hold.
#include "fuzz_input.h"
#include "machine_rig.h"

namespace vx {
namespace {

// Sits between the HID handle and the board simulator and lets the input
// rewrite or drop what the board answers, or fail a write.
class Meddler : public sim::HidDevice {
 public:
  Meddler(sim::BoardSim& board, fuzz::Input& in) : board_(board), in_(in) {}

  bool Receive(const uint8_t* report) override {
    if (in_.Byte() == 0xE7) return false;
    return board_.Receive(report);
  }
  bool Answer(uint8_t* report) override {
    if (!board_.Answer(report)) return false;
    uint8_t* p = report + proto::kPayloadOffset;
    // Most answers pass untouched, so that sessions get far enough to
    // stream packets up to a SegmentsAck between the garbage.
    const uint8_t op = in_.Byte();
    if (op < 200) return true;
    switch (op % 6) {
      case 1:  // any 65 bytes, the answer code included
        in_.Take(report, proto::kReportSize);
        break;
      case 2:  // a few bytes changed
        for (int i = 0, n = 1 + in_.Byte() % 8; i < n; ++i) {
          const uint8_t at = in_.Byte() % proto::kPayloadSize;
          p[at] = in_.Byte();
        }
        break;
      case 3:  // lost
        return false;
      case 4:  // every byte the plug-in interprets
        for (uint32_t at : {0u, 1u, 40u, 41u, 10u, 16u, 17u, 18u, 19u, 20u, 63u}) p[at] = in_.Byte();
        in_.Take(p + proto::input::Positions, 20);
        in_.Take(p + proto::input::Line, 4);
        break;
      case 5:  // the SegmentsAck interval byte alone
        p[proto::input::AckInterval] = in_.Byte();
        break;
      default:
        break;
    }
    return true;
  }
  bool Plugged() const override { return board_.Plugged(); }
  uint32_t PlugGeneration() const override { return board_.PlugGeneration(); }

 private:
  sim::BoardSim& board_;
  fuzz::Input& in_;
};

}  // namespace
}  // namespace vx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx;
  fuzz::Input in(data, size);
  sim::MachineOptions o;
  o.Board.SegmentPeriodUs = 100;
  sim::Machine m(o);
  fuzz::WireMachine(m);
  Meddler meddler(m.board, in);
  m.hid.Candidate(m.boardCandidate).Device = &meddler;
  m.Start();
  fuzz::CheckMachine(m);
  for (int step = 0; step < 400 && !in.Empty(); ++step) {
    fuzz::HostStep(m, in);
    fuzz::CheckMachine(m);
  }
  return 0;
}
