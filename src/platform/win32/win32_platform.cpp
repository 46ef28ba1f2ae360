// Placeholder backend until the Windows adapters land.
#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <cstring>

namespace vx::win32 {
namespace {
class Memory final : public HostMemory {
 public:
  uint8_t* Map(HostAddr addr, uint32_t, bool) override {
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(addr));
  }
  HostAddr StringAllocate(HostAddr, int32_t) override { return 0; }
  HostAddr StringReallocate(HostAddr, HostAddr, int32_t) override { return 0; }
  void StringFree(HostAddr, HostAddr) override {}
  HostAddr OwnStringManager() override { return 0; }
};
Memory g_memory;
}  // namespace

Platform SystemPlatform() {
  Platform p;
  p.Memory = &g_memory;
  p.Menus = SystemMenus();
  p.Dialogs = SystemDialogs();
  return p;
}
namespace {
PluginContext* g_target = nullptr;
}
void SetProcedureTarget(PluginContext* ctx) { g_target = ctx; }
PluginContext* ProcedureTarget() { return g_target; }
}  // namespace vx::win32
