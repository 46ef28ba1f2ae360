// Placeholder bodies until the settings file lands.
#include "config/settings.h"
#include "plugin/plugin_context.h"

namespace vx {
void ReadSettings(PluginContext&) {}
void SaveSettings(PluginContext&) {}
int ParseFrequency(const uint8_t*, uint32_t) { return 65; }
void FormatRecord(int, char out[kSettingsRecordSize + 1]) { out[0] = 0; }
}  // namespace vx
