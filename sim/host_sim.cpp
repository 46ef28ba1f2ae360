#include "sim/host_sim.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "plugin/plugin_context.h"

namespace vx {
namespace sim {
namespace {

namespace he = host::engine;
namespace hp = host::planner;
namespace hs = host::string;

HostSim* g_active = nullptr;

constexpr uint32_t kManagerObjectSize = 32;
constexpr uint32_t kFrameObjectSize = 64;
constexpr uint8_t kFreedFill = 0xDD;  // freed heap bytes, to expose stale reads

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::out_of_range(what);
}

}  // namespace

HostSim::HostSim() : arena_(kArenaSize, 0) {
  next_ = kBase + 0x1000;  // nothing lives at the base itself
  engine_ = Place(he::Size, 0x1000);
  settings_ = Place(host::settings::Size, 0x1000);
  planner_ = Place(hp::Size, 0x1000);
  view_ = Place(host::view::Size, 0x1000);
  hostManager_ = Place(kManagerObjectSize, 16);
  pluginManager_ = Place(kManagerObjectSize, 16);
  std::memcpy(Ptr(hostManager_, 4), "HMGR", 4);
  std::memcpy(Ptr(pluginManager_, 4), "PMGR", 4);
  frame_ = Place(kFrameObjectSize, 16);
  Poke<uint32_t>(frame_ + host::view::FrameWindowHandle, static_cast<uint32_t>(kMainWindow));
  jogFullSpeed_ = Place(4, 4);
  Poke<uint32_t>(view_ + host::view::JogFullSpeed, jogFullSpeed_);
  Poke<uint32_t>(view_ + host::view::MainFrame, frame_);
  heapBegin_ = Place(0, 64);
  heapEnd_ = kBase + kArenaSize;
  freeBlocks_[heapBegin_] = heapEnd_ - heapBegin_;

  SetStatusChars(MakeString(hostManager_, "", 0, 1));

  Dro = {{57, 24000.0}, {74, 100.0}, {817, 0.0}, {800, 0.0},
         {801, 0.0},    {802, 0.0},  {818, 100.0}};
  Activate();
}

HostSim::~HostSim() {
  if (g_active == this) g_active = nullptr;
}

void HostSim::Activate() { g_active = this; }
HostSim* HostSim::Active() { return g_active; }

HostAddr HostSim::Place(uint32_t size, uint32_t align) {
  HostAddr at = (next_ + align - 1) & ~(align - 1);
  if (static_cast<uint64_t>(at) + size > static_cast<uint64_t>(kBase) + kArenaSize) {
    throw std::length_error("host arena too small");
  }
  next_ = at + size;
  return at;
}

HostAddr HostSim::Addr(Struct s, uint32_t offset) const {
  switch (s) {
    case Struct::Engine: return engine_ + offset;
    case Struct::Settings: return settings_ + offset;
    case Struct::Planner: return planner_ + offset;
    case Struct::View: return view_ + offset;
  }
  return 0;
}

std::string HostSim::Describe(HostAddr a) const {
  struct Region {
    const char* name;
    HostAddr begin;
    uint32_t size;
  };
  const Region regions[] = {
      {"Engine", engine_, he::Size},
      {"HostSettings", settings_, host::settings::Size},
      {"MainPlanner", planner_, hp::Size},
      {"HostView", view_, host::view::Size},
      {"HostStringManager", hostManager_, kManagerObjectSize},
      {"PluginStringManager", pluginManager_, kManagerObjectSize},
      {"MainFrame", frame_, kFrameObjectSize},
      {"JogFullSpeedByte", jogFullSpeed_, 4},
      {"heap", heapBegin_, heapEnd_ - heapBegin_},
  };
  for (const Region& r : regions) {
    if (a >= r.begin && a - r.begin < r.size) {
      return std::string(r.name) + "+" + std::to_string(a - r.begin);
    }
  }
  return Hex(a);
}

uint8_t* HostSim::Ptr(HostAddr addr, uint32_t size) {
  if (addr < kBase) return nullptr;
  uint64_t off = addr - kBase;
  if (off + size > kArenaSize) return nullptr;
  return arena_.data() + off;
}

const uint8_t* HostSim::Ptr(HostAddr addr, uint32_t size) const {
  return const_cast<HostSim*>(this)->Ptr(addr, size);
}

HostView HostSim::View() {
  HostView v(this);
  v.Attach(engine_, settings_, planner_, view_);
  HostCallbacks& cb = v.Callbacks();
  cb.GetDRO = &CbGetDRO;
  cb.SetDRO = &CbSetDRO;
  cb.GetLED = &CbGetLED;
  cb.SetLED = &CbSetLED;
  cb.DoButton = &CbDoButton;
  cb.Code = &CbCode;
  cb.GetMenuRange = &CbGetMenuRange;
  return v;
}

void HostSim::InstallCallbacks(PluginContext& ctx) {
  ctx.SetGetMenuRange(&CbGetMenuRange);
  ctx.SetDoButton(&CbDoButton);
  ctx.SetSetDRO(&CbSetDRO);
  ctx.SetGetDRO(&CbGetDRO);
  ctx.SetGetLED(&CbGetLED);
  ctx.SetSetLED(&CbSetLED);
  ctx.SetCode(&CbCode);
}

uint8_t HostSim::InitControl(PluginContext& ctx) {
  return ctx.InitControl(engine_, settings_, planner_, view_);
}

// ---- HostMemory

uint8_t* HostSim::Map(HostAddr addr, uint32_t size, bool write) {
  uint8_t* p = Ptr(addr, size);
  if (p == nullptr || !write || !logWrites_ || size == 0) return p;
  HostAddr b = addr, e = addr + size;
  auto it = written_.upper_bound(b);
  if (it != written_.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= e) return p;  // already covered
    if (prev->second >= b) {
      b = prev->first;
      it = written_.erase(prev);
    }
  }
  while (it != written_.end() && it->first <= e) {
    e = std::max(e, it->second);
    it = written_.erase(it);
  }
  written_[b] = e;
  return p;
}

