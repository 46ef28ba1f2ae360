// The configuration dialog (pulse frequency, firmware version, serial
// number), built in memory at run time, and the menu item that opens it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vx {

class PluginContext;

// Appends "TQ-Vendrix" to the host's "PlugIn Control" menu.
void AddMenuEntry(PluginContext& ctx);
// Runs the dialog modally over MainWindow; returns RunModal's result.
intptr_t OpenConfigDialog(PluginContext& ctx);
// The dialog procedure: nonzero for the messages it handles.
intptr_t ConfigDialogProc(PluginContext& ctx, Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t lParam);

}  // namespace vx
