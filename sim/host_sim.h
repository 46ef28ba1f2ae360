// A stand-in for the Mach3 host: its four structures, the main-window
// object, the status-line string with two string managers, and the seven
// callbacks, all inside one arena mapped at a fake 32-bit base address.
//
// Typical use:
//   vx::sim::HostSim host;                 // becomes the active host
//   vx::PluginContext ctx(platform);       // platform.Memory = &host
//   host.InstallCallbacks(ctx);
//   host.InitControl(ctx);
//   host.SetAxisTuning(0, 100, 10, 50);
//   host.PushRecord(delta, 7);
//   ctx.Update();
//   EXPECT_EQ(host.StatusHistory().back(), "Vendrix connected");
//
// Conventions:
// - The sim's own setters write the arena directly and are not logged;
//   plug-in writes come through Map(write = true) and are logged as byte
//   ranges (see WritesOutside). A HostView from View() writes through Map,
//   so its writes are logged like the plug-in's.
// - Every status post that lands is appended to StatusHistory() (the view
//   tells the sim through HostMemory::StatusPosted), so messages that are
//   overwritten within one call are not lost.
// - The callbacks are static functions that serve the active HostSim: the
//   last one constructed or Activate()d.
#pragma once

#include <cstdint>
#include <functional>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "plugin/host_view.h"

namespace vx {
class PluginContext;
namespace sim {

// A run of host bytes.
struct ByteRange {
  HostAddr Begin = 0;
  uint32_t Size = 0;
  HostAddr End() const { return Begin + Size; }
  bool operator==(const ByteRange& o) const { return Begin == o.Begin && Size == o.Size; }
};

// The four structures, for addressing fields by offset.
enum class Struct { Engine, Settings, Planner, View };

// Header of a host string, as found in front of its characters.
struct StringHeader {
  HostAddr Manager = 0;
  int32_t Length = 0;
  int32_t Allocated = 0;
  int32_t RefCount = 0;
};

// Calls one string manager has served.
struct ManagerCalls {
  int Allocate = 0;
  int Reallocate = 0;
  int Free = 0;
};

class HostSim : public HostMemory {
 public:
  static constexpr HostAddr kBase = 0x10000000;
  static constexpr uint32_t kArenaSize = 4u << 20;
  static constexpr Handle kMainWindow = 0x000A0B2C;  // the fake HWND
  static constexpr int kDefaultMenuFirstId = 1000;

  HostSim();
  ~HostSim() override;
  HostSim(const HostSim&) = delete;
  HostSim& operator=(const HostSim&) = delete;

  // Makes this the host that the static callbacks serve.
  void Activate();
  static HostSim* Active();

  // ---- Addresses
  HostAddr EngineAddr() const { return engine_; }
  HostAddr SettingsAddr() const { return settings_; }
  HostAddr PlannerAddr() const { return planner_; }
  HostAddr ViewAddr() const { return view_; }
  HostAddr Addr(Struct s, uint32_t offset) const;
  HostAddr FrameAddr() const { return frame_; }
  HostAddr JogFullSpeedAddr() const { return jogFullSpeed_; }
  // The range of a field, for WritesOutside.
  ByteRange Field(Struct s, uint32_t offset, uint32_t size) const {
    return ByteRange{Addr(s, offset), size};
  }
  // Where host strings live: posting writes here.
  ByteRange StringHeap() const { return ByteRange{heapBegin_, heapEnd_ - heapBegin_}; }
  // "Engine+166367", "MainPlanner+1161996", "heap+0x40", ... for messages.
  std::string Describe(HostAddr addr) const;

  // A view attached to this host, callbacks included. Its writes are logged.
  HostView View();
  // Calls the seven setter exports with this host's callbacks.
  void InstallCallbacks(PluginContext& ctx);
  // ctx.InitControl with the four structure addresses.
  uint8_t InitControl(PluginContext& ctx);

  // ---- Raw typed access (not logged)
  template <typename T>
  T Peek(HostAddr addr) const {
    T v{};
    if (const uint8_t* p = Ptr(addr, sizeof(T))) std::memcpy(&v, p, sizeof(T));
    return v;
  }
  template <typename T>
  void Poke(HostAddr addr, T v) {
    if (uint8_t* p = Ptr(addr, sizeof(T))) std::memcpy(p, &v, sizeof(T));
  }
  template <typename T>
  T Read(Struct s, uint32_t offset) const { return Peek<T>(Addr(s, offset)); }
  template <typename T>
  void Write(Struct s, uint32_t offset, T v) { Poke<T>(Addr(s, offset), v); }
  // Native pointer to host bytes, null outside the arena.
  uint8_t* Ptr(HostAddr addr, uint32_t size);
  const uint8_t* Ptr(HostAddr addr, uint32_t size) const;

