// The configuration dialog and the menu item on real Windows controls: the
// in-memory template goes through DialogBoxIndirectParamA, the dialog is
// driven by button clicks from a thread timer, and Save writes the settings
// file on drive C. Prints "PASS: name" / "FAIL: name: detail" per check and
// a closing "N passed, N failed" line; the exit code is 0 only when all pass.
//
// Fonts: a template without DS_SETFONT draws with the System font. Under
// Wine the System font of code page 936 is a bitmap font without Chinese
// glyphs, and bitmap fonts get no linked fallback, so the Chinese texts
// would show as bars. The program therefore hides that bitmap font and
// substitutes WenQuanYi Micro Hei for "System" in the GB2312 character set,
// runs the checks in a child process that starts with those settings, and
// puts the registry back afterwards.
//
// Environment (optional):
//   DIALOG_SHOT_REQ  Windows path of a marker file: with the dialog open the
//                    program creates it and waits up to 30 s for
//                    "<marker>.done", so a screenshot can be taken outside.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/dialog.h"
#include "motion/device.h"
#include "platform/win32/win32_platform.h"
#include "plugin/plugin_context.h"

namespace {

int g_passed = 0;
int g_failed = 0;

bool Check(bool ok, const char* name, const char* fmt = "", ...) {
  char detail[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(detail, sizeof detail, fmt, ap);
  va_end(ap);
  if (ok) {
    ++g_passed;
    printf("PASS: %s\n", name);
  } else {
    ++g_failed;
    printf("FAIL: %s: %s\n", name, detail);
  }
  fflush(stdout);
  return ok;
}

// Printable form of a byte string, for failure messages.
std::string Shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return "\"" + out + "\"";
}

// The dialog's CP936 texts.
const char kHeading[] =
    "\xC4\xDA\xBA\xCB\xCB\xD9\xB6\xC8\xD1\xA1\xD4\xF1\xA3\xA8\xD7\xA2\xD2\xE2\xD2\xAA\xD6\xD8"
    "\xC6\xF4\xC8\xED\xBC\xFE\xB2\xC5\xC9\xFA\xD0\xA7\xA3\xA9:";  // 内核速度选择（注意要重启软件才生效）:
const char kVersionLabel[] = "\xB0\xE6\xB1\xBE: 2.10";            // 版本: 2.10
const char kSerialLabel[] = "\xB4\xAE\xBA\xC5: 1a2b3     ";       // 串号: 1a2b3 + 5 spaces
const char kExit[] = "\xCD\xCB\xB3\xF6";                          // 退出
const char kSave[] = "\xB1\xA3\xB4\xE6";                          // 保存
const char kPluginMenuZh[] = "\xB2\xE5\xBC\xFE\xBF\xD8\xD6\xC6";  // 插件控制

const char kSettingsFile[] = "C:\\MACH3\\plugin.dat";
const UINT kMenuId = 3000;

// ---- Host memory: the view structure and the frame object holding the
// main window's handle, at their 32-bit addresses in this process.
alignas(8) uint8_t g_view[vx::host::view::Size];
alignas(8) uint8_t g_frame[64];

vx::HostAddr Addr(const void* p) {
  return static_cast<vx::HostAddr>(reinterpret_cast<uintptr_t>(p));
}

void SetHostMainWindow(HWND window) {
  uint32_t frame = Addr(g_frame);
  uint32_t handle = Addr(window);
  std::memcpy(g_view + vx::host::view::MainFrame, &frame, 4);
  std::memcpy(g_frame + vx::host::view::FrameWindowHandle, &handle, 4);
}

std::string WindowText(HWND w) {
  char buf[256] = {};
  GetWindowTextA(w, buf, sizeof buf);
  return buf;
}

std::string ReadFileBytes(const char* path, bool* exists) {
  HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  *exists = f != INVALID_HANDLE_VALUE;
  if (!*exists) return "";
  std::string data;
  char buf[512];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) data.append(buf, n);
  CloseHandle(f);
  return data;
}

void WriteFileBytes(const char* path, const std::string& data) {
  HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  DWORD n = 0;
  WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  CloseHandle(f);
}

std::string Record(const char* field2) {
  std::string f(field2);
  return std::string(4, ' ') + ' ' + std::string(36 - f.size(), ' ') + f + ' ' +
         std::string(10, ' ') + ' ' + std::string(8, ' ') + ' ' + std::string(2, ' ') + "\r\n";
}

// ---- Host windows with menu bars

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(w, m, wp, lp);
}

struct BarEntry {
  const char* Title;
  bool Popup;
};

