#include "plugin/plugin_context.h"

#include <cstring>

#include "config/dialog.h"
#include "config/settings.h"
#include "diag/console.h"
#include "link/board_link.h"
#include "link/discovery.h"
#include "motion/device.h"

namespace vx {

PluginContext::PluginContext(const Platform& platform) : os(platform), host(platform.Memory) {
  host.SetStatusLock(platform.BoardLock);
}

// The device goes first: its teardown still talks to the board through the
// buffers, flags and handle declared after it.
PluginContext::~PluginContext() { Device.reset(); }

uint8_t PluginContext::InitControl(HostAddr engine, HostAddr settings, HostAddr planner,
                                   HostAddr view) {
  host.Attach(engine, settings, planner, view);
  MenuCommandId = host.GetMenuRange(1);
  // A second InitControl (not something the host does) keeps the one device.
  if (!Device) Device = std::make_unique<MyDeviceClass>(*this);
  std::memset(OutPayload(), 0, proto::kPayloadSize);
  std::memset(InPayload(), 0, proto::kPayloadSize);

  Interfaces.Clear();
  int found = DiscoverBoard(*this);
  if (found == 0) {
    host.PostStatus(msg::kNoBoard);
    BoardPresent = 0;
  } else {
    LockGuard lock(os.BoardLock);
    BoardHandle = kInvalidHandle;
    if (const DetailRecord* record = Interfaces.At(found - 1)) OpenBoard(*this, *record);
    if (BoardHandle != kInvalidHandle) {
      host.PostStatus(msg::kConnected);
      BoardPresent = 1;
    }
  }
  HookMainWindow(*this);
  ReadSettings(*this);
  return 1;
}

void PluginContext::PostInitControl() {
  AddMenuEntry(*this);
  StartDevice("123", false);
}

const char* PluginContext::SetProName(const char*) { return kPluginName; }

void PluginContext::StartDevice(const char* name, bool console) {
  // Without InitControl there is no device to start.
  if (!Device) return;
  MyDeviceClass& dev = *Device;
  if (!(dev.Hardware && dev.HardwareName == name)) {
    delete dev.Hardware;
    dev.Hardware = new MyHardwareClass(*this);
  }
  dev.HardwareName = name;
  if (console && dev.Console == nullptr) {
    dev.Console = new MyConsoleClass(os.Console);
    dev.Console->WriteBanner();
  } else if (!console && dev.Console != nullptr) {
    delete dev.Console;
    dev.Console = nullptr;
  }
  host.PostStatus(msg::kStarting);
  dev.Reset(ResetFull);
  dev.Started = 1;
  host.DoButton(204);
  host.SetDRO(817, 10000.0);
  host.SetDRO(74, 100.0);
}

void PluginContext::Notify(int32_t code) {
  // Before InitControl there are no host structures to write into.
  if (!Device) return;
  if (code == kNotifyStop || code == kNotifyStopAlt) {
    host.SetEStop(true);
    LinkUp = 0;
    LockGuard lock(os.BoardLock);
    std::memset(OutPayload(), 0, proto::kPayloadSize);
    OutPayload()[proto::kCommandByte] = proto::kStop;
    if (!TryWriteReport(*this)) return;
    proto::PutU32(OutputBlock.data() + proto::status::OutputBits, 0);
    OutputBlock[proto::status::SpindleLedByte] = 0;
    // The board must hear the E-stop that was just raised, not the clear
    // state the last output refresh computed.
    OutputBlock[proto::status::EStopByte] = host.EStop() ? 1 : 0;
    if (StatusExchange(*this, StatusReport::Silent)) {
      // Where the board stopped is where the host's axes are: a later reset
      // loads the host's positions into the board, and one cycle-old values
      // would shift the machine's coordinates by the steps of that cycle.
      int32_t p[proto::kAxes];
      for (int a = 0; a < proto::kAxes; ++a) p[a] = proto::BoardPosition(InPayload(), a);
      Device->AdoptPositions(p);
    }
  }
  if (code == kNotifyClearLine) host.SetCurrentLine(-1);
  if (code == MenuCommandId && LinkError != 1) OpenConfigDialog(*this);
}

void PluginContext::Update() {
  ++PollCount;
  if (LinkError == 1 || LinkUp == 0 || UpdateBusy == 1) return;
  UpdateBusy = 1;
  if (!Device || Device->Started == 0) {
    UpdateBusy = 0;
    return;
  }
  MyDeviceClass& dev = *Device;
  if (host.RingEmpty()) {
    dev.StatusStep();
  } else if (PollCount > 3) {
    dev.StatusStep();
    PollCount = 0;
  }
  // A status step that lost the board ends the cycle: the later phases would
  // act on board state that is no longer current and talk to a board the
  // link flags have given up on; a homing step could even command a move
  // right after the E-stop the failure raised, and its messages would hide
  // the communication error.
  if (LinkError == 1 || LinkUp == 0) {
    UpdateBusy = 0;
    return;
  }
  dev.StreamTrajectory();
  dev.RefreshOutputs();
  dev.SequenceStep();
  UpdateBusy = 0;
}

// The host's requests before plug-in start find no hardware object: they are
// ignored rather than run on a half-built device.
#define VX_REQUIRE_HARDWARE() \
  if (!Device || !Device->Hardware) return

void PluginContext::Reset() {
  VX_REQUIRE_HARDWARE();
  Device->Reset(ResetFull);
}

void PluginContext::DoDwell(double time) {
  VX_REQUIRE_HARDWARE();
  Device->DoDwell(time);
}

void PluginContext::JogOn(int32_t axis, int32_t direction, double speed) {
  VX_REQUIRE_HARDWARE();
  Device->JogOn(static_cast<int16_t>(axis), static_cast<int16_t>(direction), speed);
}

void PluginContext::JogOff(int32_t) {
  VX_REQUIRE_HARDWARE();
  Device->JogOff();
}

void PluginContext::Purge(int32_t flags) {
  VX_REQUIRE_HARDWARE();
  Device->Purge(static_cast<int16_t>(flags));
}

void PluginContext::Probe() {
  VX_REQUIRE_HARDWARE();
  Device->Probe();
}

void PluginContext::Home(int32_t axis) {
  VX_REQUIRE_HARDWARE();
  Device->Home(static_cast<int16_t>(axis));
}

#undef VX_REQUIRE_HARDWARE

}  // namespace vx
