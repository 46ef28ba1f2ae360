#include "config/dialog.h"

#include <cstring>

#include "config/settings.h"
#include "plugin/plugin_context.h"

namespace vx {
namespace {

constexpr uint16_t kClassButton = 0x0080;
constexpr uint16_t kClassStatic = 0x0082;
constexpr uint32_t kStatic = 0x10000020;    // WS_VISIBLE | SS_LEFT-style bit 0x20
constexpr uint32_t kRadio = 0x50000009;     // WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON
constexpr uint32_t kDefPush = 0x50000001;   // WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON
constexpr uint32_t kPush = 0x50000000;      // WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON

enum class Label { None, Version, Serial };

struct ItemSpec {
  uint32_t Style;
  int16_t X, Y, Width, Height;
  uint16_t Id;
  uint16_t Class;
  Label Source;
  const char* Text;
};

constexpr ItemSpec kItems[kDialogItems] = {
    {kStatic, 110, 50, 70, 15, dlg::kLabel, kClassStatic, Label::Version, nullptr},
    {kStatic, 110, 35, 70, 15, dlg::kLabel, kClassStatic, Label::Serial, nullptr},
    {kRadio, 30, 80, 60, 15, dlg::kRadio100, kClassButton, Label::None, "100KHZ"},
    {kRadio, 30, 65, 60, 15, dlg::kRadio65, kClassButton, Label::None, "65KHZ "},
    {kRadio, 30, 50, 60, 15, dlg::kRadio45, kClassButton, Label::None, "45KHZ "},
    {kRadio, 30, 35, 60, 15, dlg::kRadio25, kClassButton, Label::None, "25KHZ "},
    {kDefPush, 130, 110, 40, 15, dlg::kExit, kClassButton, Label::None, kExitText},
    {kPush, 40, 110, 40, 15, dlg::kSave, kClassButton, Label::None, kSaveText},
    {kStatic, 10, 10, 80, 18, dlg::kHeading, kClassStatic, Label::None, ""},
};

// Appends little-endian fields to the block and refuses anything that would
// cross its end; once a write is refused the whole template is.
class TemplateWriter {
 public:
  TemplateWriter(uint8_t* block, uint32_t size) : block_(block), size_(size) {}

  void Word(uint16_t v) {
    if (!Room(2)) return;
    block_[pos_++] = static_cast<uint8_t>(v);
    block_[pos_++] = static_cast<uint8_t>(v >> 8);
  }
  void Dword(uint32_t v) {
    Word(static_cast<uint16_t>(v));
    Word(static_cast<uint16_t>(v >> 16));
  }
  void Align4() {
    while (ok_ && pos_ % 4 != 0) {
      if (!Room(1)) return;
      block_[pos_++] = 0;
    }
  }
  // A zero-terminated UTF-16 text of at most kMaxTextUnits units, cut to
  // what is left of the block. A text that cannot be converted whole is
  // written empty rather than unterminated.
  void Text(DialogApi& dialogs, const char* text) {
    if (!ok_) return;
    uint32_t room = (size_ - pos_) / 2;
    if (room == 0) {
      ok_ = false;
      return;
    }
    int capacity = room < static_cast<uint32_t>(kMaxTextUnits) ? static_cast<int>(room)
                                                               : kMaxTextUnits;
    uint16_t units[kMaxTextUnits] = {};
    int n = dialogs.AnsiToWide(text, units, capacity);
    if (n <= 0 || n > capacity) n = 1;
    units[n - 1] = 0;
    for (int i = 0; i < n; ++i) Word(units[i]);
  }

  bool Ok() const { return ok_; }
  uint32_t Used() const { return pos_; }

 private:
  bool Room(uint32_t bytes) {
    if (!ok_ || size_ - pos_ < bytes) ok_ = false;
    return ok_;
  }

