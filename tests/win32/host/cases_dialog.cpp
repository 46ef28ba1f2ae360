// The plug-in's menu item and configuration dialog as the host reaches them:
// the item under "PlugIn Control", the dialog opened by Notify and driven on
// its real controls, and the saved frequency read back by a new process.
#include <cstdio>
#include <cstring>
#include <functional>

#include "scenario.h"

namespace host {
namespace {

const char kVersionLabel[] = "\xB0\xE6\xB1\xBE: 2.10";          // 版本: 2.10
const char kSerialLabel[] = "\xB4\xAE\xBA\xC5: 1a2b34c5  ";     // 串号: + 10 characters
const char kSettingsFile[] = "C:\\MACH3\\plugin.dat";

std::string Shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return "\"" + out + "\"";
}

std::string WindowText(HWND w) {
  char buf[256] = {};
  GetWindowTextA(w, buf, sizeof buf);
  return buf;
}

std::string FileBytes(const char* path) {
  HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "(missing)";
  std::string data;
  char buf[256];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) data.append(buf, n);
  CloseHandle(f);
  return data;
}

std::string Checked(HWND dialog) {
  std::string s;
  for (int id : {25, 45, 65, 100})
    if (IsDlgButtonChecked(dialog, id) == BST_CHECKED) s += std::to_string(id) + " ";
  return s;
}

// Steps run from a thread timer inside the dialog's modal loop, one per
// tick once the dialog is up; each returns true when done.
using Step = std::function<bool(HWND)>;
struct Script {
  std::vector<Step> Steps;
  size_t Next = 0;
  int Ticks = 0;
  bool Seen = false;
};
Script* g_script = nullptr;

VOID CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  Script& s = *g_script;
  if (s.Next >= s.Steps.size()) return;
  HWND dialog = FindWindowA("#32770", "TQ_Vendrix ");
  if (++s.Ticks > 300) {
    // Give up (30 s): close whatever is open so the case can report.
    s.Next = s.Steps.size();
    if (dialog != nullptr) PostMessageA(dialog, WM_CLOSE, 0, 0);
    return;
  }
  if (dialog == nullptr) return;
  s.Seen = true;
  if (s.Steps[s.Next](dialog)) ++s.Next;
}

bool Click(HWND dialog, int id) {
  SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  return true;
}

// The labels that share id 200, in template order.
std::vector<std::string> Labels(HWND dialog) {
  std::vector<std::string> texts;
  for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
    if (GetDlgCtrlID(c) == 200) texts.push_back(WindowText(c));
  return texts;
}

// With the board's link up: the menu item, then the dialog from the menu
// command, 100 kHz chosen and saved.
void CaseDialogSave() {
  CreateDirectoryA("C:\\MACH3", nullptr);
  DeleteFileA(kSettingsFile);
  BoardRig rig;
  if (!rig.Start()) return;
  Host& h = rig.h;
  Check(GetACP() == 936, "the host runs in the Chinese ANSI code page",
        "code page " + std::to_string(GetACP()));

  // "PlugIn Control" on the main window's menu bar holds the new item.
  HMENU bar = GetMenu(h.window);
  HMENU plugins = nullptr;
  for (int i = 0; i < GetMenuItemCount(bar); ++i) {
    char title[64] = {};
    GetMenuStringA(bar, i, title, sizeof title, MF_BYPOSITION);
    if (std::strcmp(title, "PlugIn Control") == 0) plugins = GetSubMenu(bar, i);
  }
  int items = plugins ? GetMenuItemCount(plugins) : 0;
  char item[64] = {};
  if (items > 0) GetMenuStringA(plugins, items - 1, item, sizeof item, MF_BYPOSITION);
  UINT id = items > 0 ? GetMenuItemID(plugins, items - 1) : 0;
  Check(plugins != nullptr && items == 2 && std::strcmp(item, "TQ-Vendrix") == 0 &&
            id == static_cast<UINT>(kMenuRangeBase),
        "after PostInitControl \"PlugIn Control\" ends with \"TQ-Vendrix\" and the reserved id",
        std::to_string(items) + " items, last " + Quote(item) + " id " + std::to_string(id));

  Script script;
  script.Steps = {
      [](HWND d) {
        std::vector<std::string> labels = Labels(d);
        Check(labels.size() == 2 && labels[0] == kVersionLabel && labels[1] == kSerialLabel,
              "the dialog shows the board's firmware version and serial number",
              (labels.size() > 0 ? Shown(labels[0]) : "-") + " / " +
                  (labels.size() > 1 ? Shown(labels[1]) : "-"));
        Check(Checked(d) == "65 ", "it opens with the current 65 kHz selected", Checked(d));
        return Click(d, 100);
      },
      [](HWND d) {
        Check(Checked(d) == "100 ", "clicking \"100KHZ\" selects it", Checked(d));
        return Click(d, 150);
      },
  };
  g_script = &script;
  UINT_PTR timer = SetTimer(nullptr, 0, 100, Tick);
  h.plugin.Notify(kMenuRangeBase);
  KillTimer(nullptr, timer);
  g_script = nullptr;
  Check(script.Seen && script.Next == script.Steps.size() &&
            FindWindowA("#32770", "TQ_Vendrix ") == nullptr,
        "the menu command opens the dialog; Save closes it",
        "seen " + std::to_string(script.Seen) + ", steps done " + std::to_string(script.Next));
  const std::string record = std::string(4, ' ') + ' ' + std::string(30, ' ') + "100KHZ" + ' ' +
                             std::string(10, ' ') + ' ' + std::string(8, ' ') + ' ' +
                             std::string(2, ' ') + "\r\n";
  std::string file = FileBytes(kSettingsFile);
  Check(file == record && file.size() == 66, "Save writes the 66-byte record for 100 kHz",
        std::to_string(file.size()) + " bytes " + Shown(file));

  rig.device.ClearReports();
  h.Update(2);
  Check(rig.SentCodes() == std::vector<int>{proto::kStatus, proto::kStatus},
        "the link stays up across the dialog", Codes(rig.SentCodes()));
  CheckBoardBehaved(rig.device);
}

// A new process loads the plug-in again and finds the saved frequency.
void CaseDialogReadback() {
  Host h;
  if (!h.Start()) return;
  h.InitControl();
  CheckPulseRates(h, 100000.0);
  DeleteFileA(kSettingsFile);
}

}  // namespace

void AddDialogCases(CaseTable& cases) {
  cases["dialog-save"] = CaseDialogSave;
  cases["dialog-readback"] = CaseDialogReadback;
}

}  // namespace host