  // ---- Write log of Map(write = true)
  // Off for benchmarks and the simulator: the plug-in's host view then
  // reaches the arena directly, without a Map call per field.
  void SetWriteLogging(bool on) {
    logWrites_ = on;
    SetDirectAccess(!on);
  }
  void ClearWriteLog() { written_.clear(); }
  // Coalesced written ranges, in address order.
  std::vector<ByteRange> WrittenRanges() const;
  // Written bytes that lie outside every allowed range.
  std::vector<ByteRange> WritesOutside(const std::vector<ByteRange>& allowed) const;
  // "Engine+166368 (2 bytes); ..." for a failure message, "" when none.
  std::string DescribeRanges(const std::vector<ByteRange>& ranges) const;
  bool WasWritten(ByteRange r) const;

  // ---- Host configuration, as a user would set it up
  void SetAxisTuning(int axis, double steps, double vel, double acc);
  void SetInput(int signal, bool active, int pin, int port = 1, bool negated = false);
  bool InputActivated(int signal) const;
  void SetInputActivated(int signal, bool on);
  void SetOutput(int output, bool active, bool negated = false, bool activated = false);
  void SetOutputActivated(int output, bool on);
  void SetSoftLimits(int axis, int32_t lo, int32_t hi);
  void SetSoftLimitsEnable(bool on);
  void SetJogReverse(int axis, bool on);
  void SetHomePosition(int axis, int32_t steps);
  void SetHoming(int axis, int32_t speedPercent, bool towardPositive);
  void SetJogPercent(double percent);
  void SetJogFullSpeed(bool on);
  void SetProbeTarget(double x, double y, double z);
  void SetMachinePosition(int axis, double units);
  void SetDwellMilliseconds(bool on);
  void SetEStop(bool on);
  void SetOffLine(bool on);
  void SetPosition(int axis, int32_t steps);
  void SetResetFlags(int axis, bool a, bool b, bool c);
  void SetMotorResetFlag(int motor, bool on);
  void SetSoftWait(uint64_t mask);
  void SetMainWindowHandle(Handle window);

  // ---- Host state as the plug-in leaves it
  bool EStop() const;
  bool Sync() const;
  void ClearSync();
  bool EngineJogging() const;
  bool PlannerJogging() const;
  bool HomingActive() const;
  bool AxisJogging(int axis) const;
  bool JogStopSent(int axis) const;
  int32_t JogVelocity(int axis) const;
  int32_t Position(int axis) const;
  bool Referenced(int axis) const;
  int32_t CurrentLine() const;
  int32_t LastLine() const;
  int32_t DwellTime() const;
  int32_t ProbeActive() const;
  int32_t ProbePending() const;
  bool ExternalStill() const;
  void SetExternalStill(bool on);
  uint64_t SoftWait() const;
  double PulseRate(int m) const;
  bool InitFlag() const;
  int16_t InitWord() const;
  double InitReal() const;
  int32_t InitCount() const;

  // ---- Trajectory ring (the host's planner side)
  // Writes Trajectory[head].LineId and Moves[head].StepDelta, then advances
  // TrajHead. False when the ring is full (head + 1 would meet TrajIndex).
  bool PushRecord(const double delta[host::kAxes], int32_t lineId);
  int RingFree() const;
  int RingPending() const;
  int32_t TrajIndex() const;
  int32_t TrajHead() const;
  void SetRing(int32_t index, int32_t head);
  void SetBufferEnding(bool on);

  // ---- Status line
  std::string StatusText() const;
  const std::vector<std::string>& StatusHistory() const { return statusHistory_; }
  void ClearStatusHistory() { statusHistory_.clear(); }
  HostAddr StatusChars() const;
  void SetStatusChars(HostAddr chars);