std::vector<ByteRange> HostSim::WrittenRanges() const {
  std::vector<ByteRange> out;
  for (const auto& [b, e] : written_) out.push_back(ByteRange{b, e - b});
  return out;
}

std::vector<ByteRange> HostSim::WritesOutside(const std::vector<ByteRange>& allowed) const {
  std::vector<ByteRange> sorted = allowed;
  std::sort(sorted.begin(), sorted.end(),
            [](const ByteRange& x, const ByteRange& y) { return x.Begin < y.Begin; });
  std::vector<ByteRange> out;
  for (const auto& [wb, we] : written_) {
    HostAddr pos = wb;
    for (const ByteRange& r : sorted) {
      if (r.End() <= pos) continue;
      if (r.Begin >= we) break;
      if (r.Begin > pos) out.push_back(ByteRange{pos, r.Begin - pos});
      pos = std::max(pos, r.End());
      if (pos >= we) break;
    }
    if (pos < we) out.push_back(ByteRange{pos, we - pos});
  }
  return out;
}

std::string HostSim::DescribeRanges(const std::vector<ByteRange>& ranges) const {
  std::string s;
  for (const ByteRange& r : ranges) {
    if (!s.empty()) s += "; ";
    s += Describe(r.Begin) + " (" + std::to_string(r.Size) + (r.Size == 1 ? " byte)" : " bytes)");
  }
  return s;
}

bool HostSim::WasWritten(ByteRange r) const {
  for (const auto& [b, e] : written_) {
    if (b < r.End() && r.Begin < e) return true;
  }
  return false;
}

// ---- String heap and managers

HostAddr HostSim::HeapAlloc(uint32_t size) {
  size = (std::max<uint32_t>(size, 8) + 7) & ~7u;
  for (auto it = freeBlocks_.begin(); it != freeBlocks_.end(); ++it) {
    if (it->second < size) continue;
    HostAddr at = it->first;
    uint32_t rest = it->second - size;
    freeBlocks_.erase(it);
    if (rest > 0) freeBlocks_[at + size] = rest;
    blocks_[at] = size;
    return at;
  }
  return 0;
}

void HostSim::HeapFree(HostAddr at) {
  auto it = blocks_.find(at);
  if (it == blocks_.end()) return;
  uint32_t size = it->second;
  blocks_.erase(it);
  std::memset(Ptr(at, size), kFreedFill, size);
  auto next = freeBlocks_.lower_bound(at);
  if (next != freeBlocks_.end() && next->first == at + size) {
    size += next->second;
    next = freeBlocks_.erase(next);
  }
  if (next != freeBlocks_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == at) {
      prev->second += size;
      return;
    }
  }
  freeBlocks_[at] = size;
}

bool HostSim::TakeAllocation() {
  if (allocBudget_ < 0) return true;
  if (allocBudget_ == 0) return false;
  --allocBudget_;
  return true;
}