  uint8_t* block_;
  uint32_t size_;
  uint32_t pos_ = 0;
  bool ok_ = true;
};

void Append(char* out, size_t& len, char c) {
  if (len + 1 < kLabelSize) out[len++] = c;
  out[len] = 0;
}

size_t StartLabel(const char* prefix, char out[kLabelSize]) {
  size_t len = std::strlen(prefix);
  std::memcpy(out, prefix, len + 1);
  return len;
}

}  // namespace

void FormatVersionLabel(const char* version, char out[kLabelSize]) {
  size_t len = StartLabel(kVersionPrefix, out);
  // "%c.%c0": a zero character ends the text where it stands.
  const char c1 = version[0];
  if (c1 == 0) return;
  Append(out, len, c1);
  Append(out, len, '.');
  const char c2 = version[1];
  if (c2 == 0) return;
  Append(out, len, c2);
  Append(out, len, '0');
}

void FormatSerialLabel(const char* serial, char out[kLabelSize]) {
  size_t len = StartLabel(kSerialPrefix, out);
  int i = 0;
  for (; i < 10 && serial[i] != 0; ++i) Append(out, len, serial[i]);
  for (; i < 10; ++i) Append(out, len, ' ');
}

uint32_t BuildDialogTemplate(DialogApi& dialogs, const char* versionLabel,
                             const char* serialLabel, uint8_t* block, uint32_t size) {
  TemplateWriter w(block, size);
  w.Dword(kDialogStyle);
  w.Dword(0);  // extended style
  w.Word(kDialogItems);
  w.Word(10);
  w.Word(10);
  w.Word(200);
  w.Word(150);
  w.Word(0);  // no menu
  w.Word(0);  // default dialog class
  w.Text(dialogs, kDialogTitle);
  for (const ItemSpec& item : kItems) {
    w.Align4();
    w.Dword(item.Style);
    w.Dword(0);  // extended style
    w.Word(static_cast<uint16_t>(item.X));
    w.Word(static_cast<uint16_t>(item.Y));
    w.Word(static_cast<uint16_t>(item.Width));
    w.Word(static_cast<uint16_t>(item.Height));
    w.Word(item.Id);
    w.Word(0xFFFF);  // class by ordinal
    w.Word(item.Class);
    const char* text = item.Source == Label::Version  ? versionLabel
                       : item.Source == Label::Serial ? serialLabel
                                                      : item.Text;
    w.Text(dialogs, text);
    w.Word(0);  // no creation data
  }
  return w.Ok() ? w.Used() : 0;
}

intptr_t KDialog::RunModal(PluginContext& ctx) {
  DialogApi* dialogs = ctx.os.Dialogs;
  if (dialogs == nullptr) return -1;
  uint8_t* block = dialogs->AllocTemplate(kTemplateSize);
  if (block == nullptr) return -1;
  char version[kLabelSize];
  char serial[kLabelSize];
  FormatVersionLabel(ctx.BoardVersion, version);
  FormatSerialLabel(ctx.BoardSerial, serial);
  intptr_t result = -1;
  if (BuildDialogTemplate(*dialogs, version, serial, block, kTemplateSize) != 0)
    result = dialogs->RunDialog(Instance, block, Parent);
  dialogs->FreeTemplate(block);
  return result;
}

intptr_t OpenConfigDialog(PluginContext& ctx) {
  if (ctx.os.Dialogs == nullptr) return -1;
  KDialog dialog(ctx.MainWindow, ctx.os.Dialogs->ProcessInstance());
  return dialog.RunModal(ctx);
}

intptr_t ConfigDialogProc(PluginContext& ctx, Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t) {
  DialogApi* dialogs = ctx.os.Dialogs;
  if (dialogs == nullptr) return 0;
  switch (message) {
    case kWmInitDialog:
      dialogs->SetItemText(dialog, dlg::kHeading, kHeadingText);
      dialogs->CheckRadio(dialog, dlg::kRadio25, dlg::kRadio100, ctx.PulseFrequency);
      return 1;
    case kWmCommand:
      switch (static_cast<int>(wParam & 0xFFFF)) {
        case dlg::kExit:
          dialogs->EndDialog(dialog, 0);
          return 1;
        case dlg::kRadio25:
        case dlg::kRadio45:
        case dlg::kRadio65:
        case dlg::kRadio100:
          ctx.PulseFrequency = static_cast<int>(wParam & 0xFFFF);
          return 1;
        case dlg::kSave:
          // Closes whether or not the file could be written.
          SaveSettings(ctx);
          dialogs->EndDialog(dialog, 0);
          return 1;
        case dlg::kHeading:
          return 1;
        default:
          return 0;
      }
    case kWmClose:
      dialogs->EndDialog(dialog, 0);
      return 1;
    default:
      return 0;
  }
}

void AddMenuEntry(PluginContext& ctx) {
  MenuApi* menus = ctx.os.Menus;
  if (menus == nullptr) return;
  Handle bar = menus->GetMenu(ctx.host.MainWindow());
  if (bar == 0) return;
  int count = menus->GetMenuItemCount(bar);
  for (int pos = 0; pos < count; ++pos) {
    MenuItemText info;
    if (!menus->GetMenuItemInfo(bar, static_cast<uint32_t>(pos), &info, nullptr, 0)) continue;
    // Only the two titles can match; longer texts are skipped unread rather
    // than sized from whatever length the menu reports.
    char text[64] = {};
    if (info.Length >= sizeof(text)) continue;
    MenuItemText item;
    if (!menus->GetMenuItemInfo(bar, static_cast<uint32_t>(pos), &item, text, info.Length + 1))
      continue;
    text[info.Length] = 0;
    if (std::strcmp(text, kPluginMenuTitle) != 0 && std::strcmp(text, kPluginMenuTitleZh) != 0)
      continue;
    if (item.SubMenu != 0)
      menus->InsertMenu(item.SubMenu, kMenuAppend, kMenuByPositionString,
                        static_cast<uintptr_t>(ctx.MenuCommandId), kMenuItemText);
    return;
  }
}

}  // namespace vx
