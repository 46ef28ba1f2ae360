// What vendrix-sim shows while it runs: a progress bar redrawn in place on a
// terminal, plain lines at every tenth of the program otherwise, and the
// host's messages above either.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vx::tool {

struct ProgressState {
  int Line = 0;   // program line the machine is at
  int Lines = 0;  // lines in the program
  uint64_t Records = 0;  // records the plug-in has taken from the ring
  size_t Queued = 0;     // segments waiting in the board
  size_t Capacity = 0;
  double Seconds = 0;    // simulated machine time
};

class Progress {
 public:
  // `enabled` false prints messages only.
  Progress(std::FILE* out, bool enabled);
  void Show(const ProgressState& s);
  // One line above the bar.
  void Message(const std::string& text);
  // Removes the bar.
  void Finish();
  bool Terminal() const { return terminal_; }

 private:
  void Clear();
  std::string Describe(const ProgressState& s, int percent) const;

  std::FILE* out_;
  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  int lastDecile_ = -1;
  uint64_t lastDrawNs_ = 0;
  ProgressState last_;
};

}  // namespace vx::tool
