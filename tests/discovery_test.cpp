#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "link/discovery.h"
#include "link_support.h"

namespace vx {
namespace {

using sim::FakeHid;
using sim::HidCandidate;
using test::LinkRig;

HidCandidate Failing(std::function<void(HidCandidate&)> fault) {
  HidCandidate c = FakeHid::WrongVersion(0x0200, 7);  // a correct identity...
  fault(c);                                          // ...that fails one step
  return c;
}

// Discovery over a list of candidates: which one wins, which keep a slot,
// and that every probe handle and the device set are given back.
TEST(Discovery, PicksTheFirstMatchingBoard) {
  sim::BoardSim board, second;
  struct Case {
    const char* name;
    std::vector<HidCandidate> candidates;
    int result;
    int tableCount;
    std::string winner;  // path of the winning record
  } cases[] = {
      {"nothing", {}, 0, 0, ""},
      {"one board", {FakeHid::Board(&board)}, 1, 1, FakeHid::BoardPath(0)},
      {"other devices take no slot", {FakeHid::Other(1), FakeHid::Other(2), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"wrong version keeps its slot", {FakeHid::WrongVersion(0x0201), FakeHid::Board(&board)}, 2, 2,
       FakeHid::BoardPath(0)},
      {"two boards: the first", {FakeHid::Board(&board, 0), FakeHid::Board(&second, 1)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"detail size query fails",
       {Failing([](HidCandidate& c) { c.FailDetailSize = true; }), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"absurd detail size",
       {Failing([](HidCandidate& c) { c.DetailSize = 0x40000000; }), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"detail size below the header",
       {Failing([](HidCandidate& c) { c.DetailSize = 3; }), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"detail fetch fails", {Failing([](HidCandidate& c) { c.FailDetail = true; }), FakeHid::Board(&board)},
       1, 1, FakeHid::BoardPath(0)},
      {"open fails", {Failing([](HidCandidate& c) { c.FailOpen = true; }), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
      {"preparsed data fails", {Failing([](HidCandidate& c) { c.FailCaps = true; }), FakeHid::Board(&board)},
       1, 1, FakeHid::BoardPath(0)},
      {"attributes fail: a slot, no result",
       {Failing([](HidCandidate& c) { c.FailAttributes = true; }), FakeHid::Board(&board)}, 2, 2,
       FakeHid::BoardPath(0)},
      {"wrong vendor", {Failing([](HidCandidate& c) { c.Vendor = 0x3699; }), FakeHid::Board(&board)}, 2, 2,
       FakeHid::BoardPath(0)},
      {"wrong product", {Failing([](HidCandidate& c) { c.Product = 0x0108; }), FakeHid::Board(&board)}, 2, 2,
       FakeHid::BoardPath(0)},
      {"wrong usage", {Failing([](HidCandidate& c) { c.Usage = 2; }), FakeHid::Board(&board)}, 1, 1,
       FakeHid::BoardPath(0)},
  };
  for (const Case& c : cases) {
    LinkRig r(false);
    for (const HidCandidate& k : c.candidates) r.hid.Add(k);
    r.ctx->Interfaces.Clear();
    EXPECT_EQ(DiscoverBoard(*r.ctx), c.result) << c.name;
    EXPECT_EQ(r.ctx->Interfaces.Count(), c.tableCount) << c.name;
    if (c.result > 0) {
      EXPECT_EQ(r.ctx->Interfaces.At(c.result - 1)->Path(), c.winner) << c.name;
    }
    EXPECT_EQ(r.hid.OpenHandles(), 0) << c.name << ": a probe handle was left open";
    EXPECT_EQ(r.hid.BadCloses(), 0) << c.name;
    EXPECT_EQ(r.hid.SetsCreated(), 1) << c.name;
    EXPECT_EQ(r.hid.SetsDestroyed(), 1) << c.name;
    EXPECT_EQ(r.hid.BadDetailHeaders(), 0) << c.name;
  }
}

TEST(Discovery, ThirtyWrongCandidatesEndTheSearch) {
  sim::BoardSim board;
  LinkRig r(false);
  for (int i = 0; i < 30; ++i) r.hid.Add(FakeHid::WrongVersion(0x0100, i));
  r.hid.Add(FakeHid::Board(&board));  // never reached
  EXPECT_EQ(DiscoverBoard(*r.ctx), 0);
  EXPECT_EQ(r.ctx->Interfaces.Count(), 30);
  EXPECT_EQ(r.hid.Opened(), 30);
  EXPECT_EQ(r.hid.OpenHandles(), 0);

  // Twenty-nine leave room for the board in the thirtieth slot.
  LinkRig s(false);
  for (int i = 0; i < 29; ++i) s.hid.Add(FakeHid::WrongVersion(0x0100, i));
  s.hid.Add(FakeHid::Board(&board));
  EXPECT_EQ(DiscoverBoard(*s.ctx), 30);
}

TEST(Discovery, WithoutADeviceSet) {
  LinkRig r;
  r.hid.FailClassDevs = true;
  EXPECT_EQ(DiscoverBoard(*r.ctx), 0);
  EXPECT_EQ(r.hid.SetsDestroyed(), 0);
  r.ctx->os.Hid = nullptr;
  EXPECT_EQ(DiscoverBoard(*r.ctx), 0);
}

TEST(Discovery, TableOwnsAndReleasesItsRecords) {
  DeviceInterfaceTable table;
  for (int i = 0; i < DeviceInterfaceTable::kCapacity; ++i) {
    DetailRecord r;
    r.Bytes.reset(new uint8_t[8]());
    r.Size = 8;
    ASSERT_TRUE(table.Add(std::move(r)));
  }
  DetailRecord extra;
  EXPECT_FALSE(table.Add(std::move(extra)));
  EXPECT_EQ(table.Count(), 30);
  table.Clear();
  EXPECT_EQ(table.Count(), 0);
  EXPECT_EQ(table.At(0), nullptr);
}

TEST(Discovery, OpenBoardOpensTheRecordPath) {
  LinkRig r;
  ASSERT_TRUE(r.Connect());
  EXPECT_TRUE(r.hid.IsOpen(r.ctx->BoardHandle));
  EXPECT_EQ(r.hid.OpenHandles(), 1);
  EXPECT_EQ(r.hid.OpenedPaths().back(), FakeHid::BoardPath(0));
  EXPECT_GT(r.lock.acquisitions, 0);
}

TEST(MainWindow, HookSubclassesAndRegistersForHid) {
  LinkRig r;
  HookMainWindow(*r.ctx);
  EXPECT_EQ(r.ctx->MainWindow, sim::FakeWindow::kMainWindow);
  EXPECT_EQ(r.ctx->PreviousWndProc, sim::FakeWindow::kOriginalProc);
  EXPECT_EQ(r.window.CurrentProc(sim::FakeWindow::kMainWindow), sim::FakeWindow::kPluginProc);
  ASSERT_EQ(r.window.Registrations().size(), 1u);
  EXPECT_EQ(r.window.Registrations()[0].Window, sim::FakeWindow::kMainWindow);
  EXPECT_EQ(0, std::memcmp(r.window.Registrations()[0].Guid, board_id::kHidClassGuid, 16));

  // A refused registration leaves the subclassing in place.
  LinkRig s;
  s.window.RegisterResult = false;
  HookMainWindow(*s.ctx);
  EXPECT_EQ(s.window.CurrentProc(sim::FakeWindow::kMainWindow), sim::FakeWindow::kPluginProc);
}

TEST(MainWindow, NoWindowNoSubclassing) {
  LinkRig r;
  r.host.Write<uint32_t>(sim::Struct::View, host::view::MainFrame, 0);
  HookMainWindow(*r.ctx);
  EXPECT_EQ(r.ctx->MainWindow, 0u);
  EXPECT_EQ(r.window.SetProcCalls(), 0);
  EXPECT_TRUE(r.window.Registrations().empty());
}

// Every message goes on to the previous procedure with its arguments, and
// its result comes back; only board device-interface events act.
TEST(MainWindow, PassesEveryMessageOn) {
  auto arrival = sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName());
  auto volume = sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName(), true, 0, 2);
  auto tiny = sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName(), true, 8);
  struct Case {
    uint32_t message;
    uintptr_t wParam;
    const std::vector<uint8_t>* broadcast;
    bool acts;
  } cases[] = {
      {0x0219, 0x8000, &arrival, true},   {0x0219, 0x8004, &arrival, true},
      {0x0219, 0x8001, &arrival, false},  // query remove
      {0x0219, 0x0007, nullptr, false},   // DBT_DEVNODES_CHANGED, no record
      {0x0219, 0x8000, &volume, false},   // another device type
      {0x0219, 0x8000, &tiny, false},     // a header too short to hold a type
      {0x0219, 0x8000, nullptr, false},   {0x0010, 0x8000, &arrival, false},
      {0x000F, 0, nullptr, false},
  };
  for (const Case& c : cases) {
    LinkRig r;
    HookMainWindow(*r.ctx);
    r.ctx->BoardPresent = 1;
    intptr_t lParam = c.broadcast ? reinterpret_cast<intptr_t>(c.broadcast->data()) : 0;
    intptr_t result = r.window.Send(sim::FakeWindow::kMainWindow, c.message, c.wParam, lParam);
    EXPECT_EQ(result, r.window.PreviousResult) << std::hex << c.message << " " << c.wParam;
    ASSERT_EQ(r.window.PreviousCalls().size(), 1u);
    const auto& call = r.window.PreviousCalls()[0];
    EXPECT_EQ(call.Proc, sim::FakeWindow::kOriginalProc);
    EXPECT_EQ(call.Window, sim::FakeWindow::kMainWindow);
    EXPECT_EQ(call.Message, c.message);
    EXPECT_EQ(call.WParam, c.wParam);
    EXPECT_EQ(call.LParam, lParam);
    EXPECT_EQ(r.ctx->host.EStop() || r.ctx->BoardPresent == 0, c.acts)
        << std::hex << c.message << " " << c.wParam;
  }
}

class HotPlug : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.Connect());
    rig.ctx->LinkError = 0;
    rig.ctx->LinkUp = 1;
    HookMainWindow(*rig.ctx);
  }
  void Event(uintptr_t event, const std::vector<uint8_t>& broadcast) {
    rig.window.Send(sim::FakeWindow::kMainWindow, wm::kDeviceChange, event,
                    reinterpret_cast<intptr_t>(broadcast.data()));
  }
  LinkRig rig;
  PluginContext& ctx = *rig.ctx;
};

TEST_F(HotPlug, RemovalThenArrivalReopensTheBoard) {
  Handle old = ctx.BoardHandle;
  rig.board.Unplug();
  Event(wm::kDeviceRemoveComplete, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName()));
  EXPECT_EQ(ctx.BoardHandle, kInvalidHandle);
  EXPECT_FALSE(rig.hid.IsOpen(old));
  EXPECT_EQ(ctx.BoardPresent, 0);
  EXPECT_EQ(ctx.LinkError, 0) << "hot-plug leaves the link flags alone";
  EXPECT_EQ(ctx.LinkUp, 1);
  ASSERT_EQ(rig.Posted().size(), 1u);
  EXPECT_EQ(rig.Posted()[0], "No VendrixBoard, Please plug it in!");

  rig.board.Replug();
  Event(wm::kDeviceArrival, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName()));
  EXPECT_NE(ctx.BoardHandle, kInvalidHandle);
  EXPECT_EQ(ctx.BoardPresent, 1);
  EXPECT_TRUE(ctx.host.EStop());
  EXPECT_EQ(ctx.LinkUp, 1);
  EXPECT_EQ(rig.hid.OpenHandles(), 1);
  ASSERT_EQ(rig.Posted().size(), 2u);
  EXPECT_EQ(rig.Posted()[1], "Vendrix Connected.");
  // The new handle reaches the replugged board.
  EXPECT_TRUE(StatusExchange(ctx, StatusReport::UpdateCycle));
}

TEST_F(HotPlug, ArrivalClosesTheOpenHandleFirst) {
  Handle old = ctx.BoardHandle;
  Event(wm::kDeviceArrival, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName(true)));
  EXPECT_FALSE(rig.hid.IsOpen(old));
  EXPECT_TRUE(rig.hid.IsOpen(ctx.BoardHandle));
  EXPECT_NE(ctx.BoardHandle, old);
  EXPECT_EQ(rig.hid.OpenHandles(), 1);
  EXPECT_TRUE(ctx.host.EStop());
  EXPECT_EQ(rig.hid.BadCloses(), 0);
  EXPECT_EQ(rig.Posted(), std::vector<std::string>{"Vendrix Connected."});
}

