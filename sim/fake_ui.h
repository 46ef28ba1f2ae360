// Fakes of the menu and dialog seams: a host menu bar that can be scanned
// and extended, and a dialog manager that keeps the template it is given
// and drives the plug-in's dialog procedure through a scripted session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vx {
class PluginContext;
}

namespace vx::sim {

class FakeMenus : public MenuApi {
 public:
  // Which GetMenuItemInfo query of an item fails.
  enum class Fail { None, LengthQuery, TextQuery };

  struct Item {
    std::string Title;  // bytes as GetMenuItemInfoA returns them
    Handle SubMenu = 0;
    Fail Failure = Fail::None;
  };
  struct Insert {
    Handle Menu;
    uint32_t Position;
    uint32_t Flags;
    uintptr_t Id;
    std::string Text;
  };
  struct Query {
    uint32_t Position;
    bool WithBuffer;
    uint32_t Capacity;
  };

  // The window whose menu bar this is.
  Handle Window = 0x10010;
  Handle Bar = 0x20020;

  std::vector<Item> Items;
  std::vector<Insert> Inserts;
  std::vector<Query> Queries;

  // Appends a top-level item; with a submenu it returns the submenu handle.
  Handle Add(const std::string& title, bool withSubMenu = true,
             Fail failure = Fail::None);

  Handle GetMenu(Handle window) override;
  int GetMenuItemCount(Handle menu) override;
  bool GetMenuItemInfo(Handle menu, uint32_t position, MenuItemText* info,
                       char* text, uint32_t capacity) override;
  bool InsertMenu(Handle menu, uint32_t position, uint32_t flags, uintptr_t id,
                  const char* text) override;

 private:
  Handle next_sub_ = 0x30030;
};

class FakeDialogs : public DialogApi {
 public:
  struct Message {
    uint32_t Msg;
    uintptr_t WParam;
    intptr_t LParam;
  };
  struct TextCall {
    Handle Dialog;
    int Id;
    std::string Text;
  };
  struct RadioCall {
    Handle Dialog;
    int First, Last, Check;
  };
  struct EndCall {
    Handle Dialog;
    intptr_t Result;
  };
  // RunDialog's result when the script ran out before EndDialog.
  static constexpr intptr_t kNotEnded = -2;
  // Bytes after the template block that must stay untouched.
  static constexpr uint32_t kGuardSize = 256;
  static constexpr uint8_t kGuardByte = 0xA5;

  // The context whose ConfigDialogProc the scripted session calls.
  PluginContext* Target = nullptr;
  Handle Instance = 0x400000;
  Handle DialogHandle = 0x50050;
  bool FailAlloc = false;
  bool FailCreate = false;
  // Sent after WM_INITDIALOG, until EndDialog is called.
  std::vector<Message> Script;

  // Records.
  int Allocs = 0;
  int Frees = 0;
  bool GuardBroken = false;  // a write past the block's size was seen
  int RunCalls = 0;
  Handle RunInstance = 0;
  Handle RunParent = 0;
  std::vector<uint8_t> Template;  // the block as RunDialog received it
  int MaxTextCapacity = 0;        // largest capacity handed to AnsiToWide
  std::vector<intptr_t> ProcResults;
  std::vector<TextCall> Texts;
  std::vector<RadioCall> Radios;
  std::vector<EndCall> Ends;

  ~FakeDialogs() override;

  uint8_t* AllocTemplate(uint32_t size) override;
  void FreeTemplate(uint8_t* block) override;
  // CP936 to UTF-16 as MultiByteToWideChar(CP_ACP, 0, text, -1, ...) does
  // on a Chinese system, for ASCII and the characters of the plug-in's
  // texts; other double-byte characters become U+FFFD.
  int AnsiToWide(const char* text, uint16_t* out, int capacity) override;
  Handle ProcessInstance() override { return Instance; }
  intptr_t RunDialog(Handle instance, const uint8_t* block, Handle parent) override;
  void EndDialog(Handle dialog, intptr_t result) override;
  void SetItemText(Handle dialog, int id, const char* text) override;
  void CheckRadio(Handle dialog, int first, int last, int check) override;

 private:
  std::vector<uint8_t> block_;
  uint32_t block_size_ = 0;
  bool ended_ = false;
};

}  // namespace vx::sim
