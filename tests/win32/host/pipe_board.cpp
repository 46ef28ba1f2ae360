#include "pipe_board.h"

#include <cstring>

#include "../stand_in/stand_in.h"
#include "link/board_protocol.h"

namespace host {

namespace proto = vx::proto;

PipeDevice::PipeDevice(std::string path, HidIdentity identity, vx::sim::BoardSim* board)
    : path_(std::move(path)), identity_(identity), board_(board) {
  InitializeCriticalSection(&lock_);
  QueryPerformanceFrequency(&frequency_);
  QueryPerformanceCounter(&lastTick_);
}

// The serving thread blocks in the pipe calls until the process ends, so
// devices live as long as the scenario's process.
PipeDevice::~PipeDevice() = default;

HANDLE PipeDevice::NewInstance() {
  return CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

bool PipeDevice::Start() {
  first_ = NewInstance();
  if (first_ == INVALID_HANDLE_VALUE) return false;
  HANDLE t = CreateThread(nullptr, 0, ServeThread, this, 0, nullptr);
  if (t == nullptr) return false;
  CloseHandle(t);
  return true;
}

DWORD WINAPI PipeDevice::ServeThread(LPVOID self) {
  static_cast<PipeDevice*>(self)->Serve();
  return 0;
}

void PipeDevice::Serve() {
  HANDLE current = first_;
  for (;;) {
    if (!ConnectNamedPipe(current, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      CloseHandle(current);
      current = NewInstance();
      if (current == INVALID_HANDLE_VALUE) return;
      continue;
    }
    // A listening instance must exist before this client can close: the
    // plug-in opens the path again right after its probe.
    HANDLE next = NewInstance();
    EnterCriticalSection(&lock_);
    ++connections_;
    connected_ = true;
    LeaveCriticalSection(&lock_);
    ServeClient(current);
    EnterCriticalSection(&lock_);
    connected_ = false;
    LeaveCriticalSection(&lock_);
    DisconnectNamedPipe(current);
    CloseHandle(current);
    if (next == INVALID_HANDLE_VALUE) return;
    current = next;
  }
}

void PipeDevice::ServeClient(HANDLE pipe) {
  uint8_t message[256];
  DWORD n = 0;
  while (ReadFile(pipe, message, sizeof message, &n, nullptr)) {
    DWORD written = 0;
    if (n == sizeof(standin::Query)) {
      standin::Query q;
      std::memcpy(&q, message, sizeof q);
      if (q.Magic == standin::kQueryMagic) {
        standin::Answer a{standin::kAnswerMagic,
                          static_cast<uint16_t>(identity_.HasPreparsedData ? 1 : 0),
                          identity_.UsagePage,
                          identity_.Usage,
                          identity_.VendorID,
                          identity_.ProductID,
                          identity_.VersionNumber};
        WriteFile(pipe, &a, sizeof a, &written, nullptr);
        continue;
      }
    }
    if (n != proto::kReportSize) {
      EnterCriticalSection(&lock_);
      ++bad_;
      LeaveCriticalSection(&lock_);
      continue;
    }
    Report report;
    std::memcpy(report.data(), message, report.size());
    Report answer;
    bool answered = false;
    if (!Exchange(report, &answer, &answered)) {
      // The board failed the transfer: drop the connection, so the plug-in's
      // next transfer on this handle fails as on a dead device.
      return;
    }
    if (answered) WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
  }
}

bool PipeDevice::Exchange(const Report& report, Report* answer, bool* answered) {
  EnterCriticalSection(&lock_);
  reports_.push_back(report);
  bool ok = true;
  if (board_ != nullptr) {
    // The board's clock follows the wall clock between reports.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    board_->Advance(static_cast<uint64_t>((now.QuadPart - lastTick_.QuadPart) * 1000000 /
                                          frequency_.QuadPart));
    lastTick_ = now;
    ok = board_->Receive(report.data());
    if (ok && board_->AnswerPending()) {
      ok = board_->Answer(answer->data());
      *answered = ok;
    }
  }
  LeaveCriticalSection(&lock_);
  return ok;
}

int PipeDevice::Connections() {
  EnterCriticalSection(&lock_);
  int n = connections_;
  LeaveCriticalSection(&lock_);
  return n;
}

bool PipeDevice::Connected() {
  EnterCriticalSection(&lock_);
  bool c = connected_;
  LeaveCriticalSection(&lock_);
  return c;
}

std::vector<Report> PipeDevice::Reports() {
  EnterCriticalSection(&lock_);
  std::vector<Report> r = reports_;
  LeaveCriticalSection(&lock_);
  return r;
}

std::vector<int> PipeDevice::Commands() {
  std::vector<int> codes;
  for (const Report& r : Reports()) codes.push_back(r[proto::kPayloadOffset + proto::kCommandByte]);
  return codes;
}

void PipeDevice::ClearReports() {
  EnterCriticalSection(&lock_);
  reports_.clear();
  LeaveCriticalSection(&lock_);
}

int PipeDevice::BadMessages() {
  EnterCriticalSection(&lock_);
  int n = bad_;
  LeaveCriticalSection(&lock_);
  return n;
}

void ListHidDevices(const std::vector<std::string>& paths) {
  std::string all;
  for (const std::string& p : paths) all += (all.empty() ? "" : ";") + p;
  SetEnvironmentVariableA(standin::kDevicesVariable, all.c_str());
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= ms) return done();
    Sleep(20);
  }
  return true;
}

void WaitForQuiet(const std::vector<PipeDevice*>& devices, DWORD quietMs) {
  auto total = [&] {
    size_t n = 0;
    for (PipeDevice* d : devices) n += d->Reports().size();
    return n;
  };
  size_t last = total();
  DWORD since = GetTickCount();
  while (GetTickCount() - since < quietMs) {
    Sleep(20);
    size_t now = total();
    if (now != last) {
      last = now;
      since = GetTickCount();
    }
  }
}

}  // namespace host
