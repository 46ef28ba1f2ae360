// The real Windows backend of the platform seam.
#pragma once

#include "platform/platform.h"

namespace vx {
class PluginContext;
namespace win32 {

// The process-wide backend objects.
Platform SystemPlatform();
// The context that the plug-in's window and dialog procedures serve.
void SetProcedureTarget(PluginContext* ctx);
PluginContext* ProcedureTarget();

// Menus and dialogs (win32_ui.cpp).
MenuApi* SystemMenus();
DialogApi* SystemDialogs();

}  // namespace win32
}  // namespace vx
