#include "sim/fake_ui.h"

#include <algorithm>
#include <cstring>

#include "config/dialog.h"

namespace vx::sim {

// ---- FakeMenus

Handle FakeMenus::Add(const std::string& title, bool withSubMenu, Fail failure) {
  Item item;
  item.Title = title;
  item.Failure = failure;
  if (withSubMenu) item.SubMenu = next_sub_++;
  Items.push_back(item);
  return item.SubMenu;
}

Handle FakeMenus::GetMenu(Handle window) { return window == Window ? Bar : 0; }

int FakeMenus::GetMenuItemCount(Handle menu) {
  return menu == Bar ? static_cast<int>(Items.size()) : -1;
}

bool FakeMenus::GetMenuItemInfo(Handle menu, uint32_t position, MenuItemText* info, char* text,
                                uint32_t capacity) {
  Queries.push_back({position, text != nullptr, capacity});
  if (menu != Bar || position >= Items.size()) return false;
  const Item& item = Items[position];
  if (item.Failure == Fail::LengthQuery && text == nullptr) return false;
  if (item.Failure == Fail::TextQuery && text != nullptr) return false;
  info->Type = 0;  // MFT_STRING
  info->Id = item.SubMenu != 0 ? static_cast<uint32_t>(item.SubMenu) : 1000 + position;
  info->SubMenu = item.SubMenu;
  uint32_t length = static_cast<uint32_t>(item.Title.size());
  if (text == nullptr || capacity == 0) {
    info->Length = length;
    return true;
  }
  // As Windows does: copy what fits, always terminated.
  uint32_t copied = std::min(length, capacity - 1);
  std::memcpy(text, item.Title.data(), copied);
  text[copied] = 0;
  info->Length = copied;
  return true;
}

bool FakeMenus::InsertMenu(Handle menu, uint32_t position, uint32_t flags, uintptr_t id,
                           const char* text) {
  Inserts.push_back({menu, position, flags, id, text ? text : ""});
  return true;
}

// ---- FakeDialogs

FakeDialogs::~FakeDialogs() = default;

uint8_t* FakeDialogs::AllocTemplate(uint32_t size) {
  if (FailAlloc) return nullptr;
  ++Allocs;
  block_.assign(size + kGuardSize, kGuardByte);
  std::fill(block_.begin(), block_.begin() + size, 0);  // GMEM_ZEROINIT
  block_size_ = size;
  return block_.data();
}

void FakeDialogs::FreeTemplate(uint8_t* block) {
  if (block != block_.data()) return;
  ++Frees;
  for (uint32_t i = block_size_; i < block_.size(); ++i)
    if (block_[i] != kGuardByte) GuardBroken = true;
  block_.clear();
  block_size_ = 0;
}

namespace {
struct GbkChar {
  uint8_t Lead, Trail;
  uint16_t Unit;
};
// The double-byte characters of the plug-in's dialog texts.
constexpr GbkChar kGbk[] = {
    {0xB0, 0xE6, 0x7248},  // 版
    {0xB1, 0xBE, 0x672C},  // 本
    {0xB4, 0xAE, 0x4E32},  // 串
    {0xBA, 0xC5, 0x53F7},  // 号
    {0xCD, 0xCB, 0x9000},  // 退
    {0xB3, 0xF6, 0x51FA},  // 出
    {0xB1, 0xA3, 0x4FDD},  // 保
    {0xB4, 0xE6, 0x5B58},  // 存
};

uint16_t DecodePair(uint8_t lead, uint8_t trail) {
  for (const GbkChar& c : kGbk)
    if (c.Lead == lead && c.Trail == trail) return c.Unit;
  return 0xFFFD;
}
}  // namespace

int FakeDialogs::AnsiToWide(const char* text, uint16_t* out, int capacity) {
  MaxTextCapacity = std::max(MaxTextCapacity, capacity);
  std::vector<uint16_t> units;
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  while (*p != 0) {
    uint8_t b = *p++;
    if (b < 0x80) {
      units.push_back(b);
    } else if (b >= 0x81 && b <= 0xFE && *p >= 0x40 && *p <= 0xFE && *p != 0x7F) {
      units.push_back(DecodePair(b, *p++));
    } else {
      units.push_back(0xFFFD);
    }
  }
  units.push_back(0);
  // MultiByteToWideChar fails whole when the buffer is too small.
  if (capacity <= 0 || units.size() > static_cast<size_t>(capacity)) return 0;
  std::copy(units.begin(), units.end(), out);
  return static_cast<int>(units.size());
}

intptr_t FakeDialogs::RunDialog(Handle instance, const uint8_t* block, Handle parent) {
  ++RunCalls;
  RunInstance = instance;
  RunParent = parent;
  Template.assign(block, block + (block == block_.data() ? block_size_ : kTemplateSize));
  if (FailCreate || Target == nullptr) return -1;
  ended_ = false;
  intptr_t result = kNotEnded;
  size_t before = Ends.size();
  ProcResults.push_back(ConfigDialogProc(*Target, DialogHandle, kWmInitDialog, 0, 0));
  for (const Message& m : Script) {
    if (ended_) break;
    ProcResults.push_back(ConfigDialogProc(*Target, DialogHandle, m.Msg, m.WParam, m.LParam));
  }
  if (Ends.size() > before) result = Ends.back().Result;
  return result;
}

void FakeDialogs::EndDialog(Handle dialog, intptr_t result) {
  Ends.push_back({dialog, result});
  ended_ = true;
}

void FakeDialogs::SetItemText(Handle dialog, int id, const char* text) {
  Texts.push_back({dialog, id, text ? text : ""});
}

void FakeDialogs::CheckRadio(Handle dialog, int first, int last, int check) {
  Radios.push_back({dialog, first, last, check});
}

}  // namespace vx::sim
