// Settings-file contents, and the ways reading them can go: any bytes, any
// length, reads that deliver a few bytes at a time or fail. The frequency
// read must be the one the record's bytes 5..40 name (65 when none), the
// host must get it in all seven PulseRate entries, the file must be closed,
// and a saved record must read back as what was saved.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config/settings.h"
#include "fuzz_input.h"
#include "plugin/plugin_context.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

// A file whose reads deliver the chunk sizes the input asks for.
class ChunkyFiles : public FileApi {
 public:
  std::string Bytes;
  bool Exists = true;
  bool FailRead = false;
  std::vector<uint32_t> Chunks;  // bytes per read, cycled; 0 ends the file early
  int Open = 0;
  std::string Saved;

  Handle OpenForRead(const char*) override {
    if (!Exists) return kInvalidHandle;
    ++Open;
    pos_ = 0;
    reads_ = 0;
    return 0x44;
  }
  Handle CreateAlways(const char*) override {
    ++Open;
    Saved.clear();
    return 0x45;
  }
  uint32_t GetSize(Handle) override { return static_cast<uint32_t>(Bytes.size()); }
  uint32_t Read(Handle, uint8_t* buffer, uint32_t size) override {
    if (FailRead) return 0;
    uint32_t n = size;
    if (!Chunks.empty()) n = std::min(n, Chunks[reads_++ % Chunks.size()]);
    n = std::min<uint32_t>(n, static_cast<uint32_t>(Bytes.size() - pos_));
    std::memcpy(buffer, Bytes.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool Write(Handle, const uint8_t* data, uint32_t size) override {
    Saved.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  void Close(Handle) override { --Open; }

 private:
  size_t pos_ = 0;
  size_t reads_ = 0;
};

// The rule, written out plainly: the text from byte 5, at most 36 bytes,
// ending at a zero byte or the end of what was read; the first of the four
// names found in it wins.
int Expected(const std::string& read) {
  std::string text;
  for (size_t i = 5; i < read.size() && i < 41 && read[i] != '\0'; ++i) text += read[i];
  for (auto [name, khz] : std::vector<std::pair<const char*, int>>{
           {"25KHZ", 25}, {"45KHZ", 45}, {"65KHZ", 65}, {"100KHZ", 100}}) {
    if (text.find(name) != std::string::npos) return khz;
  }
  return 65;
}

}  // namespace
}  // namespace vx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx;
  fuzz::Input in(data, size);
  const uint8_t mode = in.Byte();
  ChunkyFiles files;
  files.Exists = (mode & 1) == 0;
  files.FailRead = (mode & 2) != 0;
  if (mode & 4) {
    for (int i = 0, n = 1 + in.Byte() % 4; i < n; ++i) files.Chunks.push_back(in.Byte() % 50);
  }
  const int before = (mode & 8) ? 25 : 65;
  files.Bytes.resize(in.Left());
  in.Take(reinterpret_cast<uint8_t*>(files.Bytes.data()), files.Bytes.size());

  // The parser alone, on the whole buffer.
  if (ParseFrequency(data, static_cast<uint32_t>(size)) !=
      Expected(std::string(reinterpret_cast<const char*>(data), size)))
    fuzz::Fail("ParseFrequency");

  static sim::HostSim host;  // one arena for every run: ReadSettings rewrites its fields
  Platform p;
  p.Memory = &host;
  p.Files = &files;
  PluginContext ctx(p);
  ctx.host.Attach(host.EngineAddr(), host.SettingsAddr(), host.PlannerAddr(), host.ViewAddr());
  ctx.PulseFrequency = before;
  ReadSettings(ctx);

  // What the reads delivered: everything up to the first empty read.
  std::string delivered;
  if (files.Exists && !files.FailRead) {
    size_t at = 0;
    for (size_t r = 0; at < files.Bytes.size() && delivered.size() < 41; ++r) {
      uint32_t n = files.Chunks.empty() ? 41 : files.Chunks[r % files.Chunks.size()];
      n = std::min<uint32_t>(n, static_cast<uint32_t>(41 - delivered.size()));
      n = std::min<uint32_t>(n, static_cast<uint32_t>(files.Bytes.size() - at));
      if (n == 0) break;
      delivered.append(files.Bytes, at, n);
      at += n;
    }
  }
  const int want = files.Exists ? Expected(delivered) : before;
  if (ctx.PulseFrequency != want)
    fuzz::Fail("PulseFrequency", std::to_string(ctx.PulseFrequency) + " != " + std::to_string(want));
  if (ctx.PulseFrequencyHz != want * 1000) fuzz::Fail("PulseFrequencyHz");
  for (int m = 0; m < host::kPulseRates; ++m) {
    if (host.PulseRate(m) != want * 1000.0) fuzz::Fail("PulseRate");
  }
  if (files.Open != 0) fuzz::Fail("settings file left open");

  // Whatever was read, saving it gives a record that reads back the same.
  SaveSettings(ctx);
  if (files.Saved.size() != kSettingsRecordSize) fuzz::Fail("saved record size");
  if (Expected(files.Saved) != ctx.PulseFrequency) fuzz::Fail("saved record reads back differently");
  return 0;
}
