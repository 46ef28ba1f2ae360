// Posting to the host's status string in every state the host can leave it:
// locked, shared with other holders, of either string manager, of zero
// capacity or too small, with allocations failing, and with texts that lie
// inside the host's own buffer. The host's string must stay a valid string
// showing the new text (or, when memory ran out, the old one), the other
// holders of a shared buffer must keep theirs, and nothing may be freed
// twice, through the wrong manager, or leaked.
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "plugin/host_view.h"
#include "sim/host_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx;
  fuzz::Input in(data, size);
  sim::HostSim host;
  HostView view = host.View();

  const uint8_t flags = in.Byte();
  const HostAddr manager = (flags & 1) ? host.PluginStringManager() : host.HostStringManager();
  host.ShareManagers((flags & 2) != 0);
  const bool corrupt = (flags & 4) != 0;  // a header no valid string has
  const std::string old = in.Text(200);
  const int32_t allocated = static_cast<int32_t>(old.size()) + in.Byte() % 64;
  static const int32_t kRefs[] = {-1, 1, 2, 3, 1, -7};
  const int32_t refs = kRefs[in.Byte() % 6];
  const uint8_t budget = in.Byte();
  const bool failing = budget < 64;
  const uint8_t how = in.Byte() % 4;
  const uint8_t offset = in.Byte();
  const std::string fresh = in.Text(255);

  const HostAddr chars = host.MakeString(manager, old, allocated, refs);
  host.SetStatusChars(chars);
  if (corrupt) {
    const HostAddr header = chars - host::string::HeaderSize;
    host.Poke<int32_t>(header + host::string::Length, in.I32());
    host.Poke<int32_t>(header + host::string::Allocated, in.I32());
    host.Poke<uint32_t>(header + host::string::Manager, (flags & 8) ? in.U32() : manager);
  }
  if (failing) host.FailStringAllocationsAfter(budget % 3);
  const int blocksBefore = host.LiveStringBlocks();

  // The text: a new one, a tail of the host's own buffer, that very buffer,
  // or nothing.
  std::string expected;
  const char* text = nullptr;
  switch (how) {
    case 0:
      text = fresh.c_str();
      break;
    case 1:
      text = host.NativeChars(chars) + (old.empty() ? 0 : offset % (old.size() + 1));
      break;
    case 2:
      text = host.NativeChars(chars);
      break;
    default:
      text = "";
      break;
  }
  // Posting the very buffer the host shows changes nothing, even a text
  // with zero bytes inside its length.
  if (!corrupt) expected = text == host.NativeChars(chars) ? old : std::string(text);

  view.PostStatus(text);

  // A manager that is no manager cannot be told from one: what the plug-in
  // asks of it is the host's problem, not a misuse.
  const bool foreignManager = corrupt && (flags & 8) != 0;
  if (!foreignManager && !host.HeapErrors().empty()) fuzz::Fail("heap misuse:", host.HeapErrors().front());
  if (corrupt) return 0;  // it must only survive such a string

  const HostAddr now = host.StatusChars();
  const sim::StringHeader h = host.HeaderOf(now);
  if (h.Manager != host.HostStringManager() && h.Manager != host.PluginStringManager())
    fuzz::Fail("status string of an unknown manager");
  if (h.Length < 0 || h.Allocated < h.Length || h.RefCount == 0) fuzz::Fail("status string header");
  if (host.NativeChars(now)[h.Length] != '\0') fuzz::Fail("status string not terminated");
  const std::string shown = host.StatusText();
  if (shown != expected && !(failing && shown == old))
    fuzz::Fail("status text", "\"" + shown + "\" instead of \"" + expected + "\"");

  // Other holders of a shared buffer keep their text and their references.
  if (refs >= 2) {
    const sim::StringHeader o = host.HeaderOf(chars);
    if (host.TextAt(chars) != old) fuzz::Fail("a shared buffer was written");
    if (o.RefCount != (now == chars ? refs : refs - 1)) fuzz::Fail("shared buffer's count");
  }
  const int expectedBlocks = blocksBefore - 1 + 1 + ((refs >= 2 && now != chars) ? 1 : 0);
  if (host.LiveStringBlocks() != expectedBlocks)
    fuzz::Fail("string blocks", std::to_string(host.LiveStringBlocks()) + " live, " +
                                    std::to_string(expectedBlocks) + " expected");
  return 0;
}
