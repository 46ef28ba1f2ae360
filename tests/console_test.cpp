// The diagnostics console and the console branch of the device start.
#include <gtest/gtest.h>

#include "diag/console.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"
#include "sim/fakes.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

using sim::FakeConsole;

TEST(Console, AllocatedConsoleGetsTitleAndBannerAtTopLeft) {
  FakeConsole api;
  {
    MyConsoleClass console(&api);
    EXPECT_EQ(console.allocated, 1);
    EXPECT_EQ(console.window, FakeConsole::kWindow);
    EXPECT_EQ(console.output, FakeConsole::kOutput);
    console.WriteBanner();
    EXPECT_EQ(api.Frees, 0);
  }
  const std::vector<std::string> calls = {
      "Alloc", "SetTitle(QUARNWELL plugin - debug console)", "GetWindow", "GetStdOutput",
      "SetCursor(0,0)", "Write(Vendrix plugin activated)", "Free"};
  EXPECT_EQ(api.Calls, calls);
  EXPECT_EQ(api.WriteHandles, std::vector<Handle>{FakeConsole::kOutput});
  EXPECT_EQ(api.Written.at(0).size(), 24u);
}

TEST(Console, FailedAllocationWritesNothingButStillFrees) {
  FakeConsole api;
  api.FailAlloc = true;
  {
    MyConsoleClass console(&api);
    EXPECT_EQ(console.allocated, 0);
    EXPECT_EQ(console.window, 0u);
    EXPECT_EQ(console.output, 0u);
    console.WriteBanner();
  }
  EXPECT_EQ(api.Calls, (std::vector<std::string>{"Alloc", "Free"}));

  MyConsoleClass none(nullptr);  // no console service at all
  none.WriteBanner();
  EXPECT_EQ(none.allocated, 0);
}

class ConsoleStartTest : public ::testing::Test {
 protected:
  ConsoleStartTest() {
    platform.Memory = &host;
    platform.Console = &console;
    platform.Files = &files;
    ctx = std::make_unique<PluginContext>(platform);
    host.InstallCallbacks(*ctx);
    host.InitControl(*ctx);
  }
  sim::HostSim host;
  FakeConsole console;
  sim::FakeFiles files;
  Platform platform;
  std::unique_ptr<PluginContext> ctx;
};

TEST_F(ConsoleStartTest, FlagTrueOpensOneConsoleAndFalseClosesIt) {
  ctx->StartDevice("123", true);
  ASSERT_NE(ctx->Device->Console, nullptr);
  EXPECT_EQ(console.Allocs, 1);
  EXPECT_EQ(console.Written, std::vector<std::string>{"Vendrix plugin activated"});

  // A second start with the flag set keeps the console and writes nothing.
  MyConsoleClass* first = ctx->Device->Console;
  MyHardwareClass* hardware = ctx->Device->Hardware;
  ctx->StartDevice("123", true);
  EXPECT_EQ(ctx->Device->Console, first);
  EXPECT_EQ(ctx->Device->Hardware, hardware);  // same name: same object
  EXPECT_EQ(console.Allocs, 1);
  EXPECT_EQ(console.Written.size(), 1u);

  ctx->StartDevice("123", false);
  EXPECT_EQ(ctx->Device->Console, nullptr);
  EXPECT_EQ(console.Frees, 1);
}

TEST_F(ConsoleStartTest, ConsoleThatCouldNotBeAllocatedShowsNothing) {
  console.FailAlloc = true;
  ctx->StartDevice("123", true);
  ASSERT_NE(ctx->Device->Console, nullptr);
  EXPECT_EQ(ctx->Device->Console->allocated, 0);
  EXPECT_TRUE(console.Written.empty());
  EXPECT_TRUE(console.Titles.empty());
}

TEST_F(ConsoleStartTest, NormalStartOpensNoConsole) {
  ctx->PostInitControl();
  EXPECT_EQ(ctx->Device->Console, nullptr);
  EXPECT_EQ(console.Allocs, 0);
  EXPECT_TRUE(console.Calls.empty());
}

}  // namespace
}  // namespace vx