TEST_F(HotPlug, ArrivalWithoutABoardKeepsBoardPresent) {
  for (uint8_t present : {0, 1}) {
    ctx.BoardPresent = present;
    ctx.host.SetEStop(false);
    rig.hid.Candidate(0).FailOpen = true;  // not ready yet
    Event(wm::kDeviceArrival, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName()));
    EXPECT_EQ(ctx.BoardHandle, kInvalidHandle);
    EXPECT_EQ(ctx.BoardPresent, present);
    EXPECT_TRUE(ctx.host.EStop());
  }
  EXPECT_TRUE(rig.Posted().empty());
}

TEST_F(HotPlug, RemovalWithoutHandle) {
  Event(wm::kDeviceRemoveComplete, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName()));
  int closes = rig.hid.Closed();
  ctx.BoardPresent = 1;
  Event(wm::kDeviceRemoveComplete, sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName()));
  EXPECT_EQ(ctx.BoardHandle, kInvalidHandle);
  EXPECT_EQ(ctx.BoardPresent, 0);
  EXPECT_EQ(rig.hid.Closed(), closes);
  EXPECT_EQ(rig.hid.BadCloses(), 0);
  // Posted again, though nothing was open.
  EXPECT_EQ(rig.Posted(), std::vector<std::string>(2, "No VendrixBoard, Please plug it in!"));
}

