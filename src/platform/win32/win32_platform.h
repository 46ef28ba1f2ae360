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

// One adapter object each, living as long as the process.
HostMemory* SystemMemory();     // win32_memory.cpp
HidApi* SystemHid();            // win32_hid.cpp
WindowApi* SystemWindows();     // win32_window.cpp
FileApi* SystemFiles();         // win32_system.cpp
ConsoleApi* SystemConsole();    // win32_system.cpp
ClockApi* SystemClock();        // win32_system.cpp
LockApi* SystemBoardLock();     // win32_system.cpp

// Menus and dialogs (win32_ui.cpp).
MenuApi* SystemMenus();
DialogApi* SystemDialogs();

}  // namespace win32
}  // namespace vx
