// The 21 functions the host calls, undecorated and cdecl (names from
// vendrix.def). Each forwards to the one process-wide plug-in context.
#include <cstdint>

#include "platform/win32/win32_platform.h"
#include "plugin/plugin_context.h"

namespace {

// Created on first use and never destroyed: the plug-in keeps its device,
// board handle and window subclassing until the process ends, and nothing
// may talk to the board from inside the loader lock at unload.
vx::PluginContext& Plugin() {
  static vx::PluginContext* ctx = [] {
    auto* c = new vx::PluginContext(vx::win32::SystemPlatform());
    vx::win32::SetProcedureTarget(c);
    return c;
  }();
  return *ctx;
}

vx::HostAddr Addr(void* p) { return static_cast<vx::HostAddr>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

extern "C" {

unsigned char InitControl(void* engine, void* settings, void* planner, void* view) {
  return Plugin().InitControl(Addr(engine), Addr(settings), Addr(planner), Addr(view));
}
void PostInitControl() { Plugin().PostInitControl(); }
const char* SetProName(const char* name) { return vx::PluginContext::SetProName(name); }
// Exported as both Config and StopPlug: neither does anything.
void EmptyEntry() {}
void Update() { Plugin().Update(); }
void Notify(int code) { Plugin().Notify(code); }
void DoDwell(double time) { Plugin().DoDwell(time); }
void Reset() { Plugin().Reset(); }
void JogOn(int axis, int direction, double speed) { Plugin().JogOn(axis, direction, speed); }
void JogOff(int axis) { Plugin().JogOff(axis); }
void Purge(int flags) { Plugin().Purge(flags); }
void Probe() { Plugin().Probe(); }
void Home(int axis) { Plugin().Home(axis); }
void SetGetMenuRange(vx::GetMenuRangeFn f) { Plugin().SetGetMenuRange(f); }
void SetDoButton(vx::DoButtonFn f) { Plugin().SetDoButton(f); }
void SetSetDRO(vx::SetDroFn f) { Plugin().SetSetDRO(f); }
void SetGetDRO(vx::GetDroFn f) { Plugin().SetGetDRO(f); }
void SetGetLED(vx::GetLedFn f) { Plugin().SetGetLED(f); }
void SetSetLED(vx::SetLedFn f) { Plugin().SetSetLED(f); }
void SetCode(vx::CodeFn f) { Plugin().SetCode(f); }

}  // extern "C"
