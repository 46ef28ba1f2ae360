#include "link/board_link.h"

#include <cstring>

namespace vx {
namespace {

// One synchronous 65-byte write of OutReport. A missing HID backend or a
// closed handle is a failed transfer like any other.
bool RawWrite(PluginContext& ctx) {
  if (ctx.os.Hid == nullptr || ctx.BoardHandle == kInvalidHandle) return false;
  ctx.OutReport[proto::kReportIdByte] = 0;
  return ctx.os.Hid->WriteReport(ctx.BoardHandle, ctx.OutReport.data(), proto::kReportSize);
}

bool RawRead(PluginContext& ctx) {
  if (ctx.os.Hid == nullptr || ctx.BoardHandle == kInvalidHandle) return false;
  return ctx.os.Hid->ReadReport(ctx.BoardHandle, ctx.InReport.data(), proto::kReportSize);
}

// The reporting senders' failure: E-stop, a message while a board is
// plugged in, and the link down.
void ReportFailure(PluginContext& ctx, const char* message) {
  ctx.host.SetEStop(true);
  if (ctx.BoardPresent == 1) ctx.host.PostStatus(message);
  ctx.LinkDown();
}

}  // namespace

bool WriteReport(PluginContext& ctx) {
  LockGuard lock(ctx.os.BoardLock);
  if (RawWrite(ctx)) return true;
  ctx.LinkDown();
  return false;
}

bool TryWriteReport(PluginContext& ctx) {
  LockGuard lock(ctx.os.BoardLock);
  return RawWrite(ctx);
}

bool ReadAnswer(PluginContext& ctx) {
  LockGuard lock(ctx.os.BoardLock);
  if (RawRead(ctx)) return true;
  ctx.LinkDown();
  return false;
}

bool StatusExchange(PluginContext& ctx, StatusReport report) {
  bool wrote = false;
  bool read = false;
  {
    LockGuard lock(ctx.os.BoardLock);
    std::memcpy(ctx.OutPayload(), ctx.OutputBlock.data(), proto::kPayloadSize);
    ctx.OutPayload()[proto::kCommandByte] = proto::kStatus;
    wrote = RawWrite(ctx);
    // No answer follows a request the board never got: a read after a
    // failed write would wait for good on a board that is still plugged in.
    if (wrote) read = RawRead(ctx);
  }
  if (report == StatusReport::Silent) {
    if (!wrote || !read) ctx.LinkDown();
    return wrote && read;
  }
  if (!wrote) {
    ReportFailure(ctx, report == StatusReport::UpdateCycle ? msg::kCommError1 : msg::kCommError2);
    return false;
  }
  if (!read) {
    ReportFailure(ctx, msg::kCommError2);
    return false;
  }
  std::memcpy(ctx.BoardState.data(), ctx.InPayload(), proto::kPayloadSize);
  return true;
}

void LoadPositions(PluginContext& ctx, const int32_t positions[proto::kAxes]) {
  LockGuard lock(ctx.os.BoardLock);
  for (int a = 0; a < proto::kAxes; ++a)
    proto::PutU32(ctx.BoardState.data() + proto::setpos::Positions + 4 * a,
                  static_cast<uint32_t>(positions[a]));
  ctx.BoardState[proto::kCommandByte] = proto::kSetPositions;
  std::memcpy(ctx.OutPayload(), ctx.BoardState.data(), proto::kPayloadSize);
  WriteReport(ctx);
}

void SendMove(PluginContext& ctx, int32_t axis, int32_t distance, int32_t stopPin,
              int32_t stopLevel, double velocity, double acceleration) {
  LockGuard lock(ctx.os.BoardLock);
  proto::EncodeMove(ctx.OutPayload(), axis, distance, stopPin, stopLevel, velocity, acceleration);
  WriteReport(ctx);
}

void SendJogStop(PluginContext& ctx) {
  LockGuard lock(ctx.os.BoardLock);
  ctx.OutPayload()[proto::kCommandByte] = proto::kJogStop;
  WriteReport(ctx);
}

void SendStop(PluginContext& ctx) {
  LockGuard lock(ctx.os.BoardLock);
  ctx.OutPayload()[proto::kCommandByte] = proto::kStop;
  WriteReport(ctx);
}

void SendAxisSetup(PluginContext& ctx) {
  double steps[proto::kAxes], vel[proto::kAxes], acc[proto::kAxes];
  for (int a = 0; a < proto::kAxes; ++a) {
    steps[a] = ctx.host.Steps(a);
    vel[a] = ctx.host.Vel(a);
    acc[a] = ctx.host.Acc(a);
  }
  LockGuard lock(ctx.os.BoardLock);
  proto::EncodeAxisSetup(ctx.OutPayload(), steps, vel, acc);
  WriteReport(ctx);
}

int IdentifyExchange(PluginContext& ctx) {
  bool wrote = false;
  bool read = false;
  {
    LockGuard lock(ctx.os.BoardLock);
    uint8_t* out = ctx.OutPayload();
    proto::PutU16(out + proto::identify::Magic, proto::identify::kMagic);
    out[proto::kCommandByte] = proto::kIdentify;
    wrote = RawWrite(ctx);
    std::memset(ctx.InPayload(), 0, proto::kPayloadSize);
    // As for Status: nothing to wait for after a failed write.
    if (wrote) read = RawRead(ctx);
    // A failed read leaves no answer to look at, whatever the transfer may
    // have left in the buffer.
    if (!read) std::memset(ctx.InPayload(), 0, proto::kPayloadSize);
  }
  if (!wrote || !read) ctx.LinkDown();
  return ctx.InPayload()[proto::kCommandByte] == proto::kIdentify ? 0 : 1;
}

}  // namespace vx
