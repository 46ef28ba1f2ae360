// The settings file: one 66-byte line holding the pulse frequency.
#pragma once

#include <cstdint>

namespace vx {

class PluginContext;

constexpr uint32_t kSettingsRecordSize = 66;

// Writes the start-up host values, reads the pulse frequency and hands it
// to the host's PulseRate entries.
void ReadSettings(PluginContext& ctx);
// Writes the current PulseFrequency; silent on failure.
void SaveSettings(PluginContext& ctx);
// The frequency found in a settings record's bytes (65 when none matches).
int ParseFrequency(const uint8_t* data, uint32_t size);
// Formats the record for `kHz` into out (66 bytes, no terminator needed).
void FormatRecord(int kHz, char out[kSettingsRecordSize + 1]);

}  // namespace vx
