// The settings file: the pulse frequency record and the start-up values.
#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "plugin/plugin_context.h"
#include "sim/fakes.h"
#include "sim/host_sim.h"

namespace vx {
namespace {

using sim::FakeFiles;
using sim::HostSim;
using sim::Struct;

constexpr const char* kPath = "\\MACH3\\plugin.dat";

std::string Record(int kHz) {
  char r[kSettingsRecordSize + 1];
  FormatRecord(kHz, r);
  return std::string(r, kSettingsRecordSize);
}

// Bytes 0..4 then a 36-byte frequency field holding `field`, right-aligned.
std::string WithField(const std::string& field) {
  return std::string(5, ' ') + std::string(36 - field.size(), ' ') + field;
}

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    platform.Memory = &host;
    platform.Files = &files;
    ctx = std::make_unique<PluginContext>(platform);
    ctx->host = host.View();
  }
  void ExpectFrequency(int kHz) {
    EXPECT_EQ(ctx->PulseFrequency, kHz);
    EXPECT_EQ(ctx->PulseFrequencyHz, kHz * 1000);
    for (int m = 0; m < host::kPulseRates; ++m) {
      EXPECT_EQ(host.PulseRate(m), kHz * 1000.0) << "PulseRate " << m;
    }
  }

  HostSim host;
  FakeFiles files;
  Platform platform;
  std::unique_ptr<PluginContext> ctx;
};

TEST_F(SettingsTest, RecordForFortyFiveKilohertzIsExactly66Bytes) {
  const std::string expected = std::string(4, ' ') + " " + std::string(31, ' ') + "45KHZ" + " " +
                               std::string(10, ' ') + " " + std::string(8, ' ') + " " +
                               std::string(2, ' ') + "\r\n";
  ASSERT_EQ(expected.size(), 66u);
  EXPECT_EQ(Record(45), expected);
  EXPECT_EQ(Record(100).substr(5, 36), std::string(30, ' ') + "100KHZ");

  ctx->PulseFrequency = 45;
  SaveSettings(*ctx);
  EXPECT_EQ(files.Contents(kPath), expected);
  EXPECT_EQ(files.OpenHandles(), 0);
}

struct FileCase {
  const char* name;
  std::string contents;
  int kHz;
};

TEST_F(SettingsTest, FrequencyComesFromBytesFiveToForty) {
  const FileCase cases[] = {
      {"25 record", Record(25), 25},
      {"45 record", Record(45), 45},
      {"65 record", Record(65), 65},
      {"100 record", Record(100), 100},
      {"165KHZ contains 65KHZ", WithField("165KHZ"), 65},
      {"125KHZ contains 25KHZ", WithField("125KHZ"), 25},
      {"lower case", WithField("100khz"), 65},
      {"empty file", "", 65},
      {"shorter than six bytes", "     ", 65},
      {"frequency at byte 0", "45KHZ" + std::string(61, ' '), 65},
      {"longer file: only the record counts", Record(100) + Record(25) + "45KHZ", 100},
      {"text after byte 40 does not count", WithField("") + " 25KHZ", 65},
      {"cut by byte 40", std::string(37, ' ') + "25KHZ", 65},
      {"zero byte ends the text", std::string(5, ' ') + '\0' + "25KHZ", 65},
      {"field without padding", "     45KHZ", 45},
      {"binary junk", std::string("\xFF\x01\x80\x7F\xFE\x90\xAA", 7) + std::string(60, '\xC3'), 65},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSim h;
    FakeFiles f;
    Platform p;
    p.Memory = &h;
    p.Files = &f;
    PluginContext context(p);
    context.host = h.View();
    f.SetFile(kPath, c.contents);
    ReadSettings(context);
    EXPECT_EQ(context.PulseFrequency, c.kHz);
    EXPECT_EQ(context.PulseFrequencyHz, c.kHz * 1000);
    EXPECT_EQ(h.PulseRate(0), c.kHz * 1000.0);
    EXPECT_EQ(h.PulseRate(6), c.kHz * 1000.0);
    EXPECT_EQ(ParseFrequency(reinterpret_cast<const uint8_t*>(c.contents.data()),
                             static_cast<uint32_t>(c.contents.size())),
              c.kHz);
    EXPECT_EQ(f.OpenHandles(), 0);
  }
}