// Names the board must not react to, and names read only within the size
// the broadcast declares.
TEST_F(HotPlug, IgnoresOtherNames) {
  const std::string board = sim::BoardBroadcastName();
  std::string lower = board;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  struct Case {
    const char* name;
    std::vector<uint8_t> broadcast;
  } cases[] = {
      {"another device", sim::DeviceInterfaceBroadcast("\\\\?\\HID#VID_046D&PID_C31C#1&2&0&0000#{x}")},
      {"lower case", sim::DeviceInterfaceBroadcast(lower)},
      {"match only inside the prefix", sim::DeviceInterfaceBroadcast("HID#VID_3698&PID_0107")},
      // The matching text lies past the declared size: it must not be seen.
      {"declared size cuts the name",
       sim::DeviceInterfaceBroadcast(board, true, wm::kBroadcastNameOffset + 10)},
      {"declared size ends before the name", sim::DeviceInterfaceBroadcast(board, true, 20)},
      {"empty name", sim::DeviceInterfaceBroadcast("")},
  };
  for (const Case& c : cases) {
    Handle h = ctx.BoardHandle;
    Event(wm::kDeviceRemoveComplete, c.broadcast);
    EXPECT_EQ(ctx.BoardHandle, h) << c.name;
    EXPECT_EQ(ctx.BoardPresent, 1) << c.name;
  }
  EXPECT_TRUE(rig.Posted().empty());
}

TEST_F(HotPlug, UnterminatedNameIsReadWithinItsRecord) {
  // Exactly as long as it declares, no terminator: the device path is still
  // found, and nothing past the record is read (AddressSanitizer would see).
  auto broadcast = sim::DeviceInterfaceBroadcast(sim::BoardBroadcastName(), false);
  auto* heap = new uint8_t[broadcast.size()];
  std::memcpy(heap, broadcast.data(), broadcast.size());
  OnDeviceChange(ctx, heap, wm::kDeviceRemoveComplete);
  delete[] heap;
  EXPECT_EQ(ctx.BoardHandle, kInvalidHandle);
  EXPECT_EQ(ctx.BoardPresent, 0);
}

}  // namespace
}  // namespace vx
