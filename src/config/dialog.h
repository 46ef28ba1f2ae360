// The configuration dialog (pulse frequency, firmware version, serial
// number), built in memory at run time, and the menu item that opens it.
// All Chinese texts are CP936 (GBK) bytes for the Windows ANSI interfaces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace vx {

class PluginContext;

// Window messages the dialog procedure handles.
constexpr uint32_t kWmInitDialog = 0x0110;
constexpr uint32_t kWmCommand = 0x0111;
constexpr uint32_t kWmClose = 0x0010;

// Control ids of the dialog. The radio ids are the frequencies in kHz, so
// the procedure stores the id itself as the frequency.
namespace dlg {
constexpr int kExit = 1;
constexpr int kSave = 150;
constexpr int kHeading = 180;
constexpr int kLabel = 200;  // both labels; nothing addresses them
constexpr int kRadio25 = 25;
constexpr int kRadio45 = 45;
constexpr int kRadio65 = 65;
constexpr int kRadio100 = 100;
}  // namespace dlg

// The menu the item goes under, and the item itself.
constexpr const char* kPluginMenuTitle = "PlugIn Control";
// "插件控制"
constexpr const char* kPluginMenuTitleZh = "\xB2\xE5\xBC\xFE\xBF\xD8\xD6\xC6";
constexpr const char* kMenuItemText = "TQ-Vendrix";
constexpr uint32_t kMenuAppend = 0xFFFFFFFF;        // position -1: at the end
constexpr uint32_t kMenuByPositionString = 0x400;  // MF_BYPOSITION | MF_STRING

constexpr const char* kDialogTitle = "TQ_Vendrix ";
// "内核速度选择（注意要重启软件才生效）:"
constexpr const char* kHeadingText =
    "\xC4\xDA\xBA\xCB\xCB\xD9\xB6\xC8\xD1\xA1\xD4\xF1\xA3\xA8\xD7\xA2\xD2\xE2"
    "\xD2\xAA\xD6\xD8\xC6\xF4\xC8\xED\xBC\xFE\xB2\xC5\xC9\xFA\xD0\xA7\xA3\xA9:";
// "版本: "
constexpr const char* kVersionPrefix = "\xB0\xE6\xB1\xBE: ";
// "串号: "
constexpr const char* kSerialPrefix = "\xB4\xAE\xBA\xC5: ";
// "退出"
constexpr const char* kExitText = "\xCD\xCB\xB3\xF6";
// "保存"
constexpr const char* kSaveText = "\xB1\xA3\xB4\xE6";

// The template block: one zeroed 1024-byte allocation per dialog run.
constexpr uint32_t kTemplateSize = 1024;
constexpr uint32_t kDialogStyle = 0x80C80080;  // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME
constexpr int kDialogItems = 9;
// UTF-16 units per converted text, terminator included.
constexpr int kMaxTextUnits = 50;

// Label buffers: prefix (6 bytes) + at most 10 characters + terminator.
constexpr size_t kLabelSize = 24;
// "版本: " followed by the first two bytes of `version` as "%c.%c0"; a zero
// byte ends the text ("5" gives "5.", "" the prefix alone). Reads exactly
// two bytes of `version`, terminated or not.
void FormatVersionLabel(const char* version, char out[kLabelSize]);
// "串号: " followed by the first ten bytes of `serial` (fewer when a zero
// byte comes first), padded with spaces to ten. Reads at most ten bytes.
void FormatSerialLabel(const char* serial, char out[kLabelSize]);

// Writes the dialog template into `block` (`size` bytes, zeroed by the
// caller). Texts are converted with `dialogs.AnsiToWide`; nothing is ever
// written past `size`. Returns the number of bytes used, 0 when the template
// does not fit.
uint32_t BuildDialogTemplate(DialogApi& dialogs, const char* versionLabel,
                             const char* serialLabel, uint8_t* block,
                             uint32_t size);

// The modal configuration dialog. Lives on the caller's stack.
class KDialog {
 public:
  KDialog(Handle parent, Handle instance) : Parent(parent), Instance(instance) {}
  // Builds the template, runs the dialog and returns EndDialog's value, or
  // -1 when the template memory cannot be had or the dialog not created.
  virtual intptr_t RunModal(PluginContext& ctx);

  Handle Parent;
  Handle Instance;
};

// Appends "TQ-Vendrix" to the host's "PlugIn Control" menu.
void AddMenuEntry(PluginContext& ctx);
// Runs the dialog modally over MainWindow; returns RunModal's result.
intptr_t OpenConfigDialog(PluginContext& ctx);
// The dialog procedure: nonzero for the messages it handles.
intptr_t ConfigDialogProc(PluginContext& ctx, Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t lParam);

}  // namespace vx