void HostSim::HeapError(const std::string& what) { heapErrors_.push_back(what); }

HostAddr HostSim::StringAllocate(HostAddr manager, int32_t chars) {
  ++managerCalls_[manager].Allocate;
  if (!KnownManager(manager)) {
    HeapError("allocate through unknown manager " + Hex(manager));
    return 0;
  }
  if (chars < 0) {
    HeapError("allocate of " + std::to_string(chars) + " characters");
    return 0;
  }
  if (!TakeAllocation()) return 0;
  uint64_t need = uint64_t(hs::HeaderSize) + uint64_t(chars) + 1;
  if (need > heapEnd_ - heapBegin_) return 0;
  HostAddr h = HeapAlloc(static_cast<uint32_t>(need));
  if (h == 0) return 0;
  Poke<uint32_t>(h + hs::Manager, manager);
  Poke<int32_t>(h + hs::Length, 0);
  Poke<int32_t>(h + hs::Allocated, chars);
  Poke<int32_t>(h + hs::RefCount, 1);
  Poke<uint8_t>(h + hs::HeaderSize, 0);
  return h;
}

HostAddr HostSim::StringReallocate(HostAddr manager, HostAddr header, int32_t chars) {
  ++managerCalls_[manager].Reallocate;
  if (blocks_.count(header) == 0) {
    HeapError("reallocate of " + Describe(header) + ", not an allocated string");
    return 0;
  }
  StringHeader old = HeaderOf(header + hs::HeaderSize);
  if (old.Manager != manager) {
    HeapError("reallocate of " + Describe(header) + " through another manager");
    return 0;
  }
  if (chars < old.Length) {
    HeapError("reallocate below the text length");
    return 0;
  }
  if (!TakeAllocation()) return 0;
  uint64_t need = uint64_t(hs::HeaderSize) + uint64_t(chars) + 1;
  if (need > heapEnd_ - heapBegin_) return 0;
  HostAddr h = HeapAlloc(static_cast<uint32_t>(need));
  if (h == 0) return 0;
  std::memcpy(Ptr(h, hs::HeaderSize + old.Length + 1), Ptr(header, hs::HeaderSize + old.Length + 1),
              hs::HeaderSize + old.Length + 1);
  Poke<int32_t>(h + hs::Allocated, chars);
  HeapFree(header);
  return h;
}

void HostSim::StringFree(HostAddr manager, HostAddr header) {
  ++managerCalls_[manager].Free;
  if (blocks_.count(header) == 0) {
    HeapError("free of " + Describe(header) + ", not an allocated string");
    return;
  }
  StringHeader h = HeaderOf(header + hs::HeaderSize);
  if (h.Manager != manager) HeapError("free of " + Describe(header) + " through another manager");
  if (h.RefCount > 0) HeapError("free of " + Describe(header) + " while still referenced");
  HeapFree(header);
}

void HostSim::StatusPosted() {
  std::string text = StatusText();
  Events.push_back("status: " + text);
  statusHistory_.push_back(std::move(text));
  if (OnStatusPosted) OnStatusPosted();
}

HostAddr HostSim::MakeString(HostAddr manager, const std::string& text, int32_t allocated,
                             int32_t refCount) {
  int32_t len = static_cast<int32_t>(text.size());
  if (allocated < len) allocated = len;
  HostAddr h = HeapAlloc(hs::HeaderSize + static_cast<uint32_t>(allocated) + 1);
  if (h == 0) throw std::length_error("host string heap exhausted");
  Poke<uint32_t>(h + hs::Manager, manager);
  Poke<int32_t>(h + hs::Length, len);
  Poke<int32_t>(h + hs::Allocated, allocated);
  Poke<int32_t>(h + hs::RefCount, refCount);
  std::memcpy(Ptr(h + hs::HeaderSize, len + 1), text.c_str(), text.size() + 1);
  return h + hs::HeaderSize;
}

StringHeader HostSim::HeaderOf(HostAddr chars) const {
  StringHeader h;
  HostAddr header = chars - hs::HeaderSize;
  h.Manager = Peek<uint32_t>(header + hs::Manager);
  h.Length = Peek<int32_t>(header + hs::Length);
  h.Allocated = Peek<int32_t>(header + hs::Allocated);
  h.RefCount = Peek<int32_t>(header + hs::RefCount);
  return h;
}

std::string HostSim::TextAt(HostAddr chars) const {
  StringHeader h = HeaderOf(chars);
  if (h.Length < 0) return {};
  const uint8_t* p = Ptr(chars, static_cast<uint32_t>(h.Length));
  if (p == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(h.Length));
}

