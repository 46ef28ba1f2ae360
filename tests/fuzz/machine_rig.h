// The whole simulated machine for the fuzz targets: inputs, switches and
// tuning a real set-up would have, a host session driven by the input (the
// Update calls and the requests a user makes), and the checks that must hold
// after every step whatever the board answered or the host held.
#pragma once

#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "motion/device.h"
#include "sim/machine.h"

namespace vx::fuzz {

// Limit, home, probe, LIMIT OVER and E-stop inputs wired to board pins and
// switches, some active low.
inline void WireMachine(sim::Machine& m) {
  m.host.SetInput(0, true, 16);               // X limits
  m.host.SetInput(1, true, 17, 1, true);
  m.host.SetInput(2, true, 12);               // X home
  m.host.SetInput(3, true, 18);               // Y limit
  m.host.SetInput(5, true, 19, 1, true);      // Y home, active low
  m.host.SetInput(6, true, 20);               // Z limit
  m.host.SetInput(8, true, 21);               // Z home
  m.host.SetInput(22, true, 13);              // probe
  m.host.SetInput(24, true, 22);              // LIMIT OVER
  m.host.SetInput(25, true, 15, 1, true);     // E-stop, active low
  m.host.SetInput(30, true, 23, 2);           // a signal on port 2
  m.board.SetPin(17, 1);  // the active-low limit, released
  m.board.SetEStopInput(15, 0);
  m.board.AddSwitch({0, 12, 400, true, 1});
  m.board.AddSwitch({1, 19, -300, false, 0});
  m.board.AddSwitch({2, 21, 250, true, 1});
  m.board.AddSwitch({2, 13, -200, false, 1});
  m.board.AddSwitch({0, 16, 5000, true, 1});
  for (int a = 0; a < 5; ++a) m.host.SetHoming(a, 50 + 10 * a, a % 2 == 0);
  m.host.SetJogPercent(40.0);
  m.host.SetProbeTarget(0.0, 0.0, -1.0);
  m.host.SetOutput(1, true);
  m.host.SetOutput(7, true, true, true);
  m.board.SetTranscriptEnabled(false);
}

// One step of the host's session, chosen by the input.
inline void HostStep(sim::Machine& m, Input& in) {
  const uint8_t a = in.Byte();
  switch (a % 16) {
    case 8: {
      const int n = 1 + in.Byte() % 120;
      for (int i = 0; i < n; ++i) {
        double d[proto::kAxes];
        for (int k = 0; k < proto::kAxes; ++k) d[k] = static_cast<double>(static_cast<int8_t>(in.Byte())) * 3.1;
        m.host.PushRecord(d, 100 + i);
      }
      break;
    }
    case 9: m.ctx->JogOn(a >> 5, (a >> 4) & 1, 0.0); break;
    case 10: m.ctx->JogOff(0); break;
    case 11: m.ctx->Home(a >> 5); break;
    case 12: m.ctx->Probe(); break;
    case 13:
      m.host.SetEStop(false);
      m.ctx->Reset();
      break;
    case 14: m.ctx->Notify((a & 0x20) ? 14 : 12); break;
    case 15:
      if (a & 0x10) {
        m.ctx->Purge(a >> 5);
      } else {
        m.host.SetBufferEnding((a & 0x20) != 0);
      }
      break;
    default: m.Update(); break;
  }
}

// What holds whatever happened: the link flags agree, the encoder's
// counters stay in range, the ring index stays in the ring, and the board
// was spoken to in order and only about axes it has.
inline void CheckMachine(sim::Machine& m) {
  const PluginContext& c = *m.ctx;
  if (c.LinkUp == 1 && c.LinkError != 0) Fail("LinkUp with LinkError");
  if (c.AckInterval == 0) Fail("AckInterval 0: no SegmentsAck would ever be sent again");
  if (c.SlotCount > 5) Fail("SlotCount", std::to_string(c.SlotCount));
  const int32_t index = m.host.TrajIndex();
  if (index < 0 || index > 4095) Fail("TrajIndex", std::to_string(index));
  for (const std::string& v : m.board.Violations()) {
    for (const char* bad : {"written while", "no answer pending", "report id", "Move on axis",
                            "Move direction", "unknown command", "Status byte", "segments in",
                            "slot byte", "end mark", "bytes 60..61", "Identify magic"}) {
      if (v.find(bad) != std::string::npos) Fail("board protocol:", v);
    }
  }
  if (std::strlen(c.BoardSerial) > 10 || std::strlen(c.BoardVersion) > 3) Fail("identification texts");
  if (m.hid.Opened() != m.hid.Closed() + m.hid.OpenHandles() || m.hid.OpenHandles() > 1)
    Fail("board handles");
}

}  // namespace vx::fuzz
