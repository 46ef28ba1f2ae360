// Placeholder until the menu and dialog adapters land.
#include "platform/win32/win32_platform.h"

namespace vx::win32 {
MenuApi* SystemMenus() { return nullptr; }
DialogApi* SystemDialogs() { return nullptr; }
}  // namespace vx::win32