  // ---- Strings and managers
  HostAddr HostStringManager() const { return hostManager_; }
  HostAddr PluginStringManager() const { return pluginManager_; }
  // Makes OwnStringManager return the host's manager, as when plug-in and
  // host share one class library.
  void ShareManagers(bool on) { shareManagers_ = on; }
  // A string in the heap: `allocated` < 0 means the text's length.
  HostAddr MakeString(HostAddr manager, const std::string& text, int32_t allocated = -1,
                      int32_t refCount = 1);
  StringHeader HeaderOf(HostAddr chars) const;
  std::string TextAt(HostAddr chars) const;  // `Length` characters
  const char* NativeChars(HostAddr chars) const;
  // Allocation failure on demand: the next `successes` allocations and
  // reallocations work, every later one returns 0. -1 never fails.
  void FailStringAllocationsAfter(int successes) { allocBudget_ = successes; }
  void FailStringAllocations(bool on) { allocBudget_ = on ? 0 : -1; }
  ManagerCalls CallsOn(HostAddr manager) const;
  int LiveStringBlocks() const { return static_cast<int>(blocks_.size()); }
  // Misuse seen by the managers (double free, wrong manager, freeing a
  // referenced buffer...). Empty in a sound run.
  const std::vector<std::string>& HeapErrors() const { return heapErrors_; }

  // ---- Callbacks: tables and records
  std::map<int, double> Dro;            // GetDRO answers; SetDRO updates it
  std::map<int, bool> Led;              // GetLED answers (missing: off)
  int MenuFirstId = kDefaultMenuFirstId;
  std::vector<int> DoButtons;
  std::vector<std::pair<int, double>> SetDroCalls;
  std::vector<std::pair<int, bool>> SetLedCalls;
  std::vector<std::string> CodeCalls;
  std::vector<int> MenuRangeRequests;   // the counts asked for
  std::map<int, int> DroReads;          // code -> number of GetDRO calls
  std::map<int, int> LedReads;
  // Callbacks and status posts in call order: "status: <text>",
  // "DoButton(204)", "SetDRO(817, 10000)", "GetMenuRange(1)".
  std::vector<std::string> Events;
  void ClearCallLog();

  static double CbGetDRO(int code);
  static void CbSetDRO(int code, double value);
  static uint8_t CbGetLED(int code);
  static void CbSetLED(int code, uint8_t on);
  static void CbDoButton(int code);
  static void CbCode(const char* text);
  static int CbGetMenuRange(int count);

  // ---- HostMemory
  uint8_t* Map(HostAddr addr, uint32_t size, bool write) override;
  HostAddr StringAllocate(HostAddr manager, int32_t chars) override;
  HostAddr StringReallocate(HostAddr manager, HostAddr header, int32_t chars) override;
  void StringFree(HostAddr manager, HostAddr header) override;
  HostAddr OwnStringManager() override { return shareManagers_ ? hostManager_ : pluginManager_; }
  void StatusPosted() override;
  // Called after each post that landed (e.g. to check what was held then).
  std::function<void()> OnStatusPosted;

 private:
  HostAddr Place(uint32_t size, uint32_t align);
  HostAddr HeapAlloc(uint32_t size);
  void HeapFree(HostAddr addr);
  bool TakeAllocation();
  bool KnownManager(HostAddr m) const { return m == hostManager_ || m == pluginManager_; }
  void HeapError(const std::string& what);
  HostAddr AxisField(int axis, uint32_t field) const;
  HostAddr InField(int signal, uint32_t field) const;
  HostAddr OutField(int output, uint32_t field) const;

  std::vector<uint8_t> arena_;
  HostAddr next_ = kBase;
  HostAddr engine_ = 0, settings_ = 0, planner_ = 0, view_ = 0;
  HostAddr frame_ = 0, jogFullSpeed_ = 0;
  HostAddr hostManager_ = 0, pluginManager_ = 0;
  HostAddr heapBegin_ = 0, heapEnd_ = 0;
  std::map<HostAddr, uint32_t> freeBlocks_;  // address -> size
  std::map<HostAddr, uint32_t> blocks_;      // allocated: address -> size
  std::map<HostAddr, ManagerCalls> managerCalls_;
  std::vector<std::string> heapErrors_;
  int allocBudget_ = -1;
  bool shareManagers_ = false;

  bool logWrites_ = true;
  std::map<HostAddr, HostAddr> written_;  // begin -> end, coalesced

  std::vector<std::string> statusHistory_;
};

}  // namespace sim
}  // namespace vx
