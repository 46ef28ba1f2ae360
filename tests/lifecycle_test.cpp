// Start-up, Notify and Update of the plug-in without a board.
#include <gtest/gtest.h>

#include <algorithm>

#include "motion/device.h"
#include "plugin/plugin_context.h"
#include "sim/fakes.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

using sim::HostSim;
using sim::Struct;

// A HID class with no interfaces in it; counts every attempt at the wire.
class EmptyHid : public HidApi {
 public:
  int Writes = 0;
  int Reads = 0;
  Handle GetClassDevs() override { return 0x5E7; }
  bool EnumDeviceInterfaces(Handle, uint32_t, InterfaceData*) override { return false; }
  uint32_t GetInterfaceDetailSize(Handle, const InterfaceData&) override { return 0; }
  bool GetInterfaceDetail(Handle, const InterfaceData&, uint8_t*, uint32_t) override { return false; }
  void DestroyDeviceInfoList(Handle) override {}
  Handle OpenDevice(const char*) override { return kInvalidHandle; }
  bool GetCaps(Handle, HidCapsInfo*) override { return false; }
  bool GetAttributes(Handle, HidAttributesInfo*) override { return false; }
  void CloseDevice(Handle) override {}
  bool WriteReport(Handle, const uint8_t*, uint32_t) override {
    ++Writes;
    return false;
  }
  bool ReadReport(Handle, uint8_t*, uint32_t) override {
    ++Reads;
    return false;
  }
};

class QuietWindows : public WindowApi {
 public:
  uintptr_t GetWindowProc(Handle) override { return 0x401000; }
  void SetWindowProc(Handle, uintptr_t) override {}
  uintptr_t PluginWindowProc() override { return 0x402000; }
  intptr_t CallWindowProc(uintptr_t, Handle, uint32_t, uintptr_t, intptr_t) override { return 0; }
  bool RegisterDeviceNotification(Handle, const uint8_t*) override { return true; }
};

class LifecycleTest : public ::testing::Test {
 protected:
  LifecycleTest() {
    platform.Memory = &host;
    platform.Hid = &hid;
    platform.Windows = &windows;
    platform.Files = &files;
    platform.Console = &console;
    platform.Clock = &clock;
    platform.BoardLock = &lock;
    ctx = std::make_unique<PluginContext>(platform);
    host.InstallCallbacks(*ctx);
  }
  void Start() {
    ASSERT_EQ(host.InitControl(*ctx), 1);
    ctx->PostInitControl();
    Quiet();
  }
  // Forget everything recorded so far.
  void Quiet() {
    host.ClearWriteLog();
    host.ClearCallLog();
    host.ClearStatusHistory();
    hid.Writes = hid.Reads = 0;
  }
  void ExpectHostUntouched() {
    EXPECT_TRUE(host.WrittenRanges().empty()) << host.DescribeRanges(host.WrittenRanges());
    EXPECT_TRUE(host.Events.empty()) << host.Events.front();
  }
  size_t EventIndex(const std::string& e) const {
    return static_cast<size_t>(std::find(host.Events.begin(), host.Events.end(), e) -
                               host.Events.begin());
  }

  HostSim host;
  EmptyHid hid;
  QuietWindows windows;
  sim::FakeFiles files;
  sim::FakeConsole console;
  sim::FakeClock clock;
  sim::FakeLock lock;
  Platform platform;
  std::unique_ptr<PluginContext> ctx;
};

TEST_F(LifecycleTest, InitControlWithoutBoard) {
  host.Write<uint8_t>(Struct::View, host::view::InitFlag, 1);
  EXPECT_EQ(host.InitControl(*ctx), 1);

  EXPECT_EQ(host.Events.front(), "GetMenuRange(1)");
  EXPECT_EQ(host.MenuRangeRequests, std::vector<int>{1});
  EXPECT_EQ(ctx->MenuCommandId, HostSim::kDefaultMenuFirstId);
  EXPECT_EQ(ctx->host.EngineAddr(), host.EngineAddr());
  EXPECT_EQ(ctx->host.SettingsAddr(), host.SettingsAddr());
  EXPECT_EQ(ctx->host.PlannerAddr(), host.PlannerAddr());
  EXPECT_EQ(ctx->host.ViewAddr(), host.ViewAddr());
  ASSERT_NE(ctx->Device, nullptr);
  EXPECT_EQ(ctx->Device->Started, 0);

  EXPECT_EQ(host.StatusHistory(), std::vector<std::string>{"No VendrixBoard, Please plug it in!"});
  EXPECT_EQ(ctx->BoardPresent, 0);
  EXPECT_EQ(ctx->LinkError, 1);
  EXPECT_EQ(ctx->LinkUp, 0);
  EXPECT_EQ(hid.Writes + hid.Reads, 0) << "InitControl sends nothing to the board";

  // Start-up values and the default frequency (no settings file).
  EXPECT_FALSE(host.InitFlag());
  EXPECT_EQ(host.InitCount(), 450);
  EXPECT_EQ(host.InitReal(), 0.004);
  EXPECT_EQ(host.InitWord(), 1);
  for (int m = 0; m < host::kPulseRates; ++m) EXPECT_EQ(host.PulseRate(m), 65000.0);
}

