// Host memory and the host's reference-counted strings. The plug-in runs
// inside the 32-bit host process, so a host address is simply a pointer.
#include <windows.h>

#include <cstdint>

#include "platform/win32/win32_platform.h"

namespace vx::win32 {
namespace {

// The header that MFC/ATL keep in front of a string's characters
// (CStringData). nAllocLength counts characters without the terminator.
struct StringData {
  void* manager;
  int nDataLength;
  int nAllocLength;
  long nRefs;
};
static_assert(sizeof(StringData) == 16, "the host's string header is 16 bytes");

// A string manager as the host's class library calls it: an object whose
// first word points at a table of __thiscall methods (IAtlStringMgr; no
// virtual destructor, so Allocate is slot 0).
#define VX_THISCALL __attribute__((thiscall))
struct ManagerVtable {
  StringData*(VX_THISCALL* Allocate)(void* self, int nAllocLength, int nCharSize);
  void(VX_THISCALL* Free)(void* self, StringData* data);
  StringData*(VX_THISCALL* Reallocate)(void* self, StringData* data, int nAllocLength,
                                       int nCharSize);
  StringData*(VX_THISCALL* GetNilString)(void* self);
  void*(VX_THISCALL* Clone)(void* self);
};
static_assert(sizeof(ManagerVtable) == 5 * sizeof(void*), "five 32-bit slots");
struct ManagerObject {
  const ManagerVtable* vtable;
};

// ---- The plug-in's own manager, on the process heap.

struct OwnManager {
  const ManagerVtable* vtable;
  // The empty string handed out by GetNilString; its count of 2 keeps a
  // release from ever reaching zero.
  StringData nil;
  char nilText[4];
};

// Header plus characters plus terminator, or 0 when the request is
// nonsense or would not fit the address space.
SIZE_T StringBytes(int nAllocLength, int nCharSize) {
  if (nAllocLength < 0 || (nCharSize != 1 && nCharSize != 2)) return 0;
  uint64_t bytes = sizeof(StringData) +
                   (static_cast<uint64_t>(nAllocLength) + 1) * static_cast<uint64_t>(nCharSize);
  if (bytes > 0x7FFFFFFFu) return 0;
  return static_cast<SIZE_T>(bytes);
}

StringData* VX_THISCALL OwnAllocate(void* self, int nAllocLength, int nCharSize) {
  SIZE_T bytes = StringBytes(nAllocLength, nCharSize);
  if (bytes == 0) return nullptr;
  auto* data = static_cast<StringData*>(HeapAlloc(GetProcessHeap(), 0, bytes));
  if (data == nullptr) return nullptr;
  data->manager = self;
  data->nDataLength = 0;
  data->nAllocLength = nAllocLength;
  data->nRefs = 1;
  return data;
}

void VX_THISCALL OwnFree(void*, StringData* data) {
  if (data != nullptr) HeapFree(GetProcessHeap(), 0, data);
}

// On failure the old block stays valid and null is returned.
StringData* VX_THISCALL OwnReallocate(void*, StringData* data, int nAllocLength,
                                      int nCharSize) {
  SIZE_T bytes = StringBytes(nAllocLength, nCharSize);
  if (bytes == 0 || data == nullptr) return nullptr;
  auto* grown = static_cast<StringData*>(HeapReAlloc(GetProcessHeap(), 0, data, bytes));
  if (grown == nullptr) return nullptr;
  grown->nAllocLength = nAllocLength;
  return grown;
}

StringData* VX_THISCALL OwnGetNilString(void* self) {
  auto* m = static_cast<OwnManager*>(self);
  ++m->nil.nRefs;
  return &m->nil;
}

void* VX_THISCALL OwnClone(void* self) { return self; }

const ManagerVtable kOwnVtable = {OwnAllocate, OwnFree, OwnReallocate, OwnGetNilString,
                                  OwnClone};
OwnManager g_ownManager = {&kOwnVtable, {&g_ownManager, 0, 0, 2}, {0, 0, 0, 0}};

ManagerObject* ManagerAt(HostAddr manager) {
  return reinterpret_cast<ManagerObject*>(static_cast<uintptr_t>(manager));
}
HostAddr AddrOf(const void* p) {
  return static_cast<HostAddr>(reinterpret_cast<uintptr_t>(p));
}

class Memory final : public HostMemory {
 public:
  // The host's structures are this process's memory: a host address is the
  // pointer itself.
  Memory() { SetDirectAccess(true); }
  uint8_t* Map(HostAddr addr, uint32_t, bool) override {
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(addr));
  }
  // Any manager, the host's or our own, is called through its own table.
  HostAddr StringAllocate(HostAddr manager, int32_t chars) override {
    ManagerObject* m = ManagerAt(manager);
    if (m == nullptr) return 0;
    return AddrOf(m->vtable->Allocate(m, chars, 1));
  }
  HostAddr StringReallocate(HostAddr manager, HostAddr header, int32_t chars) override {
    ManagerObject* m = ManagerAt(manager);
    if (m == nullptr || header == 0) return 0;
    return AddrOf(m->vtable->Reallocate(
        m, reinterpret_cast<StringData*>(static_cast<uintptr_t>(header)), chars, 1));
  }
  void StringFree(HostAddr manager, HostAddr header) override {
    ManagerObject* m = ManagerAt(manager);
    if (m == nullptr || header == 0) return;
    m->vtable->Free(m, reinterpret_cast<StringData*>(static_cast<uintptr_t>(header)));
  }
  HostAddr OwnStringManager() override { return AddrOf(&g_ownManager); }
};

Memory g_memory;

}  // namespace

HostMemory* SystemMemory() { return &g_memory; }

}  // namespace vx::win32
