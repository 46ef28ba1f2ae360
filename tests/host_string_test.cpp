// Posting to the host's reference-counted status-line string.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/host_view.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

using sim::HostSim;
using sim::ManagerCalls;
using sim::StringHeader;

class PostStatusTest : public ::testing::Test {
 protected:
  // Puts a string of the given manager in the host's StatusMessage.
  HostAddr Install(HostAddr manager, const std::string& text, int32_t allocated, int32_t refs) {
    HostAddr chars = host.MakeString(manager, text, allocated, refs);
    host.SetStatusChars(chars);
    host.ClearWriteLog();
    return chars;
  }
  void ExpectTerminated(HostAddr chars) {
    StringHeader h = host.HeaderOf(chars);
    ASSERT_GE(h.Length, 0);
    EXPECT_EQ(host.NativeChars(chars)[h.Length], '\0');
  }

  HostSim host;
  HostView view = host.View();
};

struct PostCase {
  const char* name;
  bool pluginManaged;  // the host string came from the plug-in's manager
  const char* initial;
  int32_t allocated;
  int32_t refs;
  const char* text;
  bool keepsBuffer;
  ManagerCalls host;    // calls on the host string's manager when it is the host's
  ManagerCalls plugin;  // calls on the plug-in's manager
};

// How the text reaches the host string: copied in place, into a fork or a
// grown buffer, or by sharing the plug-in's string.
const PostCase kPostCases[] = {
    {"locked copies in place", false, "old status", 40, -1, "new", true, {}, {}},
    {"locked from plug-in manager copies in place", true, "old status", 40, -1, "new", true, {}, {}},
    {"foreign manager fits: in place", false, "old status", 40, 1, "new text", true, {}, {}},
    {"foreign manager too small: reallocated", false, "ab", 2, 1, "a longer text", false, {0, 1, 0}, {}},
    {"foreign manager shared: forked", false, "old", 40, 2, "new", false, {1, 0, 0}, {}},
    {"foreign manager shared and small: one fork", false, "old", 3, 2, "a longer text", false, {1, 0, 0}, {}},
    {"empty text empties in place", false, "old status", 40, 1, "", true, {}, {}},
    {"empty text on a shared buffer forks", false, "old", 40, 3, "", false, {1, 0, 0}, {}},
    {"matching managers share", true, "old", 40, 1, "new", false, {}, {1, 0, 1}},
    {"matching managers, old buffer shared", true, "old", 40, 2, "new", false, {}, {1, 0, 0}},
    {"matching managers, empty text", true, "old", 40, 1, "", false, {}, {1, 0, 1}},
};

// Makes the case's initial string the host's status line.
HostAddr InstallStatus(HostSim& h, const PostCase& c) {
  HostAddr old = h.MakeString(c.pluginManaged ? h.PluginStringManager() : h.HostStringManager(),
                              c.initial, c.allocated, c.refs);
  h.SetStatusChars(old);
  h.ClearWriteLog();
  return old;
}