TEST_F(LifecycleTest, PostInitControlStartsTheDevice) {
  ASSERT_EQ(host.InitControl(*ctx), 1);
  Quiet();
  ctx->PostInitControl();

  ASSERT_FALSE(host.StatusHistory().empty());
  EXPECT_EQ(host.StatusHistory().front(), "Starting Vendrix plugin");
  EXPECT_EQ(ctx->Device->Started, 1);
  EXPECT_NE(ctx->Device->Hardware, nullptr);
  EXPECT_EQ(ctx->Device->HardwareName, "123");
  EXPECT_EQ(ctx->Device->Console, nullptr);
  EXPECT_EQ(host.DoButtons, std::vector<int>{204});
  const std::vector<std::pair<int, double>> dros = {{817, 10000.0}, {74, 100.0}};
  EXPECT_EQ(host.SetDroCalls, dros);
  // The message, then the reset, then the button and the two DROs.
  EXPECT_LT(EventIndex("status: Starting Vendrix plugin"), EventIndex("DoButton(204)"));
  EXPECT_LT(EventIndex("DoButton(204)"), EventIndex("SetDRO(817, 10000)"));
  EXPECT_LT(EventIndex("SetDRO(817, 10000)"), EventIndex("SetDRO(74, 100)"));
  EXPECT_EQ(ctx->LinkError, 1) << "no board: the first reset cannot bring the link up";
  EXPECT_EQ(ctx->LinkUp, 0);
  EXPECT_TRUE(lock.Balanced());
}

TEST_F(LifecycleTest, UpdateBeforeStartOnlyCounts) {
  ASSERT_EQ(host.InitControl(*ctx), 1);
  Quiet();
  uint8_t before = ctx->PollCount;
  for (int i = 0; i < 3; ++i) ctx->Update();
  EXPECT_EQ(ctx->PollCount, static_cast<uint8_t>(before + 3));
  EXPECT_EQ(ctx->UpdateBusy, 0);
  ExpectHostUntouched();
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

TEST_F(LifecycleTest, RequestsBeforeStartAreIgnored) {
  ASSERT_EQ(host.InitControl(*ctx), 1);
  Quiet();
  ctx->Reset();
  ctx->JogOn(0, 1, 50.0);
  ctx->JogOff(0);
  ctx->Home(1);
  ctx->Probe();
  ctx->DoDwell(1.0);
  ctx->Purge(0x1F);
  ExpectHostUntouched();
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

TEST_F(LifecycleTest, NotifyTwelveClearsTheCurrentLineOnly) {
  Start();
  host.Write<int32_t>(Struct::Engine, host::engine::CurrentLine, 42);
  host.ClearWriteLog();
  ctx->Notify(12);
  EXPECT_EQ(host.CurrentLine(), -1);
  std::vector<sim::ByteRange> only{host.Field(Struct::Engine, host::engine::CurrentLine, 4)};
  EXPECT_EQ(host.WrittenRanges(), only) << host.DescribeRanges(host.WrittenRanges());
  EXPECT_TRUE(host.Events.empty());
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

// The stop codes with the board unplugged: E-stop and link down, the Stop
// write fails and ends it; the link-error flag keeps whatever it held.
TEST_F(LifecycleTest, NotifyStopWithoutBoard) {
  Start();
  for (int code : {14, 0x12000E}) {
    for (uint8_t linkError : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "code " << code << ", LinkError " << int(linkError));
      host.SetEStop(false);
      ctx->LinkError = linkError;
      ctx->LinkUp = 1;
      Quiet();
      ctx->Notify(code);
      EXPECT_TRUE(host.EStop());
      EXPECT_EQ(ctx->LinkUp, 0);
      EXPECT_EQ(ctx->LinkError, linkError);
      EXPECT_LE(hid.Writes, 1);
      EXPECT_EQ(hid.Reads, 0);
      std::vector<sim::ByteRange> only{host.Field(Struct::Engine, host::engine::EStop, 1)};
      EXPECT_EQ(host.WrittenRanges(), only) << host.DescribeRanges(host.WrittenRanges());
      EXPECT_TRUE(host.Events.empty());
      EXPECT_TRUE(lock.Balanced());
    }
  }
}

TEST_F(LifecycleTest, MenuCommandWithLinkErrorChangesNothing) {
  Start();
  ctx->Notify(ctx->MenuCommandId);
  ExpectHostUntouched();
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

TEST_F(LifecycleTest, OtherCodesAndEarlyNotifyDoNothing) {
  ctx->Notify(14);  // before InitControl: no host structures yet
  ctx->Notify(12);
  ExpectHostUntouched();
  Start();
  for (int code : {0, 1, 13, 15, 0x12000D, -1}) ctx->Notify(code);
  ExpectHostUntouched();
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

TEST_F(LifecycleTest, UpdateWithoutLinkDoesNothing) {
  Start();
  double d[host::kAxes] = {10, 0, 0, 0, 0};
  host.PushRecord(d, 1);
  for (int i = 0; i < 8; ++i) ctx->Update();
  ExpectHostUntouched();
  EXPECT_EQ(host.TrajIndex(), 0);
  EXPECT_EQ(hid.Writes + hid.Reads, 0);
}

TEST_F(LifecycleTest, StartsWithoutAnyDeviceServices) {
  Platform bare;
  bare.Memory = &host;
  PluginContext plain(bare);
  host.InstallCallbacks(plain);
  EXPECT_EQ(host.InitControl(plain), 1);
  plain.PostInitControl();
  plain.Update();
  plain.Notify(14);
  EXPECT_EQ(plain.Device->Started, 1);
  EXPECT_EQ(host.StatusHistory().front(), "No VendrixBoard, Please plug it in!");
  EXPECT_TRUE(host.EStop());
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The plug-in's name is one static text, whatever the host passes.
TEST(PluginName, SameStaticTextForAnyArgument) {
  const char* first = PluginContext::SetProName("");
  EXPECT_STREQ(first, "TQ-Vendrix-V2.1");
  EXPECT_EQ(PluginContext::SetProName("Mach3"), first);
  EXPECT_EQ(PluginContext::SetProName(nullptr), first);
}

}  // namespace
}  // namespace vx