const char* HostSim::NativeChars(HostAddr chars) const {
  return reinterpret_cast<const char*>(Ptr(chars, 1));
}

ManagerCalls HostSim::CallsOn(HostAddr manager) const {
  auto it = managerCalls_.find(manager);
  return it == managerCalls_.end() ? ManagerCalls{} : it->second;
}

HostAddr HostSim::StatusChars() const { return Peek<uint32_t>(planner_ + hp::StatusMessage); }
void HostSim::SetStatusChars(HostAddr chars) { Poke<uint32_t>(planner_ + hp::StatusMessage, chars); }
std::string HostSim::StatusText() const { return TextAt(StatusChars()); }

// ---- Callbacks

void HostSim::ClearCallLog() {
  DoButtons.clear();
  SetDroCalls.clear();
  SetLedCalls.clear();
  CodeCalls.clear();
  MenuRangeRequests.clear();
  DroReads.clear();
  LedReads.clear();
  Events.clear();
}

double HostSim::CbGetDRO(int code) {
  HostSim* s = g_active;
  if (s == nullptr) return 0.0;
  ++s->DroReads[code];
  auto it = s->Dro.find(code);
  return it == s->Dro.end() ? 0.0 : it->second;
}

void HostSim::CbSetDRO(int code, double value) {
  HostSim* s = g_active;
  if (s == nullptr) return;
  s->Dro[code] = value;
  s->SetDroCalls.emplace_back(code, value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "SetDRO(%d, %g)", code, value);
  s->Events.push_back(buf);
}

uint8_t HostSim::CbGetLED(int code) {
  HostSim* s = g_active;
  if (s == nullptr) return 0;
  ++s->LedReads[code];
  auto it = s->Led.find(code);
  return (it != s->Led.end() && it->second) ? 1 : 0;
}

void HostSim::CbSetLED(int code, uint8_t on) {
  HostSim* s = g_active;
  if (s == nullptr) return;
  s->Led[code] = on != 0;
  s->SetLedCalls.emplace_back(code, on != 0);
  s->Events.push_back("SetLED(" + std::to_string(code) + ", " + std::to_string(on) + ")");
}

void HostSim::CbDoButton(int code) {
  HostSim* s = g_active;
  if (s == nullptr) return;
  s->DoButtons.push_back(code);
  s->Events.push_back("DoButton(" + std::to_string(code) + ")");
}

void HostSim::CbCode(const char* text) {
  HostSim* s = g_active;
  if (s == nullptr) return;
  s->CodeCalls.emplace_back(text ? text : "");
  s->Events.push_back("Code(" + s->CodeCalls.back() + ")");
}

int HostSim::CbGetMenuRange(int count) {
  HostSim* s = g_active;
  if (s == nullptr) return 0;
  s->MenuRangeRequests.push_back(count);
  s->Events.push_back("GetMenuRange(" + std::to_string(count) + ")");
  return s->MenuFirstId;
}

// ---- Host configuration

HostAddr HostSim::AxisField(int axis, uint32_t field) const {
  Check(axis >= 0 && axis < 7, "axis record index");
  return engine_ + he::Axis + he::AxisSize * static_cast<uint32_t>(axis) + field;
}
HostAddr HostSim::InField(int signal, uint32_t field) const {
  Check(signal >= 0 && signal < host::kInSignals, "input signal index");
  return engine_ + he::InSignal + he::InSignalSize * static_cast<uint32_t>(signal) + field;
}
HostAddr HostSim::OutField(int output, uint32_t field) const {
  Check(output >= 0 && output < host::kOutSignals, "output signal index");
  return engine_ + he::OutSignal + he::OutSignalSize * static_cast<uint32_t>(output) + field;
}

// Per-axis arrays of the host hold six entries.
static uint32_t Axis6(int axis) {
  Check(axis >= 0 && axis < 6, "per-axis array index");
  return static_cast<uint32_t>(axis);
}

void HostSim::SetAxisTuning(int axis, double steps, double vel, double acc) {
  uint32_t a = Axis6(axis);
  Poke<double>(planner_ + hp::Steps + 8 * a, steps);
  Poke<double>(planner_ + hp::Vel + 8 * a, vel);
  Poke<double>(planner_ + hp::Acc + 8 * a, acc);
}