// Start-up values go to the host whether or not the file is there; a file
// that cannot be opened keeps the frequency already selected.
TEST_F(SettingsTest, NoFileKeepsTheFrequencyAndStillFeedsTheHost) {
  host.Write<uint8_t>(Struct::View, host::view::InitFlag, 1);
  ctx->PulseFrequency = 45;
  host.ClearWriteLog();
  ReadSettings(*ctx);
  ExpectFrequency(45);
  EXPECT_FALSE(host.InitFlag());
  EXPECT_EQ(host.InitCount(), 450);
  EXPECT_EQ(host.InitReal(), 0.004);
  EXPECT_EQ(host.InitWord(), 1);
  EXPECT_EQ(files.OpenedPaths, std::vector<std::string>{kPath});

  // Nothing but the start-up values and the seven pulse rates is written.
  auto stray = host.WritesOutside({
      host.Field(Struct::View, host::view::InitFlag, 1),
      host.Field(Struct::Planner, host::planner::InitCount, 4),
      host.Field(Struct::Planner, host::planner::InitReal, 8),
      host.Field(Struct::Planner, host::planner::InitWord, 2),
      host.Field(Struct::Planner, host::planner::PulseRate, 8 * 7),
  });
  EXPECT_TRUE(stray.empty()) << host.DescribeRanges(stray);

  files.SetFile(kPath, Record(25));
  files.FailOpen = true;
  ReadSettings(*ctx);
  ExpectFrequency(45);
}

TEST_F(SettingsTest, UnreadableFileReadsAsSixtyFive) {
  files.SetFile(kPath, Record(25));
  files.FailRead = true;
  ReadSettings(*ctx);
  ExpectFrequency(65);
  EXPECT_EQ(files.OpenHandles(), 0);
}

// Only the first 41 bytes can matter; a huge file costs nothing more.
TEST_F(SettingsTest, HugeFileIsReadOnlyAsFarAsTheFrequency) {
  files.SetLargeFile(kPath, Record(100), 0xFFFFFFF0u);
  ReadSettings(*ctx);
  ExpectFrequency(100);
  EXPECT_LE(files.BytesRead, 41u);
  EXPECT_LE(files.LargestReadRequest, 41u);
  EXPECT_EQ(files.OpenHandles(), 0);
}

TEST_F(SettingsTest, SavedFrequencyComesBackAtTheNextLoad) {
  files.SetFile(kPath, Record(100) + "trailing text that must go");
  ctx->PulseFrequency = 25;
  SaveSettings(*ctx);
  EXPECT_EQ(files.Contents(kPath), Record(25));  // the old file is truncated

  HostSim nextHost;
  Platform p = platform;
  p.Memory = &nextHost;
  PluginContext next(p);
  next.host = nextHost.View();
  ReadSettings(next);
  EXPECT_EQ(next.PulseFrequency, 25);
  EXPECT_EQ(next.PulseFrequencyHz, 25000);
  for (int m = 0; m < host::kPulseRates; ++m) EXPECT_EQ(nextHost.PulseRate(m), 25000.0);
}

TEST_F(SettingsTest, SaveFailuresAreSilent) {
  ctx->PulseFrequency = 45;
  files.FailOpen = true;
  SaveSettings(*ctx);
  EXPECT_FALSE(files.Exists(kPath));
  files.FailOpen = false;
  files.FailWrite = true;
  SaveSettings(*ctx);
  EXPECT_EQ(files.OpenHandles(), 0);
  EXPECT_EQ(ctx->PulseFrequency, 45);

  Platform none;
  none.Memory = &host;
  PluginContext noFiles(none);
  noFiles.host = host.View();
  SaveSettings(noFiles);
  ReadSettings(noFiles);
  EXPECT_EQ(noFiles.PulseFrequencyHz, 65000);
}

}  // namespace
}  // namespace vx