// A visible top-level window whose menu bar has the given entries; every
// popup holds one item already. `subs` gets each entry's popup (or null).
HWND MakeHostWindow(const std::vector<BarEntry>& bar, std::vector<HMENU>* subs) {
  HMENU menu = CreateMenu();
  for (const BarEntry& e : bar) {
    if (e.Popup) {
      HMENU sub = CreatePopupMenu();
      AppendMenuA(sub, MF_STRING, 100, "Existing");
      AppendMenuA(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub), e.Title);
      subs->push_back(sub);
    } else {
      AppendMenuA(menu, MF_STRING, 200, e.Title);
      subs->push_back(nullptr);
    }
  }
  return CreateWindowA("VendrixTestHost", "Vendrix dialog test host",
                       WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 640, 480, nullptr, menu,
                       GetModuleHandleA(nullptr), nullptr);
}

// The popups that gained an item, each as "index:text:id".
std::string Added(const std::vector<HMENU>& subs) {
  std::string out;
  for (size_t i = 0; i < subs.size(); ++i) {
    if (!subs[i]) continue;
    int n = GetMenuItemCount(subs[i]);
    for (int pos = 1; pos < n; ++pos) {
      char text[64] = {};
      GetMenuStringA(subs[i], pos, text, sizeof text, MF_BYPOSITION);
      out += std::to_string(i) + ":" + text + ":" + std::to_string(GetMenuItemID(subs[i], pos)) +
             " ";
    }
  }
  return out;
}

void MenuCases(vx::PluginContext& ctx, HWND* dialogOwner) {
  ctx.MenuCommandId = kMenuId;
  const std::string item = ":TQ-Vendrix:" + std::to_string(kMenuId) + " ";
  const struct {
    const char* Name;
    std::vector<BarEntry> Bar;
    std::string Expected;
  } cases[] = {
      {"menu.english_title",
       {{"&File", true}, {"PlugIn Control", true}, {"&Help", true}},
       "1" + item},
      {"menu.chinese_title", {{"&File", true}, {kPluginMenuZh, true}}, "1" + item},
      {"menu.ampersand_title_ignored", {{"&PlugIn Control", true}}, ""},
      {"menu.match_without_popup_ends_scan",
       {{"PlugIn Control", false}, {kPluginMenuZh, true}},
       ""},
      {"menu.no_plugin_menu", {{"&File", true}, {"&Help", true}}, ""},
  };
  for (const auto& c : cases) {
    std::vector<HMENU> subs;
    HWND host = MakeHostWindow(c.Bar, &subs);
    SetHostMainWindow(host);
    vx::AddMenuEntry(ctx);
    std::string got = Added(subs);
    Check(got == c.Expected, c.Name, "added %s, expected %s", Shown(got).c_str(),
          Shown(c.Expected).c_str());
    if (*dialogOwner == nullptr && !c.Expected.empty()) {
      *dialogOwner = host;  // kept: it is the dialog's owner below
      // The new item's type read back with the ANSI query the plug-in uses.
      MENUITEMINFOA mii = {};
      mii.cbSize = sizeof mii;
      mii.fMask = MIIM_FTYPE | MIIM_ID;
      BOOL ok = GetMenuItemInfoA(subs[1], 1, TRUE, &mii);
      Check(ok && mii.fType == MFT_STRING && mii.wID == kMenuId, "menu.item_is_a_string_command",
            "ok %d type 0x%lx id %u", ok, static_cast<unsigned long>(mii.fType), mii.wID);
    } else {
      DestroyWindow(host);
    }
  }
}

// ---- Driving a modal dialog from a thread timer (its messages arrive in
// the dialog's own message loop, on this thread).

using Step = std::function<bool(HWND)>;  // true: done, go to the next step

struct Script {
  std::vector<Step> Steps;
  size_t Next = 0;
  int Waited = 0;
  bool Seen = false;
  bool GaveUp = false;
};
Script* g_script = nullptr;

HWND FindConfigDialog() { return FindWindowA("#32770", "TQ_Vendrix "); }

VOID CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  Script& s = *g_script;
  if (s.Next >= s.Steps.size()) return;
  HWND dialog = FindConfigDialog();
  if (dialog == nullptr) {
    if (++s.Waited > 200) {
      s.GaveUp = true;
      s.Next = s.Steps.size();
    }
    return;
  }
  s.Seen = true;
  if (s.Steps[s.Next](dialog)) {
    ++s.Next;
    s.Waited = 0;
  } else if (++s.Waited > 400) {
    s.GaveUp = true;
    s.Next = s.Steps.size();
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  }
}

template <typename Open>
intptr_t RunScripted(Script& script, Open open) {
  g_script = &script;
  UINT_PTR timer = SetTimer(nullptr, 0, 100, Tick);
  intptr_t result = open();
  KillTimer(nullptr, timer);
  g_script = nullptr;
  return result;
}

bool Click(HWND dialog, int id) {
  SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  return true;
}

