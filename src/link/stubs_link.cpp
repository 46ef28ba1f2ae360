// Placeholder bodies until the board link lands.
#include "link/board_link.h"
#include "link/board_protocol.h"
#include "link/discovery.h"
#include "plugin/plugin_context.h"

namespace vx {
void DeviceInterfaceTable::Clear() {
  for (auto& s : slots_) s = DetailRecord{};
  count_ = 0;
}
bool DeviceInterfaceTable::Add(DetailRecord&& r) {
  if (count_ >= kCapacity) return false;
  slots_[count_++] = std::move(r);
  return true;
}
int DiscoverBoard(PluginContext&) { return 0; }
void OpenBoard(PluginContext&, const DetailRecord&) {}
void HookMainWindow(PluginContext&) {}
intptr_t MainWindowProc(PluginContext&, Handle, uint32_t, uintptr_t, intptr_t) { return 0; }
void OnDeviceChange(PluginContext&, const uint8_t*, uintptr_t) {}
bool WriteReport(PluginContext& ctx) { ctx.LinkDown(); return false; }
bool TryWriteReport(PluginContext&) { return false; }
bool ReadAnswer(PluginContext& ctx) { ctx.LinkDown(); return false; }
bool StatusExchange(PluginContext& ctx, StatusReport) { ctx.LinkDown(); return false; }
void LoadPositions(PluginContext&, const int32_t*) {}
void SendMove(PluginContext&, int32_t, int32_t, int32_t, int32_t, double, double) {}
void SendJogStop(PluginContext&) {}
void SendStop(PluginContext&) {}
void SendAxisSetup(PluginContext&) {}
int IdentifyExchange(PluginContext&) { return 1; }
}  // namespace vx
