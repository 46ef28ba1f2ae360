// Placeholder bodies until the dialog and menu land.
#include "config/dialog.h"
#include "plugin/plugin_context.h"

namespace vx {
void AddMenuEntry(PluginContext&) {}
intptr_t OpenConfigDialog(PluginContext&) { return -1; }
intptr_t ConfigDialogProc(PluginContext&, Handle, uint32_t, uintptr_t, intptr_t) { return 0; }
}  // namespace vx