TEST_F(PostStatusTest, PathsLeaveAValidHostString) {
  for (const PostCase& c : kPostCases) {
    SCOPED_TRACE(c.name);
    HostSim h;
    HostView v = h.View();
    const HostAddr manager = c.pluginManaged ? h.PluginStringManager() : h.HostStringManager();
    HostAddr old = InstallStatus(h, c);
    int blocksBefore = h.LiveStringBlocks();

    v.PostStatus(c.text);

    HostAddr now = h.StatusChars();
    StringHeader hdr = h.HeaderOf(now);
    EXPECT_EQ(h.StatusText(), c.text);
    EXPECT_EQ(hdr.Length, static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_GE(hdr.Allocated, hdr.Length);
    EXPECT_EQ(h.NativeChars(now)[hdr.Length], '\0');
    EXPECT_EQ(now == old, c.keepsBuffer);
    EXPECT_EQ(hdr.RefCount, c.refs < 0 ? -1 : 1);
    EXPECT_EQ(hdr.Manager, manager);  // copies stay with the host string's manager
    if (!c.keepsBuffer && c.refs > 1) {
      // The other owner keeps its text and loses one reference.
      EXPECT_EQ(h.TextAt(old), c.initial);
      EXPECT_EQ(h.HeaderOf(old).RefCount, c.refs - 1);
    }
    int expectedBlocks = blocksBefore + ((!c.keepsBuffer && c.refs > 1) ? 1 : 0);
    EXPECT_EQ(h.LiveStringBlocks(), expectedBlocks) << "a buffer leaked or was lost";
    ManagerCalls hc = h.CallsOn(h.HostStringManager());
    ManagerCalls pc = h.CallsOn(h.PluginStringManager());
    EXPECT_EQ(hc.Allocate, c.host.Allocate);
    EXPECT_EQ(hc.Reallocate, c.host.Reallocate);
    EXPECT_EQ(hc.Free, c.host.Free);
    EXPECT_EQ(pc.Allocate, c.plugin.Allocate);
    EXPECT_EQ(pc.Reallocate, c.plugin.Reallocate);
    EXPECT_EQ(pc.Free, c.plugin.Free);
    EXPECT_TRUE(h.HeapErrors().empty()) << h.HeapErrors().front();
    EXPECT_EQ(h.StatusHistory(), std::vector<std::string>{c.text});
    auto stray = h.WritesOutside(
        {h.Field(sim::Struct::Planner, host::planner::StatusMessage, 4), h.StringHeap()});
    EXPECT_TRUE(stray.empty()) << h.DescribeRanges(stray);
  }
}

TEST_F(PostStatusTest, SameBufferChangesNothing) {
  HostAddr chars = Install(host.HostStringManager(), "Vendrix Connected.", 30, 1);
  view.PostStatus(host.NativeChars(chars));
  EXPECT_EQ(host.StatusChars(), chars);
  EXPECT_EQ(host.StatusText(), "Vendrix Connected.");
  EXPECT_TRUE(host.WrittenRanges().empty());
  EXPECT_EQ(host.CallsOn(host.HostStringManager()).Allocate, 0);
  EXPECT_EQ(host.CallsOn(host.PluginStringManager()).Allocate, 0);
}

struct InsideCase {
  const char* name;
  bool pluginManaged;
  int32_t refs;
};

// A text taken from the host's own buffer must survive the buffer being
// forked, and must not be read after the old buffer is released.
TEST_F(PostStatusTest, TextFromInsideTheHostBuffer) {
  const InsideCase cases[] = {
      {"private, foreign manager", false, 1},
      {"shared, foreign manager: fork", false, 2},
      {"locked", false, -1},
      {"matching managers: shared", true, 1},
  };
  for (const InsideCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSim h;
    HostView v = h.View();
    HostAddr manager = c.pluginManaged ? h.PluginStringManager() : h.HostStringManager();
    HostAddr old = h.MakeString(manager, "Hello World", 11, c.refs);
    h.SetStatusChars(old);
    v.PostStatus(h.NativeChars(old) + 6);
    EXPECT_EQ(h.StatusText(), "World");
    ExpectTerminated(h.StatusChars());
    if (c.refs > 1) EXPECT_EQ(h.TextAt(old), "Hello World");
    EXPECT_TRUE(h.HeapErrors().empty()) << h.HeapErrors().front();
  }
  // The very end of the text is an empty text.
  HostAddr chars = Install(host.HostStringManager(), "abc", 3, 1);
  view.PostStatus(host.NativeChars(chars) + 3);
  EXPECT_EQ(host.StatusText(), "");
  EXPECT_EQ(host.StatusChars(), chars);
}

// Memory failure in any allocating path leaves the host's string exactly as
// it was, and nothing is reported as posted.
TEST_F(PostStatusTest, AllocationFailureKeepsTheHostString) {
  const PostCase cases[] = {
      {"fork", false, "old", 40, 2, "new", false, {}, {}},
      {"reallocate", false, "ab", 2, 1, "a longer text", false, {}, {}},
      {"share", true, "old", 40, 1, "new", false, {}, {}},
  };
  for (const PostCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSim h;
    HostView v = h.View();
    const HostAddr manager = c.pluginManaged ? h.PluginStringManager() : h.HostStringManager();
    HostAddr old = InstallStatus(h, c);
    int blocks = h.LiveStringBlocks();
    h.FailStringAllocations(true);

    v.PostStatus(c.text);

    EXPECT_EQ(h.StatusChars(), old);
    StringHeader hdr = h.HeaderOf(old);
    EXPECT_EQ(hdr.Manager, manager);
    EXPECT_EQ(hdr.Length, static_cast<int32_t>(std::strlen(c.initial)));
    EXPECT_EQ(hdr.Allocated, c.allocated);
    EXPECT_EQ(hdr.RefCount, c.refs);
    EXPECT_EQ(h.StatusText(), c.initial);
    ExpectTerminated(old);
    EXPECT_EQ(h.LiveStringBlocks(), blocks);
    EXPECT_TRUE(h.StatusHistory().empty());
    EXPECT_TRUE(h.HeapErrors().empty()) << h.HeapErrors().front();
    EXPECT_TRUE(h.WrittenRanges().empty()) << h.DescribeRanges(h.WrittenRanges());
  }
}

TEST_F(PostStatusTest, UnusableStatusMessageIsLeftAlone) {
  const HostAddr bad[] = {0, 5, 0x00001000, HostSim::kBase + HostSim::kArenaSize - 4};
  for (HostAddr chars : bad) {
    SCOPED_TRACE(chars);
    host.SetStatusChars(chars);
    host.ClearWriteLog();
    view.PostStatus("Vendrix Connected.");
    EXPECT_EQ(host.StatusChars(), chars);
    EXPECT_TRUE(host.WrittenRanges().empty()) << host.DescribeRanges(host.WrittenRanges());
  }
  // A header whose allocated length runs past host memory.
  HostAddr chars = Install(host.HostStringManager(), "abc", 3, 1);
  host.Poke<int32_t>(chars - 16 + host::string::Allocated, 0x7FFFFFF0);
  view.PostStatus("x");
  EXPECT_TRUE(host.WrittenRanges().empty());

  HostView detached(&host);  // no structures attached
  detached.PostStatus("x");
  HostView noMemory;
  noMemory.PostStatus("x");
  EXPECT_TRUE(host.WrittenRanges().empty());
}

// A shared string whose header claims far more text than its block holds:
// the claimed text runs into the block the fork takes, and the copy must
// still be a well-defined move (AddressSanitizer reports an overlapping
// copy). Found by the status_string fuzz target.
TEST_F(PostStatusTest, OverlongLengthOnASharedStringIsMovedNotCopied) {
  HostAddr chars = Install(host.HostStringManager(), "old", 3, 2);
  host.Poke<int32_t>(chars - 16 + host::string::Length, 1000);
  host.Poke<int32_t>(chars - 16 + host::string::Allocated, 1320);
  view.PostStatus("new");
  EXPECT_EQ(host.StatusText(), "new");
  EXPECT_NE(host.StatusChars(), chars);
  EXPECT_TRUE(host.HeapErrors().empty()) << host.HeapErrors().front();
}

TEST_F(PostStatusTest, ManyPostsNeitherLeakNorCorrupt) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "matching managers" : "foreign manager");
    HostSim h;
    h.ShareManagers(shared);
    HostView v = h.View();
    v.PostStatus("first");
    int blocks = h.LiveStringBlocks();
    const char* texts[] = {"Cnc communicate error!", "", "Vendrix connected",
                           "a rather longer message than any other one posted here"};
    for (int i = 0; i < 400; ++i) v.PostStatus(texts[i % 4]);
    EXPECT_EQ(h.StatusText(), texts[3]);
    EXPECT_EQ(h.LiveStringBlocks(), blocks);
    EXPECT_EQ(h.HeaderOf(h.StatusChars()).RefCount, 1);
    EXPECT_TRUE(h.HeapErrors().empty()) << h.HeapErrors().front();
    EXPECT_EQ(h.StatusHistory().size(), 401u);
  }
}

TEST_F(PostStatusTest, NullTextEmpties) {
  Install(host.HostStringManager(), "old", 10, 1);
  view.PostStatus(nullptr);
  EXPECT_EQ(host.StatusText(), "");
  ExpectTerminated(host.StatusChars());
}

}  // namespace
}  // namespace vx
