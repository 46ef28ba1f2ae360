// The menu item: found under the host's plug-in menu by its exact title.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "config/dialog.h"
#include "plugin/plugin_context.h"
#include "sim/fake_ui.h"

namespace {

using vx::sim::FakeMenus;

// Just enough host memory for the main window's handle: the view structure
// and, behind it, the frame object whose byte 28 holds the handle.
class ViewMemory : public vx::HostMemory {
 public:
  static constexpr vx::HostAddr kView = 0x100000;
  static constexpr vx::HostAddr kFrame = kView + vx::host::view::Size;

  explicit ViewMemory(vx::Handle window) : bytes_(vx::host::view::Size + 64) {
    uint32_t frame = kFrame;
    uint32_t handle = static_cast<uint32_t>(window);
    std::memcpy(&bytes_[vx::host::view::MainFrame], &frame, 4);
    std::memcpy(&bytes_[vx::host::view::Size + vx::host::view::FrameWindowHandle], &handle, 4);
  }
  uint8_t* Map(vx::HostAddr addr, uint32_t size, bool) override {
    if (addr < kView || addr - kView + size > bytes_.size()) return nullptr;
    return &bytes_[addr - kView];
  }
  vx::HostAddr StringAllocate(vx::HostAddr, int32_t) override { return 0; }
  vx::HostAddr StringReallocate(vx::HostAddr, vx::HostAddr, int32_t) override { return 0; }
  void StringFree(vx::HostAddr, vx::HostAddr) override {}
  vx::HostAddr OwnStringManager() override { return 0; }

 private:
  std::vector<uint8_t> bytes_;
};

const char* const kChinese = "\xB2\xE5\xBC\xFE\xBF\xD8\xD6\xC6";  // 插件控制

struct Entry {
  std::string Title;
  bool SubMenu;
  FakeMenus::Fail Failure;
};

struct MenuCase {
  const char* Name;
  std::vector<Entry> Bar;
  int Target;  // index of the entry whose submenu receives the item, -1: none
};

class MenuScan : public ::testing::TestWithParam<MenuCase> {};

vx::Platform WithMenus(vx::HostMemory* memory, vx::MenuApi* menus) {
  vx::Platform p;
  p.Memory = memory;
  p.Menus = menus;
  return p;
}

TEST_P(MenuScan, AddsTheItemOnlyUnderTheFirstMatchingTitle) {
  const MenuCase& c = GetParam();
  FakeMenus menus;
  std::vector<vx::Handle> subs;
  for (const Entry& e : c.Bar) subs.push_back(menus.Add(e.Title, e.SubMenu, e.Failure));
  ViewMemory memory(menus.Window);
  vx::PluginContext ctx(WithMenus(&memory, &menus));
  ctx.host.Attach(0, 0, 0, ViewMemory::kView);
  ctx.MenuCommandId = 4321;

  vx::AddMenuEntry(ctx);

  if (c.Target < 0) {
    EXPECT_TRUE(menus.Inserts.empty()) << c.Name;
    return;
  }
  ASSERT_EQ(menus.Inserts.size(), 1u) << c.Name;
  const FakeMenus::Insert& in = menus.Inserts[0];
  EXPECT_EQ(in.Menu, subs[c.Target]) << c.Name;
  EXPECT_EQ(in.Position, 0xFFFFFFFFu) << c.Name;
  EXPECT_EQ(in.Flags, 0x400u) << c.Name;
  EXPECT_EQ(in.Id, 4321u) << c.Name;
  EXPECT_EQ(in.Text, "TQ-Vendrix") << c.Name;
}

using F = FakeMenus::Fail;
INSTANTIATE_TEST_SUITE_P(
    Bars, MenuScan,
    ::testing::Values(
        MenuCase{"english title among others",
                 {{"File", true, F::None}, {"Config", true, F::None},
                  {"PlugIn Control", true, F::None}, {"Help", true, F::None}},
                 2},
        MenuCase{"no plug-in menu", {{"File", true, F::None}, {"Help", true, F::None}}, -1},
        MenuCase{"empty menu bar", {}, -1},
        MenuCase{"accelerator ampersand does not match",
                 {{"&PlugIn Control", true, F::None}}, -1},
        MenuCase{"other spellings do not match",
                 {{"Plugin Control", true, F::None}, {"PlugIn Control ", true, F::None},
                  {"PlugIn Contro", true, F::None}, {"PlugIn Controls", true, F::None}},
                 -1},
        MenuCase{"chinese title as second entry",
                 {{"File", true, F::None}, {kChinese, true, F::None}}, 1},
        MenuCase{"item failing the length query is skipped",
                 {{"PlugIn Control", true, F::LengthQuery}, {kChinese, true, F::None}}, 1},
        MenuCase{"item failing the text query is skipped",
                 {{"PlugIn Control", true, F::TextQuery}, {"PlugIn Control", true, F::None}},
                 1},
        MenuCase{"first match wins", {{kChinese, true, F::None}, {"PlugIn Control", true, F::None}},
                 0},
        MenuCase{"match without submenu ends the scan",
                 {{"PlugIn Control", false, F::None}, {kChinese, true, F::None}}, -1}),
    [](const ::testing::TestParamInfo<MenuCase>& info) {
      std::string name;
      for (const char* p = info.param.Name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(MenuScanQueries, LengthThenTextWithRoomForTheTerminatorAndStopsAtTheMatch) {
  FakeMenus menus;
  menus.Add("File");
  menus.Add("PlugIn Control");
  menus.Add("Help");
  ViewMemory memory(menus.Window);
  vx::PluginContext ctx(WithMenus(&memory, &menus));
  ctx.host.Attach(0, 0, 0, ViewMemory::kView);

  vx::AddMenuEntry(ctx);

  ASSERT_EQ(menus.Queries.size(), 4u);  // nothing asked of "Help"
  const struct {
    uint32_t Position;
    bool WithBuffer;
    uint32_t Capacity;
  } expected[] = {{0, false, 0}, {0, true, 5}, {1, false, 0}, {1, true, 15}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(menus.Queries[i].Position, expected[i].Position) << "query " << i;
    EXPECT_EQ(menus.Queries[i].WithBuffer, expected[i].WithBuffer) << "query " << i;
    EXPECT_EQ(menus.Queries[i].Capacity, expected[i].Capacity) << "query " << i;
  }
}

TEST(MenuScanQueries, NoMenusOrNoMenuBarAddsNothing) {
  FakeMenus menus;
  menus.Add("PlugIn Control");
  ViewMemory otherWindow(menus.Window + 1);  // a window without this menu bar
  vx::PluginContext ctx(WithMenus(&otherWindow, &menus));
  ctx.host.Attach(0, 0, 0, ViewMemory::kView);
  vx::AddMenuEntry(ctx);
  EXPECT_TRUE(menus.Inserts.empty());

  ViewMemory memory(menus.Window);
  vx::PluginContext bare(WithMenus(&memory, nullptr));
  bare.host.Attach(0, 0, 0, ViewMemory::kView);
  vx::AddMenuEntry(bare);  // must simply do nothing
}

}  // namespace
