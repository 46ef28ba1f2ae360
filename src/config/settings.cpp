#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "plugin/plugin_context.h"

namespace vx {
namespace {

// The frequency text lies in bytes 5..40 of the record; nothing after byte
// 40 can matter, so no more than this is ever read.
constexpr uint32_t kFrequencyFrom = 5;
constexpr uint32_t kFrequencyWidth = 36;
constexpr uint32_t kBytesThatMatter = kFrequencyFrom + kFrequencyWidth;

}  // namespace

int ParseFrequency(const uint8_t* data, uint32_t size) {
  char text[kFrequencyWidth + 1] = {};
  if (data != nullptr) {
    for (uint32_t i = 0; i < kFrequencyWidth && kFrequencyFrom + i < size; ++i) {
      uint8_t c = data[kFrequencyFrom + i];
      if (c == 0) break;
      text[i] = static_cast<char>(c);
    }
  }
  // Tried in this order, so "125KHZ" reads as 25 and "165KHZ" as 65.
  static const struct {
    const char* Name;
    int KHz;
  } kChoices[] = {{"25KHZ", 25}, {"45KHZ", 45}, {"65KHZ", 65}, {"100KHZ", 100}};
  for (const auto& choice : kChoices) {
    if (std::strstr(text, choice.Name) != nullptr) return choice.KHz;
  }
  return 65;
}

void FormatRecord(int kHz, char out[kSettingsRecordSize + 1]) {
  char field2[kFrequencyWidth + 1] = {};
  std::snprintf(field2, sizeof field2, "%dKHZ", kHz);
  std::snprintf(out, kSettingsRecordSize + 1, "%4s %36s %10s %8s %2s\r\n", "", field2, "", "", "");
}

void ReadSettings(PluginContext& ctx) {
  ctx.host.SetInitFlag(false);
  ctx.host.SetInitCount(450);
  ctx.host.SetInitReal(0.004);
  ctx.host.SetInitWord(1);

  FileApi* files = ctx.os.Files;
  Handle file = files ? files->OpenForRead(ctx.SettingsPath) : kInvalidHandle;
  if (file != kInvalidHandle) {
    uint8_t head[kBytesThatMatter] = {};
    uint32_t got = 0;
    while (got < kBytesThatMatter) {
      uint32_t n = files->Read(file, head + got, kBytesThatMatter - got);
      if (n == 0 || n > kBytesThatMatter - got) break;
      got += n;
    }
    files->Close(file);
    ctx.PulseFrequency = ParseFrequency(head, got);
  }
  ctx.PulseFrequencyHz = ctx.PulseFrequency * 1000;
  for (int m = 0; m < host::kPulseRates; ++m) {
    ctx.host.SetPulseRate(m, static_cast<double>(ctx.PulseFrequencyHz));
  }
}

void SaveSettings(PluginContext& ctx) {
  FileApi* files = ctx.os.Files;
  if (files == nullptr) return;
  Handle file = files->CreateAlways(ctx.SettingsPath);
  if (file == kInvalidHandle) return;
  char record[kSettingsRecordSize + 1];
  FormatRecord(ctx.PulseFrequency, record);
  files->Write(file, reinterpret_cast<const uint8_t*>(record), kSettingsRecordSize);
  files->Close(file);
}

}  // namespace vx