std::string RadioState(HWND dialog) {
  std::string s;
  for (int id : {25, 45, 65, 100})
    if (IsDlgButtonChecked(dialog, id) == BST_CHECKED) s += std::to_string(id) + " ";
  return s;
}

// The texts of the controls with `id`, in template order.
std::vector<std::string> TextsOf(HWND dialog, int id) {
  std::vector<std::string> texts;
  for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
    if (GetDlgCtrlID(c) == id) texts.push_back(WindowText(c));
  return texts;
}

// Creates the screenshot marker and waits (ticking) for the outside answer.
Step Screenshot() {
  auto started = std::make_shared<DWORD>(0);
  return [started](HWND) {
    char req[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("DIALOG_SHOT_REQ", req, sizeof req)) return true;
    std::string done = std::string(req) + ".done";
    if (*started == 0) {
      *started = GetTickCount();
      WriteFileBytes(req, "shot");
      return false;
    }
    if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    if (GetTickCount() - *started > 30000) {
      Check(false, "dialog.screenshot_taken", "no %s after 30 s", done.c_str());
      return true;
    }
    return false;
  };
}

// Whether the font a control draws with has glyphs for the version prefix.
bool DrawsChinese(HWND control) {
  HDC dc = GetDC(control);
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(SYSTEM_FONT));
  WORD glyphs[2] = {0xFFFF, 0xFFFF};
  DWORD n = GetGlyphIndicesW(dc, L"\u7248\u672C", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  char face[64] = {};
  GetTextFaceA(dc, sizeof face, face);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  printf("INFO: dialog font %s\n", face);
  return n == 2 && glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF;
}

void DialogCases(vx::PluginContext& ctx, HWND owner) {
  CreateDirectoryA("C:\\MACH3", nullptr);
  const std::string sentinel = "left alone";
  WriteFileBytes(kSettingsFile, sentinel);
  ctx.Device = std::make_unique<vx::MyDeviceClass>(ctx);  // Notify serves a started plug-in
  ctx.MainWindow = reinterpret_cast<vx::Handle>(owner);
  ctx.MenuCommandId = kMenuId;
  ctx.PulseFrequency = 65;
  std::strcpy(ctx.BoardVersion, "21");
  std::strcpy(ctx.BoardSerial, "1a2b3");

  // Without an identified board the menu command shows nothing.
  {
    ctx.LinkError = 1;
    Script s;
    s.Steps = {[](HWND) { return true; }};
    RunScripted(s, [&] {
      ctx.Notify(kMenuId);
      return 0;
    });
    Check(!s.Seen, "dialog.not_opened_while_link_error");
  }

  // Opened from the menu command: the controls as built, then a radio
  // click and Exit.
  {
    ctx.LinkError = 0;
    Script s;
    s.Steps = {
        [&](HWND d) {
          Check(GetParent(d) == owner || GetWindow(d, GW_OWNER) == owner, "dialog.owned_by_main_window");
          Check(DrawsChinese(GetDlgItem(d, 180)), "dialog.font_has_chinese_glyphs");
          std::string heading = WindowText(GetDlgItem(d, 180));
          Check(heading == kHeading, "dialog.heading_set_at_open", "%s", Shown(heading).c_str());
          std::string radios = RadioState(d);
          Check(radios == "65 ", "dialog.current_frequency_checked", "checked: %s",
                radios.c_str());
          std::vector<std::string> labels = TextsOf(d, 200);
          Check(labels.size() == 2 && labels[0] == kVersionLabel && labels[1] == kSerialLabel,
                "dialog.version_and_serial_labels", "%s / %s",
                labels.size() > 0 ? Shown(labels[0]).c_str() : "-",
                labels.size() > 1 ? Shown(labels[1]).c_str() : "-");
          std::string texts = WindowText(GetDlgItem(d, 100)) + "|" +
                              WindowText(GetDlgItem(d, 65)) + "|" +
                              WindowText(GetDlgItem(d, 45)) + "|" +
                              WindowText(GetDlgItem(d, 25)) + "|" +
                              WindowText(GetDlgItem(d, 1)) + "|" + WindowText(GetDlgItem(d, 150));
          std::string expected = std::string("100KHZ|65KHZ |45KHZ |25KHZ |") + kExit + "|" + kSave;
          Check(texts == expected, "dialog.button_texts", "%s", Shown(texts).c_str());
          return true;
        },
        Screenshot(),
        [](HWND d) { return Click(d, 25); },
        [&](HWND d) {
          std::string radios = RadioState(d);
          Check(radios == "25 " && ctx.PulseFrequency == 25, "dialog.radio_click_sets_frequency",
                "checked: %s, PulseFrequency %d", radios.c_str(), ctx.PulseFrequency);
          return Click(d, 1);
        },
    };
    RunScripted(s, [&] {
      ctx.Notify(kMenuId);
      return 0;
    });
    Check(s.Seen && !s.GaveUp, "dialog.opened_by_menu_command", "seen %d, gave up %d", s.Seen,
          s.GaveUp);
    Check(FindConfigDialog() == nullptr, "dialog.exit_closes");
    bool exists = false;
    std::string file = ReadFileBytes(kSettingsFile, &exists);
    Check(ctx.PulseFrequency == 25 && file == sentinel, "dialog.exit_keeps_choice_not_file",
          "PulseFrequency %d, file %s", ctx.PulseFrequency, Shown(file).c_str());
  }

  // Reopened: the last click shows; 100 kHz and Save write the record.
  {
    Script s;
    s.Steps = {
        [&](HWND d) {
          std::string radios = RadioState(d);
          Check(radios == "25 ", "dialog.reopens_with_last_choice", "checked: %s",
                radios.c_str());
          return Click(d, 100);
        },
        [](HWND d) { return Click(d, 150); },
    };
    intptr_t result = RunScripted(s, [&] { return vx::OpenConfigDialog(ctx); });
    Check(result == 0 && s.Seen && !s.GaveUp, "dialog.save_closes_with_zero",
          "result %d, seen %d, gave up %d", static_cast<int>(result), s.Seen, s.GaveUp);
    bool exists = false;
    std::string file = ReadFileBytes(kSettingsFile, &exists);
    Check(ctx.PulseFrequency == 100 && file == Record("100KHZ") && file.size() == 66,
          "dialog.save_writes_66_byte_record", "PulseFrequency %d, %u bytes %s",
          ctx.PulseFrequency, static_cast<unsigned>(file.size()), Shown(file).c_str());
  }

  // The close box ends the dialog with 0 as well.
  {
    Script s;
    s.Steps = {[](HWND d) {
      SendMessageA(d, WM_CLOSE, 0, 0);
      return true;
    }};
    intptr_t result = RunScripted(s, [&] { return vx::OpenConfigDialog(ctx); });
    Check(result == 0 && s.Seen && FindConfigDialog() == nullptr, "dialog.close_box_closes",
          "result %d, seen %d", static_cast<int>(result), s.Seen);
  }
}