void HostSim::SetInput(int signal, bool active, int pin, int port, bool negated) {
  Poke<uint8_t>(InField(signal, he::InActive), active ? 1 : 0);
  Poke<int8_t>(InField(signal, he::InPin), static_cast<int8_t>(pin));
  Poke<int8_t>(InField(signal, he::InPort), static_cast<int8_t>(port));
  Poke<uint8_t>(InField(signal, he::InNegated), negated ? 1 : 0);
}
bool HostSim::InputActivated(int signal) const {
  return Peek<uint8_t>(InField(signal, he::InActivated)) != 0;
}
void HostSim::SetInputActivated(int signal, bool on) {
  Poke<uint8_t>(InField(signal, he::InActivated), on ? 1 : 0);
}

void HostSim::SetOutput(int output, bool active, bool negated, bool activated) {
  Poke<uint8_t>(OutField(output, he::OutActive), active ? 1 : 0);
  Poke<uint8_t>(OutField(output, he::OutNegated), negated ? 1 : 0);
  Poke<uint8_t>(OutField(output, he::OutActivated), activated ? 1 : 0);
}
void HostSim::SetOutputActivated(int output, bool on) {
  Poke<uint8_t>(OutField(output, he::OutActivated), on ? 1 : 0);
}

void HostSim::SetSoftLimits(int axis, int32_t lo, int32_t hi) {
  uint32_t a = Axis6(axis);
  Poke<int32_t>(engine_ + he::SlimLo + 4 * a, lo);
  Poke<int32_t>(engine_ + he::SlimHi + 4 * a, hi);
}
void HostSim::SetSoftLimitsEnable(bool on) { Poke<uint8_t>(engine_ + he::SoftLimitsEnable, on); }
void HostSim::SetJogReverse(int axis, bool on) {
  Poke<uint8_t>(engine_ + he::JogReverse + Axis6(axis), on);
}
void HostSim::SetHomePosition(int axis, int32_t steps) {
  Poke<int32_t>(engine_ + he::HomePosition + 4 * Axis6(axis), steps);
}
void HostSim::SetHoming(int axis, int32_t speedPercent, bool towardPositive) {
  uint32_t a = Axis6(axis);
  Poke<int32_t>(planner_ + hp::HomeSpeedPercent + 4 * a, speedPercent);
  Poke<uint8_t>(planner_ + hp::HomeDirection + a, towardPositive);
}
void HostSim::SetJogPercent(double percent) {
  Poke<double>(settings_ + host::settings::JogPercent, percent);
}
void HostSim::SetJogFullSpeed(bool on) { Poke<uint8_t>(jogFullSpeed_, on); }
void HostSim::SetProbeTarget(double x, double y, double z) {
  Poke<double>(planner_ + hp::ProbeTarget, x);
  Poke<double>(planner_ + hp::ProbeTarget + 8, y);
  Poke<double>(planner_ + hp::ProbeTarget + 16, z);
}
void HostSim::SetMachinePosition(int axis, double units) {
  Poke<double>(planner_ + hp::MachinePosition + 8 * Axis6(axis), units);
}
void HostSim::SetDwellMilliseconds(bool on) { Poke<uint8_t>(planner_ + hp::DwellMilliseconds, on); }
void HostSim::SetEStop(bool on) { Poke<uint8_t>(engine_ + he::EStop, on); }
void HostSim::SetOffLine(bool on) { Poke<uint8_t>(engine_ + he::OffLine, on); }
void HostSim::SetPosition(int axis, int32_t steps) {
  Poke<int32_t>(AxisField(axis, he::AxisPosition), steps);
}
void HostSim::SetResetFlags(int axis, bool a, bool b, bool c) {
  Poke<uint8_t>(AxisField(axis, he::AxisResetFlagA), a);
  Poke<uint8_t>(AxisField(axis, he::AxisResetFlagB), b);
  Poke<uint8_t>(AxisField(axis, he::AxisResetFlagC), c);
}
void HostSim::SetMotorResetFlag(int motor, bool on) {
  Check(motor >= 0 && motor < host::kMotors, "motor index");
  Poke<uint8_t>(engine_ + he::Motor + he::MotorSize * static_cast<uint32_t>(motor) +
                    he::MotorResetFlag,
                on);
}
void HostSim::SetSoftWait(uint64_t mask) { Poke<uint64_t>(planner_ + hp::SoftWait, mask); }
void HostSim::SetMainWindowHandle(Handle window) {
  Poke<uint32_t>(frame_ + host::view::FrameWindowHandle, static_cast<uint32_t>(window));
}

// ---- Host state

