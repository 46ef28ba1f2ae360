// Placeholder bodies until settings, dialog and menu land.
#include "config/dialog.h"
#include "config/settings.h"
#include "diag/console.h"
#include "plugin/plugin_context.h"

namespace vx {
void ReadSettings(PluginContext&) {}
void SaveSettings(PluginContext&) {}
int ParseFrequency(const uint8_t*, uint32_t) { return 65; }
void FormatRecord(int, char out[kSettingsRecordSize + 1]) { out[0] = 0; }
void AddMenuEntry(PluginContext&) {}
intptr_t OpenConfigDialog(PluginContext&) { return -1; }
intptr_t ConfigDialogProc(PluginContext&, Handle, uint32_t, uintptr_t, intptr_t) { return 0; }
MyConsoleClass::MyConsoleClass(ConsoleApi* api) : api_(api) {}
MyConsoleClass::~MyConsoleClass() {}
void MyConsoleClass::WriteBanner() {}
}  // namespace vx