// ---- Font settings for the child run

const char kFontSubstKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes";
const char kSystemFontsKey[] = "System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts";
const char kSystemSubst[] = "System,134";

struct SavedValue {
  bool Present = false;
  std::string Data;
};

SavedValue ReadValue(const char* key, const char* name) {
  SavedValue v;
  char buf[256] = {};
  DWORD size = sizeof buf - 1, type = 0;
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return v;
  if (RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    v.Present = true;
    v.Data = buf;
  }
  RegCloseKey(k);
  return v;
}

void WriteValue(const char* key, const char* name, const SavedValue& v) {
  HKEY k;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return;
  if (v.Present)
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.Data.c_str()),
                   static_cast<DWORD>(v.Data.size() + 1));
  else
    RegDeleteValueA(k, name);
  RegCloseKey(k);
}

// Runs this program again with "--child" and the adjusted font settings;
// returns the child's exit code.
int RunChildWithChineseSystemFont() {
  SavedValue systemFont = ReadValue(kSystemFontsKey, "FONTS.FON");
  SavedValue subst = ReadValue(kFontSubstKey, kSystemSubst);
  WriteValue(kSystemFontsKey, "FONTS.FON", SavedValue{});
  WriteValue(kFontSubstKey, kSystemSubst, SavedValue{true, "WenQuanYi Micro Hei,134"});

  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string command = std::string("\"") + path + "\" --child";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi = {};
  DWORD code = 1;
  fflush(stdout);
  if (CreateProcessA(path, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    printf("FAIL: system.child_started: error %lu\n", GetLastError());
  }
  WriteValue(kSystemFontsKey, "FONTS.FON", systemFont);
  WriteValue(kFontSubstKey, kSystemSubst, subst);
  return static_cast<int>(code);
}

int RunChecks() {
  // The settings path has no drive letter: make sure it means drive C.
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof cwd, cwd);
  if ((cwd[0] | 0x20) != 'c') SetCurrentDirectoryA("C:\\");

  Check(GetACP() == 936, "system.ansi_code_page_936", "code page %u", GetACP());

  WNDCLASSA wc = {};
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  wc.lpszClassName = "VendrixTestHost";
  RegisterClassA(&wc);

  vx::PluginContext ctx(vx::win32::SystemPlatform());
  vx::win32::SetProcedureTarget(&ctx);
  ctx.host.Attach(0, 0, 0, Addr(g_view));

  HWND owner = nullptr;
  MenuCases(ctx, &owner);
  if (Check(owner != nullptr, "menu.owner_window")) DialogCases(ctx, owner);

  printf("dialog_ui_test: %d passed, %d failed\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return RunChecks();
  return RunChildWithChineseSystemFont();
}