bool HostSim::EStop() const { return Peek<uint8_t>(engine_ + he::EStop) != 0; }
bool HostSim::Sync() const { return Peek<uint8_t>(engine_ + he::Sync) != 0; }
void HostSim::ClearSync() { Poke<uint8_t>(engine_ + he::Sync, 0); }
bool HostSim::EngineJogging() const { return Peek<uint8_t>(engine_ + he::Jogging) != 0; }
bool HostSim::PlannerJogging() const { return Peek<uint8_t>(planner_ + hp::Jogging) != 0; }
bool HostSim::HomingActive() const { return Peek<uint8_t>(engine_ + he::HomingActive) != 0; }
bool HostSim::AxisJogging(int axis) const { return Peek<uint8_t>(AxisField(axis, he::AxisJogging)) != 0; }
bool HostSim::JogStopSent(int axis) const {
  return Peek<uint8_t>(AxisField(axis, he::AxisJogStopSent)) != 0;
}
int32_t HostSim::JogVelocity(int axis) const { return Peek<int32_t>(AxisField(axis, he::AxisJogVelocity)); }
int32_t HostSim::Position(int axis) const { return Peek<int32_t>(AxisField(axis, he::AxisPosition)); }
bool HostSim::Referenced(int axis) const {
  return Peek<uint8_t>(engine_ + he::Referenced + Axis6(axis)) != 0;
}
int32_t HostSim::CurrentLine() const { return Peek<int32_t>(engine_ + he::CurrentLine); }
int32_t HostSim::LastLine() const { return Peek<int32_t>(engine_ + he::LastLine); }
int32_t HostSim::DwellTime() const { return Peek<int32_t>(engine_ + he::DwellTime); }
int32_t HostSim::ProbeActive() const { return Peek<int32_t>(engine_ + he::ProbeActive); }
int32_t HostSim::ProbePending() const { return Peek<int32_t>(planner_ + hp::ProbePending); }
bool HostSim::ExternalStill() const { return Peek<uint8_t>(planner_ + hp::ExternalStill) != 0; }
void HostSim::SetExternalStill(bool on) { Poke<uint8_t>(planner_ + hp::ExternalStill, on); }
uint64_t HostSim::SoftWait() const { return Peek<uint64_t>(planner_ + hp::SoftWait); }
double HostSim::PulseRate(int m) const {
  Check(m >= 0 && m < host::kPulseRates, "pulse rate index");
  return Peek<double>(planner_ + hp::PulseRate + 8 * static_cast<uint32_t>(m));
}
bool HostSim::InitFlag() const { return Peek<uint8_t>(view_ + host::view::InitFlag) != 0; }
int16_t HostSim::InitWord() const { return Peek<int16_t>(planner_ + hp::InitWord); }
double HostSim::InitReal() const { return Peek<double>(planner_ + hp::InitReal); }
int32_t HostSim::InitCount() const { return Peek<int32_t>(planner_ + hp::InitCount); }

// ---- Trajectory ring

int32_t HostSim::TrajIndex() const { return Peek<int32_t>(engine_ + he::TrajIndex); }
int32_t HostSim::TrajHead() const { return Peek<int32_t>(engine_ + he::TrajHead); }
void HostSim::SetRing(int32_t index, int32_t head) {
  Poke<int32_t>(engine_ + he::TrajIndex, index & host::kRingMask);
  Poke<int32_t>(engine_ + he::TrajHead, head & host::kRingMask);
}
int HostSim::RingFree() const { return (TrajIndex() - TrajHead() - 1) & host::kRingMask; }
int HostSim::RingPending() const { return (TrajHead() - TrajIndex()) & host::kRingMask; }

bool HostSim::PushRecord(const double delta[host::kAxes], int32_t lineId) {
  if (RingFree() == 0) return false;
  uint32_t i = static_cast<uint32_t>(TrajHead()) & host::kRingMask;
  Poke<int32_t>(engine_ + he::Trajectory + he::TrajectorySize * i + he::TrajLineId, lineId);
  HostAddr move = planner_ + hp::Moves + hp::MovesSize * i + hp::MoveStepDelta;
  for (int a = 0; a < host::kAxes; ++a) Poke<double>(move + 8 * static_cast<uint32_t>(a), delta[a]);
  Poke<int32_t>(engine_ + he::TrajHead, static_cast<int32_t>((i + 1) & host::kRingMask));
  return true;
}

void HostSim::SetBufferEnding(bool on) { Poke<uint8_t>(planner_ + hp::BufferEnding, on); }

}  // namespace sim
}  // namespace vx
