// Device-change broadcasts made up by the input, delivered through the host
// window the plug-in has subclassed: arrivals, removals and other events;
// names short, long, unterminated, with or without the board's path in
// them; declared sizes below, at and above the name's end. The buffer holds
// exactly what the size field declares (never less than the header), so a
// read past the record is caught. Each message must reach the host's own
// procedure, a board path must be acted on exactly when it lies within the
// declared record, and no handle may leak.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/discovery.h"
#include "sim/machine.h"

namespace vx {
namespace {

constexpr uint32_t kHeader = 12;
constexpr uint32_t kNameAt = wm::kBroadcastNameOffset;

// The rule, written out plainly: the name is the record's bytes from
// offset 28 up to its terminator or the declared end; after its first four
// characters it must contain one of the board's two path forms.
bool NamesTheBoard(const std::vector<uint8_t>& rec, uint32_t declared) {
  if (declared <= kNameAt) return false;
  std::string name;
  for (uint32_t i = kNameAt; i < declared && i < rec.size() && rec[i] != 0; ++i) name += static_cast<char>(rec[i]);
  if (name.size() <= 4) return false;
  const std::string path = name.substr(4);
  return path.find(board_id::kPathUpper) != std::string::npos ||
         path.find(board_id::kPathMixed) != std::string::npos;
}

void CheckHandles(const sim::Machine& m) {
  if (m.hid.Opened() != m.hid.Closed() + m.hid.OpenHandles() || m.hid.OpenHandles() > 1)
    fuzz::Fail("board handles");
  if (m.hid.BadCloses() != 0) fuzz::Fail("a handle closed twice");
  if (m.hid.SetsCreated() != m.hid.SetsDestroyed()) fuzz::Fail("device information set kept");
}

}  // namespace
}  // namespace vx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx;
  fuzz::Input in(data, size);
  sim::Machine m;
  m.board.SetTranscriptEnabled(false);
  m.Start();
  CheckHandles(m);

  for (int message = 0; message < 8 && !in.Empty(); ++message) {
    const uint8_t how = in.Byte();
    // The board itself may come and go without a word, or refuse to open.
    if (how & 0x80) {
      if (m.board.Plugged()) {
        m.board.Unplug();
      } else {
        m.board.Replug();
      }
    }
    m.hid.Candidate(m.boardCandidate).FailOpen = (how & 0x40) != 0;

    // The name: the input's bytes, or the board's path with input around it.
    std::string name;
    switch ((how >> 2) & 3) {
      case 0: name = in.Text(300); break;
      case 1: name = sim::BoardBroadcastName(in.Bool()); break;
      case 2: {
        const std::string before = in.Text(40);
        name = before + sim::BoardBroadcastName() + in.Text(40);
        break;
      }
      default: name = sim::BoardBroadcastName().substr(0, in.Byte() % 40); break;
    }
    const bool terminate = !in.Bool();
    const uint32_t deviceType = in.Bool() ? wm::kDevTypDeviceInterface : in.Byte();
    std::vector<uint8_t> rec = sim::DeviceInterfaceBroadcast(name, terminate, 0, deviceType);
    uint32_t declared = static_cast<uint32_t>(rec.size());
    switch (in.Byte() % 4) {
      case 1: declared = in.U16() % (declared + 1); break;     // shorter than the name
      case 2: declared = in.U16() % (kNameAt + 8); break;       // around the header's end
      case 3: declared += in.Byte() % 16; break;                // padding after the name
      default: break;
    }
    // Exactly the declared record, or the bare header below its size.
    const uint32_t length = declared < kHeader ? kHeader : declared;
    rec.resize(length, 0xAB);
    proto::PutU32(rec.data(), declared);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
    std::memcpy(buffer.get(), rec.data(), length);

    uintptr_t event = (how & 3) == 0 ? wm::kDeviceArrival : (how & 3) == 1 ? wm::kDeviceRemoveComplete : 0x0007;
    const uint32_t type = proto::GetU32(rec.data() + 4);
    const bool acted = (event == wm::kDeviceArrival || event == wm::kDeviceRemoveComplete) &&
                       declared >= kHeader && type == wm::kDevTypDeviceInterface &&
                       NamesTheBoard(rec, declared);

    m.host.SetEStop(false);
    const Handle before = m.ctx->BoardHandle;
    const size_t forwarded = m.window.PreviousCalls().size();
    m.window.Send(sim::FakeWindow::kMainWindow, wm::kDeviceChange, event,
                  reinterpret_cast<intptr_t>(buffer.get()));

    if (m.window.PreviousCalls().size() != forwarded + 1) fuzz::Fail("message not passed on");
    if (!acted) {
      if (m.host.EStop() || m.ctx->BoardHandle != before) fuzz::Fail("acted on a message not for the board");
    } else if (event == wm::kDeviceArrival) {
      if (!m.host.EStop()) fuzz::Fail("no E-stop after the board's arrival");
      const bool opens = m.board.Plugged() && !m.hid.Candidate(m.boardCandidate).FailOpen;
      if (opens != (m.ctx->BoardHandle != kInvalidHandle)) fuzz::Fail("board handle after arrival");
      if (opens && m.ctx->BoardPresent != 1) fuzz::Fail("BoardPresent after arrival");
    } else {
      if (m.ctx->BoardHandle != kInvalidHandle || m.ctx->BoardPresent != 0) fuzz::Fail("board kept after removal");
      if (m.host.StatusText() != "No VendrixBoard, Please plug it in!") fuzz::Fail("removal message");
    }
    CheckHandles(m);
    // The plug-in goes on working with whatever it now holds.
    m.ctx->Reset();
    m.Update();
  }
  return 0;
}
