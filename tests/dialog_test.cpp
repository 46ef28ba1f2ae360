// The configuration dialog: its in-memory template, its labels, and its
// procedure, driven through a fake dialog manager.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/dialog.h"
#include "motion/device.h"
#include "plugin/plugin_context.h"
#include "sim/fake_ui.h"

namespace {

using vx::sim::FakeDialogs;

// ---- A reader of DLGTEMPLATE / DLGITEMTEMPLATE blocks

struct DecodedItem {
  size_t Offset = 0;
  uint32_t Style = 0, ExStyle = 0;
  int16_t X = 0, Y = 0, Width = 0, Height = 0;
  uint16_t Id = 0;
  uint16_t ClassMarker = 0, ClassOrdinal = 0;
  std::u16string Text;
  uint16_t CreationData = 0xFFFF;
};

struct DecodedTemplate {
  uint32_t Style = 0, ExStyle = 0;
  uint16_t Count = 0;
  int16_t X = 0, Y = 0, Width = 0, Height = 0;
  uint16_t Menu = 0xFFFF, Class = 0xFFFF;
  std::u16string Title;
  std::vector<DecodedItem> Items;
  size_t End = 0;
  bool Truncated = false;
};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& b) : b_(b) {}
  uint16_t Word() {
    if (pos_ + 2 > b_.size()) {
      truncated_ = true;
      return 0;
    }
    uint16_t v = static_cast<uint16_t>(b_[pos_] | (b_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t lo = Word();
    return lo | (static_cast<uint32_t>(Word()) << 16);
  }
  std::u16string Text() {
    std::u16string s;
    for (uint16_t c = Word(); c != 0 && !truncated_; c = Word()) s.push_back(static_cast<char16_t>(c));
    return s;
  }
  void Align4() { pos_ = (pos_ + 3) & ~size_t{3}; }
  size_t Pos() const { return pos_; }
  bool Truncated() const { return truncated_; }

 private:
  const std::vector<uint8_t>& b_;
  size_t pos_ = 0;
  bool truncated_ = false;
};

DecodedTemplate Decode(const std::vector<uint8_t>& block) {
  DecodedTemplate t;
  Reader r(block);
  t.Style = r.Dword();
  t.ExStyle = r.Dword();
  t.Count = r.Word();
  t.X = static_cast<int16_t>(r.Word());
  t.Y = static_cast<int16_t>(r.Word());
  t.Width = static_cast<int16_t>(r.Word());
  t.Height = static_cast<int16_t>(r.Word());
  t.Menu = r.Word();
  t.Class = r.Word();
  t.Title = r.Text();
  for (int i = 0; i < t.Count && i < 64 && !r.Truncated(); ++i) {
    r.Align4();
    DecodedItem it;
    it.Offset = r.Pos();
    it.Style = r.Dword();
    it.ExStyle = r.Dword();
    it.X = static_cast<int16_t>(r.Word());
    it.Y = static_cast<int16_t>(r.Word());
    it.Width = static_cast<int16_t>(r.Word());
    it.Height = static_cast<int16_t>(r.Word());
    it.Id = r.Word();
    it.ClassMarker = r.Word();
    it.ClassOrdinal = r.Word();
    it.Text = r.Text();
    it.CreationData = r.Word();
    t.Items.push_back(it);
  }
  t.End = r.Pos();
  t.Truncated = r.Truncated();
  return t;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// ---- A settings-file store for the Save button

class RecordingFiles : public vx::FileApi {
 public:
  std::map<std::string, std::string> Files;
  bool FailCreate = false;
  int Creates = 0;

  vx::Handle OpenForRead(const char* path) override {
    auto it = Files.find(path);
    if (it == Files.end()) return vx::kInvalidHandle;
    open_ = path;
    read_ = 0;
    return 7;
  }
  vx::Handle CreateAlways(const char* path) override {
    ++Creates;
    if (FailCreate) return vx::kInvalidHandle;
    open_ = path;
    Files[open_].clear();
    return 7;
  }
  uint32_t GetSize(vx::Handle) override { return static_cast<uint32_t>(Files[open_].size()); }
  uint32_t Read(vx::Handle, uint8_t* buffer, uint32_t size) override {
    const std::string& f = Files[open_];
    uint32_t n = 0;
    while (n < size && read_ < f.size()) buffer[n++] = static_cast<uint8_t>(f[read_++]);
    return n;
  }
  bool Write(vx::Handle, const uint8_t* data, uint32_t size) override {
    Files[open_].append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  void Close(vx::Handle) override {}

 private:
  std::string open_;
  size_t read_ = 0;
};

std::string Record(const char* field2) {
  std::string f(field2);
  return std::string(4, ' ') + ' ' + std::string(36 - f.size(), ' ') + f + ' ' +
         std::string(10, ' ') + ' ' + std::string(8, ' ') + ' ' + std::string(2, ' ') + "\r\n";
}

struct DialogFixture : ::testing::Test {
  FakeDialogs dialogs;
  RecordingFiles files;
  vx::PluginContext ctx{Platform()};

  vx::Platform Platform() {
    vx::Platform p;
    p.Dialogs = &dialogs;
    p.Files = &files;
    return p;
  }
  void SetUp() override {
    dialogs.Target = &ctx;
    ctx.MainWindow = 0x7777;
  }
  void SetIdentity(const char* version, const char* serial) {
    std::memset(ctx.BoardVersion, 0, sizeof ctx.BoardVersion);
    std::memset(ctx.BoardSerial, 0, sizeof ctx.BoardSerial);
    std::strncpy(ctx.BoardVersion, version, sizeof ctx.BoardVersion);
    std::strncpy(ctx.BoardSerial, serial, sizeof ctx.BoardSerial);
  }
  intptr_t Proc(uint32_t msg, uintptr_t wParam) {
    return vx::ConfigDialogProc(ctx, dialogs.DialogHandle, msg, wParam, 0);
  }
};

constexpr uint32_t kInit = 0x0110, kCommand = 0x0111, kClose = 0x0010;
const std::string kSettingsFile = "\\MACH3\\plugin.dat";

// ---- Template

TEST_F(DialogFixture, TemplateHoldsTheHeaderAndTheNineControls) {
  SetIdentity("21", "1a2b3");
  dialogs.Script = {{kCommand, 1, 0}};
  EXPECT_EQ(vx::OpenConfigDialog(ctx), 0);

  EXPECT_EQ(dialogs.RunInstance, dialogs.Instance);
  EXPECT_EQ(dialogs.RunParent, vx::Handle{0x7777});
  EXPECT_EQ(dialogs.Allocs, 1);
  EXPECT_EQ(dialogs.Frees, 1);
  EXPECT_FALSE(dialogs.GuardBroken);
  ASSERT_EQ(dialogs.Template.size(), 1024u);
  EXPECT_LE(dialogs.MaxTextCapacity, 50);

  DecodedTemplate t = Decode(dialogs.Template);
  ASSERT_FALSE(t.Truncated);
  EXPECT_EQ(t.Style, 0x80C80080u);
  EXPECT_EQ(t.ExStyle, 0u);
  EXPECT_EQ(t.Count, 9);
  EXPECT_EQ(t.X, 10);
  EXPECT_EQ(t.Y, 10);
  EXPECT_EQ(t.Width, 200);
  EXPECT_EQ(t.Height, 150);
  EXPECT_EQ(t.Menu, 0);
  EXPECT_EQ(t.Class, 0);
  EXPECT_EQ(Utf8(t.Title), "TQ_Vendrix ");

  const struct {
    uint32_t Style;
    int16_t X, Y, Width, Height;
    uint16_t Id, Class;
    std::u16string Text;
  } expected[9] = {
      {0x10000020, 110, 50, 70, 15, 200, 0x82, u"版本: 2.10"},
      {0x10000020, 110, 35, 70, 15, 200, 0x82, u"串号: 1a2b3     "},
      {0x50000009, 30, 80, 60, 15, 100, 0x80, u"100KHZ"},
      {0x50000009, 30, 65, 60, 15, 65, 0x80, u"65KHZ "},
      {0x50000009, 30, 50, 60, 15, 45, 0x80, u"45KHZ "},
      {0x50000009, 30, 35, 60, 15, 25, 0x80, u"25KHZ "},
      {0x50000001, 130, 110, 40, 15, 1, 0x80, u"退出"},
      {0x50000000, 40, 110, 40, 15, 150, 0x80, u"保存"},
      {0x10000020, 10, 10, 80, 18, 180, 0x82, u""},
  };
  ASSERT_EQ(t.Items.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    const DecodedItem& it = t.Items[i];
    SCOPED_TRACE("item " + std::to_string(i + 1));
    EXPECT_EQ(it.Offset % 4, 0u);
    EXPECT_EQ(it.Style, expected[i].Style);
    EXPECT_EQ(it.ExStyle, 0u);
    EXPECT_EQ(it.X, expected[i].X);
    EXPECT_EQ(it.Y, expected[i].Y);
    EXPECT_EQ(it.Width, expected[i].Width);
    EXPECT_EQ(it.Height, expected[i].Height);
    EXPECT_EQ(it.Id, expected[i].Id);
    EXPECT_EQ(it.ClassMarker, 0xFFFF);
    EXPECT_EQ(it.ClassOrdinal, expected[i].Class);
    EXPECT_EQ(Utf8(it.Text), Utf8(expected[i].Text));
    EXPECT_EQ(it.CreationData, 0);
  }
  // Nothing was written beyond the last item.
  for (size_t i = t.End; i < dialogs.Template.size(); ++i)
    ASSERT_EQ(dialogs.Template[i], 0) << "stray byte at " << i;
}

// ---- Labels

struct LabelCase {
  const char* Name;
  char Input[11];
  const char* Expected;  // after the prefix
};

TEST(DialogLabels, VersionShowsTheFirstTwoDigitsAsMajorDotMinorZero) {
  const LabelCase cases[] = {
      {"two digits", "21", "2.10"},
      {"three digits", "210", "2.10"},
      {"one digit", "9", "9."},
      {"one digit, junk after the end", {'5', 0, '7', '7'}, "5."},
      {"empty", "", ""},
      {"empty, junk after the end", {0, '3', '4'}, ""},
      {"unterminated", {'3', '4', '5', '6'}, "3.40"},
  };
  for (const LabelCase& c : cases) {
    char out[vx::kLabelSize];
    vx::FormatVersionLabel(c.Input, out);
    EXPECT_EQ(std::string(out), std::string("\xB0\xE6\xB1\xBE: ") + c.Expected) << c.Name;
  }
}

TEST(DialogLabels, SerialShowsTenCharactersPaddedWithSpaces) {
  const LabelCase cases[] = {
      {"short", "1a2b3", "1a2b3     "},
      {"empty", "", "          "},
      {"exactly ten", "0123456789", "0123456789"},
      {"unterminated", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K'}, "ABCDEFGHIJ"},
      {"zero inside", {'A', 'B', 0, 'D', 'E'}, "AB        "},
  };
  for (const LabelCase& c : cases) {
    char out[vx::kLabelSize];
    vx::FormatSerialLabel(c.Input, out);
    EXPECT_EQ(std::string(out), std::string("\xB4\xAE\xBA\xC5: ") + c.Expected) << c.Name;
  }
}

TEST_F(DialogFixture, HostileIdentityTextsStayInsideTheBlock) {
  const uint8_t fills[] = {0xFF, 0x81, 0xB0, 'x'};
  for (uint8_t fill : fills) {
    SCOPED_TRACE(static_cast<int>(fill));
    std::memset(ctx.BoardVersion, fill, sizeof ctx.BoardVersion);
    std::memset(ctx.BoardSerial, fill, sizeof ctx.BoardSerial);
    dialogs.Script = {{kClose, 0, 0}};
    EXPECT_EQ(vx::OpenConfigDialog(ctx), 0);
    EXPECT_FALSE(dialogs.GuardBroken);
    DecodedTemplate t = Decode(dialogs.Template);
    EXPECT_FALSE(t.Truncated);
    ASSERT_EQ(t.Items.size(), 9u);
    EXPECT_LE(t.Items[1].Text.size(), 4u + 10u);
    EXPECT_EQ(Utf8(t.Items[8].Text), "");
  }
}

TEST(DialogTemplate, NeverWritesPastTheBlockWhateverTheTexts) {
  FakeDialogs dialogs;
  std::string longLabel(300, 'W');
  // Room enough: over-long label texts come out empty, never cut unterminated.
  std::vector<uint8_t> block(1024 + 64, 0xA5);
  std::fill(block.begin(), block.begin() + 1024, 0);
  uint32_t used =
      vx::BuildDialogTemplate(dialogs, longLabel.c_str(), longLabel.c_str(), block.data(), 1024);
  EXPECT_GT(used, 0u);
  EXPECT_LE(used, 1024u);
  for (size_t i = 1024; i < block.size(); ++i) ASSERT_EQ(block[i], 0xA5) << "byte " << i;
  block.resize(1024);
  DecodedTemplate t = Decode(block);
  ASSERT_EQ(t.Items.size(), 9u);
  EXPECT_EQ(Utf8(t.Items[0].Text), "");
  EXPECT_EQ(Utf8(t.Items[2].Text), "100KHZ");

  // Too little room: the template is refused and the bytes after stay put.
  for (uint32_t size : {0u, 20u, 101u, 300u}) {
    std::vector<uint8_t> small(size + 64, 0xA5);
    std::fill(small.begin(), small.begin() + size, 0);
    EXPECT_EQ(vx::BuildDialogTemplate(dialogs, "a", "b", small.data(), size), 0u) << size;
    for (size_t i = size; i < small.size(); ++i) ASSERT_EQ(small[i], 0xA5) << size << " @" << i;
  }
}

// ---- Running the dialog

TEST_F(DialogFixture, FailuresToAllocateOrCreateGiveMinusOne) {
  dialogs.FailAlloc = true;
  EXPECT_EQ(vx::OpenConfigDialog(ctx), -1);
  EXPECT_EQ(dialogs.RunCalls, 0);

  dialogs.FailAlloc = false;
  dialogs.FailCreate = true;
  EXPECT_EQ(vx::OpenConfigDialog(ctx), -1);
  EXPECT_EQ(dialogs.RunCalls, 1);
  EXPECT_EQ(dialogs.Allocs, 1);
  EXPECT_EQ(dialogs.Frees, 1);

  vx::PluginContext bare{vx::Platform{}};
  EXPECT_EQ(vx::OpenConfigDialog(bare), -1);
  EXPECT_EQ(vx::ConfigDialogProc(bare, 1, kInit, 0, 0), 0);
}

// ---- The dialog procedure

const char kHeading[] =
    "\xC4\xDA\xBA\xCB\xCB\xD9\xB6\xC8\xD1\xA1\xD4\xF1\xA3\xA8\xD7\xA2\xD2\xE2\xD2\xAA\xD6\xD8"
    "\xC6\xF4\xC8\xED\xBC\xFE\xB2\xC5\xC9\xFA\xD0\xA7\xA3\xA9:";  // 内核速度选择（注意要重启软件才生效）:

TEST_F(DialogFixture, InitSetsTheHeadingAndChecksTheCurrentFrequency) {
  ctx.PulseFrequency = 45;
  EXPECT_EQ(Proc(kInit, 0), 1);
  ASSERT_EQ(dialogs.Texts.size(), 1u);
  EXPECT_EQ(dialogs.Texts[0].Dialog, dialogs.DialogHandle);
  EXPECT_EQ(dialogs.Texts[0].Id, 180);
  EXPECT_EQ(dialogs.Texts[0].Text, kHeading);
  ASSERT_EQ(dialogs.Radios.size(), 1u);
  EXPECT_EQ(dialogs.Radios[0].Dialog, dialogs.DialogHandle);
  EXPECT_EQ(dialogs.Radios[0].First, 25);
  EXPECT_EQ(dialogs.Radios[0].Last, 100);
  EXPECT_EQ(dialogs.Radios[0].Check, 45);
  EXPECT_TRUE(dialogs.Ends.empty());
}

TEST(DialogProcedure, MessageTable) {
  const struct {
    const char* Name;
    uint32_t Msg;
    uintptr_t WParam;
    intptr_t Returns;
    bool Ends;
    int Frequency;  // PulseFrequency afterwards (starts at 65)
    bool Saves;
  } cases[] = {
      {"Exit", kCommand, 1, 1, true, 65, false},
      {"radio 25", kCommand, 25, 1, false, 25, false},
      {"radio 45", kCommand, 45, 1, false, 45, false},
      {"radio 65", kCommand, 65, 1, false, 65, false},
      {"radio 100", kCommand, 100, 1, false, 100, false},
      {"radio 25 with a notification code", kCommand, 0x00010019, 1, false, 25, false},
      {"Save", kCommand, 150, 1, true, 65, true},
      {"heading", kCommand, 180, 1, false, 65, false},
      {"label id", kCommand, 200, 0, false, 65, false},
      {"Cancel id", kCommand, 2, 0, false, 65, false},
      {"near a radio id", kCommand, 26, 0, false, 65, false},
      {"close box", kClose, 0, 1, true, 65, false},
      {"WM_PAINT", 0x000F, 0, 0, false, 65, false},
      {"WM_DESTROY", 0x0002, 0, 0, false, 65, false},
  };
  for (const auto& c : cases) {
    FakeDialogs d;
    RecordingFiles f;
    vx::Platform p;
    p.Dialogs = &d;
    p.Files = &f;
    vx::PluginContext c2(p);
    EXPECT_EQ(vx::ConfigDialogProc(c2, d.DialogHandle, c.Msg, c.WParam, 0), c.Returns) << c.Name;
    if (c.Ends) {
      ASSERT_EQ(d.Ends.size(), 1u) << c.Name;
      EXPECT_EQ(d.Ends[0].Dialog, d.DialogHandle) << c.Name;
      EXPECT_EQ(d.Ends[0].Result, 0) << c.Name;
    } else {
      EXPECT_TRUE(d.Ends.empty()) << c.Name;
    }
    EXPECT_EQ(c2.PulseFrequency, c.Frequency) << c.Name;
    EXPECT_EQ(f.Creates, c.Saves ? 1 : 0) << c.Name;
    if (c.Saves) EXPECT_EQ(f.Files[kSettingsFile], Record("65KHZ")) << c.Name;
    EXPECT_TRUE(d.Texts.empty() && d.Radios.empty()) << c.Name;
  }
}

TEST_F(DialogFixture, SaveClosesTheDialogEvenWhenTheFileCannotBeCreated) {
  files.FailCreate = true;
  EXPECT_EQ(Proc(kCommand, 150), 1);
  EXPECT_EQ(files.Creates, 1);
  EXPECT_TRUE(files.Files.empty());
  ASSERT_EQ(dialogs.Ends.size(), 1u);
  EXPECT_EQ(dialogs.Ends[0].Result, 0);
}

// ---- From the menu command to the settings file

TEST_F(DialogFixture, MenuCommandOpensTheDialogOnlyWhileTheBoardIsIdentified) {
  ctx.Device = std::make_unique<vx::MyDeviceClass>(ctx);  // Notify serves a started plug-in
  ctx.MenuCommandId = 4321;
  ctx.LinkError = 1;
  ctx.Notify(4321);
  EXPECT_EQ(dialogs.RunCalls, 0);

  // A radio click then Exit: the choice stays, the file is not touched.
  ctx.LinkError = 0;
  dialogs.Script = {{kCommand, 25, 0}, {kCommand, 1, 0}, {kCommand, 45, 0}};
  ctx.Notify(4321);
  EXPECT_EQ(dialogs.RunCalls, 1);
  ASSERT_EQ(dialogs.Radios.size(), 1u);
  EXPECT_EQ(dialogs.Radios[0].Check, 65);
  EXPECT_EQ(ctx.PulseFrequency, 25);  // the click after Exit never arrived
  EXPECT_EQ(files.Creates, 0);
  EXPECT_EQ(dialogs.Frees, 1);

  // Reopened: shows the last click; 100 then Save writes the record.
  dialogs.Script = {{kCommand, 100, 0}, {kCommand, 150, 0}};
  ctx.Notify(4321);
  ASSERT_EQ(dialogs.Radios.size(), 2u);
  EXPECT_EQ(dialogs.Radios[1].Check, 25);
  EXPECT_EQ(ctx.PulseFrequency, 100);
  EXPECT_EQ(files.Files[kSettingsFile], Record("100KHZ"));
  EXPECT_EQ(files.Files[kSettingsFile].size(), 66u);
  EXPECT_EQ(dialogs.Ends.size(), 2u);
  EXPECT_EQ(dialogs.Frees, 2);
}

}  // namespace
