// The host's status line is a reference-counted string of its class
// library: StatusMessage points at the characters, a 16-byte header
// (manager, length, allocated length, reference count) lies just before
// them, and the buffer holds allocated + 1 bytes (the terminator). Every
// step here keeps that string valid: when memory cannot be had, or the
// header does not look like a string, the host keeps what it had.
#include <cstring>
#include <limits>

#include "plugin/host_view.h"

namespace vx {
namespace {

namespace hs = host::string;

struct StringHeader {
  HostAddr Manager = 0;
  int32_t Length = 0;
  int32_t Allocated = 0;
  int32_t RefCount = 0;
};

// Reads the header of the string whose characters are at `chars` and checks
// that its whole buffer is host memory.
bool ReadHeader(HostMemory& mem, HostAddr chars, StringHeader* h) {
  if (chars < hs::HeaderSize) return false;
  const uint8_t* p = mem.Map(chars - hs::HeaderSize, hs::HeaderSize, false);
  if (p == nullptr) return false;
  std::memcpy(&h->Manager, p + hs::Manager, 4);
  std::memcpy(&h->Length, p + hs::Length, 4);
  std::memcpy(&h->Allocated, p + hs::Allocated, 4);
  std::memcpy(&h->RefCount, p + hs::RefCount, 4);
  if (h->Manager == 0 || h->Length < 0 || h->Allocated < h->Length) return false;
  return mem.Map(chars, static_cast<uint32_t>(h->Allocated) + 1, false) != nullptr;
}

void PutField(HostMemory& mem, HostAddr header, uint32_t field, int32_t v) {
  if (uint8_t* p = mem.Map(header + field, 4, true)) std::memcpy(p, &v, 4);
}

// Drops one reference; the last one frees the buffer through its manager.
// Locked buffers are never released (their count is not a count).
void Release(HostMemory& mem, HostAddr header) {
  StringHeader h;
  if (!ReadHeader(mem, header + hs::HeaderSize, &h) || h.RefCount < 0) return;
  int32_t refs = h.RefCount - 1;
  PutField(mem, header, hs::RefCount, refs);
  if (refs <= 0) mem.StringFree(h.Manager, header);
}

// A header fresh from a manager, checked to hold at least `chars`.
bool Usable(HostMemory& mem, HostAddr header, int32_t chars, StringHeader* h) {
  return header != 0 && ReadHeader(mem, header + hs::HeaderSize, h) && h->Allocated >= chars;
}

}  // namespace

void HostView::PostStatus(const char* text) {
  const HostAddr planner = PlannerAddr();
  if (memory_ == nullptr || planner == 0) return;
  LockGuard lock(statusLock_);
  HostMemory& mem = *memory_;
  if (text == nullptr) text = "";
  const HostAddr field = planner + host::planner::StatusMessage;
  const uint8_t* fieldBytes = mem.Map(field, 4, false);
  if (fieldBytes == nullptr) return;
  HostAddr chars;
  std::memcpy(&chars, fieldBytes, 4);

  StringHeader h;
  if (!ReadHeader(mem, chars, &h)) return;  // not a string: leave it alone
  const size_t textLength = std::strlen(text);
  if (textLength > static_cast<size_t>(std::numeric_limits<int32_t>::max() - 64)) return;
  const int32_t len = static_cast<int32_t>(textLength);

  const uint8_t* oldBuffer = mem.Map(chars, static_cast<uint32_t>(h.Allocated) + 1, false);
  const auto textAt = reinterpret_cast<uintptr_t>(text);
  const auto bufferAt = reinterpret_cast<uintptr_t>(oldBuffer);
  if (textAt == bufferAt) {
    mem.StatusPosted();  // already showing exactly this buffer
    return;
  }
  HostAddr header = chars - hs::HeaderSize;
  const HostAddr own = mem.OwnStringManager();

  if (h.RefCount < 0 || h.Manager != own) {
    // Copy into the host's own string. A text taken from that very string
    // is followed by its offset: the buffer may be replaced under it.
    const bool inside = textAt > bufferAt && textAt <= bufferAt + static_cast<uint32_t>(h.Length);
    const uint32_t offset = inside ? static_cast<uint32_t>(textAt - bufferAt) : 0;

    if (h.RefCount > 1) {
      // Shared: take a private buffer, with the old text, from the host
      // string's manager, then let go of the shared one.
      const int32_t want = len > h.Length ? len : h.Length;
      HostAddr fresh = mem.StringAllocate(h.Manager, want);
      StringHeader f;
      if (fresh == 0) return;
      if (!Usable(mem, fresh, want, &f)) {
        mem.StringFree(h.Manager, fresh);
        return;
      }
      uint8_t* dst = mem.Map(fresh + hs::HeaderSize, static_cast<uint32_t>(want) + 1, true);
      const uint8_t* src = mem.Map(chars, static_cast<uint32_t>(h.Length) + 1, false);
      // A header that claims more text than its block holds can make the
      // old range run into the fresh block: move, never copy.
      std::memmove(dst, src, static_cast<size_t>(h.Length) + 1);
      PutField(mem, fresh, hs::Length, h.Length);
      Release(mem, header);
      header = fresh;
      chars = fresh + hs::HeaderSize;
      Put<uint32_t>(field, chars);
    } else if (h.Allocated < len) {
      HostAddr grown = mem.StringReallocate(h.Manager, header, len);
      if (grown == 0) return;  // the old buffer is still the host's
      header = grown;
      chars = grown + hs::HeaderSize;
      Put<uint32_t>(field, chars);
      StringHeader g;
      if (!Usable(mem, grown, len, &g)) return;
    }
    uint8_t* buf = mem.Map(chars, static_cast<uint32_t>(len) + 1, true);
    if (buf == nullptr) return;
    if (inside) {
      std::memmove(buf, buf + offset, static_cast<size_t>(len));
    } else {
      std::memcpy(buf, text, static_cast<size_t>(len));
    }
    buf[len] = 0;
    PutField(mem, header, hs::Length, len);
    mem.StatusPosted();
    return;
  }

  // Same manager, unlocked: build the plug-in's string and share it.
  HostAddr mine = mem.StringAllocate(own, len);
  StringHeader m;
  if (mine == 0) return;
  if (!Usable(mem, mine, len, &m)) {
    mem.StringFree(own, mine);
    return;
  }
  uint8_t* buf = mem.Map(mine + hs::HeaderSize, static_cast<uint32_t>(len) + 1, true);
  std::memcpy(buf, text, static_cast<size_t>(len));  // before the old buffer may go
  buf[len] = 0;
  PutField(mem, mine, hs::Length, len);
  PutField(mem, mine, hs::RefCount, m.RefCount + 1);  // the host's reference
  Release(mem, header);
  Put<uint32_t>(field, mine + hs::HeaderSize);
  Release(mem, mine);  // the plug-in's own reference
  mem.StatusPosted();
}

}  // namespace vx
