#include "tools/vendrix_sim/progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace vx::tool {
namespace {

constexpr int kBarWidth = 24;
constexpr uint64_t kRedrawNs = 100'000'000;  // a terminal needs no more than ten frames a second

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int Percent(const ProgressState& s) {
  if (s.Lines <= 0) return 100;
  return std::clamp(s.Line * 100 / s.Lines, 0, 100);
}

}  // namespace

Progress::Progress(std::FILE* out, bool enabled)
    : out_(out), enabled_(enabled), terminal_(isatty(fileno(out)) != 0) {}

std::string Progress::Describe(const ProgressState& s, int percent) const {
  char text[160];
  std::snprintf(text, sizeof text, "%3d%%  line %d/%d  records %llu  buffer %zu/%zu  t=%.3f s", percent,
                s.Line, s.Lines, static_cast<unsigned long long>(s.Records), s.Queued, s.Capacity,
                s.Seconds);
  return text;
}

void Progress::Show(const ProgressState& s) {
  last_ = s;
  if (!enabled_) return;
  const int percent = Percent(s);
  if (!terminal_) {
    // Plain lines: one per tenth of the program, so logs stay short.
    int decile = percent / 10;
    if (decile <= lastDecile_) return;
    lastDecile_ = decile;
    std::fprintf(out_, "progress %s\n", Describe(s, percent).c_str());
    return;
  }
  uint64_t now = NowNs();
  if (drawn_ && now - lastDrawNs_ < kRedrawNs) return;
  lastDrawNs_ = now;
  int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  std::fprintf(out_, "\r\033[K[%s] %s", bar.c_str(), Describe(s, percent).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void Progress::Clear() {
  if (drawn_) {
    std::fprintf(out_, "\r\033[K");
    drawn_ = false;
  }
}

void Progress::Message(const std::string& text) {
  Clear();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Progress::Finish() {
  if (enabled_ && !terminal_ && lastDecile_ < 10 && last_.Lines > 0) {
    std::fprintf(out_, "progress %s\n", Describe(last_, Percent(last_)).c_str());
  }
  Clear();
  std::fflush(out_);
}

}  // namespace vx::tool
