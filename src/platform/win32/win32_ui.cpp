// Menus and in-memory dialogs through the ANSI user-interface calls.
#include <windows.h>

#include "config/dialog.h"
#include "platform/win32/win32_platform.h"

namespace vx::win32 {
namespace {

HWND Wnd(Handle h) { return reinterpret_cast<HWND>(h); }
HMENU Menu(Handle h) { return reinterpret_cast<HMENU>(h); }

class SystemMenuApi final : public MenuApi {
 public:
  Handle GetMenu(Handle window) override {
    return reinterpret_cast<Handle>(::GetMenu(Wnd(window)));
  }
  int GetMenuItemCount(Handle menu) override { return ::GetMenuItemCount(Menu(menu)); }
  bool GetMenuItemInfo(Handle menu, uint32_t position, MenuItemText* info, char* text,
                       uint32_t capacity) override {
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_STRING | MIIM_SUBMENU | MIIM_ID | MIIM_FTYPE;
    mii.dwTypeData = text;
    mii.cch = text ? capacity : 0;
    if (!::GetMenuItemInfoA(Menu(menu), position, TRUE, &mii)) return false;
    info->Type = mii.fType;
    info->Id = mii.wID;
    info->SubMenu = reinterpret_cast<Handle>(mii.hSubMenu);
    info->Length = mii.cch;
    return true;
  }
  bool InsertMenu(Handle menu, uint32_t position, uint32_t flags, uintptr_t id,
                  const char* text) override {
    return ::InsertMenuA(Menu(menu), position, flags, id, text) != FALSE;
  }
};

// The plug-in's dialogs all belong to the one plug-in context.
INT_PTR CALLBACK DialogTrampoline(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  PluginContext* ctx = ProcedureTarget();
  if (ctx == nullptr) return FALSE;
  return static_cast<INT_PTR>(ConfigDialogProc(*ctx, reinterpret_cast<Handle>(dialog), message,
                                               static_cast<uintptr_t>(wParam),
                                               static_cast<intptr_t>(lParam)));
}

class SystemDialogApi final : public DialogApi {
 public:
  uint8_t* AllocTemplate(uint32_t size) override {
    HGLOBAL memory = ::GlobalAlloc(GMEM_ZEROINIT, size);
    if (memory == nullptr) return nullptr;
    void* block = ::GlobalLock(memory);
    if (block == nullptr) ::GlobalFree(memory);
    return static_cast<uint8_t*>(block);
  }
  void FreeTemplate(uint8_t* block) override {
    if (block == nullptr) return;
    HGLOBAL memory = ::GlobalHandle(block);
    if (memory == nullptr) return;
    ::GlobalUnlock(memory);
    ::GlobalFree(memory);
  }
  int AnsiToWide(const char* text, uint16_t* out, int capacity) override {
    return ::MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<wchar_t*>(out),
                                 capacity);
  }
  Handle ProcessInstance() override {
    return reinterpret_cast<Handle>(::GetModuleHandleA(nullptr));
  }
  intptr_t RunDialog(Handle instance, const uint8_t* block, Handle parent) override {
    return ::DialogBoxIndirectParamA(reinterpret_cast<HINSTANCE>(instance),
                                     reinterpret_cast<LPCDLGTEMPLATEA>(block), Wnd(parent),
                                     DialogTrampoline, 0);
  }
  void EndDialog(Handle dialog, intptr_t result) override { ::EndDialog(Wnd(dialog), result); }
  void SetItemText(Handle dialog, int id, const char* text) override {
    ::SetDlgItemTextA(Wnd(dialog), id, text);
  }
  void CheckRadio(Handle dialog, int first, int last, int check) override {
    ::CheckRadioButton(Wnd(dialog), first, last, check);
  }
};

SystemMenuApi g_menus;
SystemDialogApi g_dialogs;

}  // namespace

MenuApi* SystemMenus() { return &g_menus; }
DialogApi* SystemDialogs() { return &g_dialogs; }

}  // namespace vx::win32
