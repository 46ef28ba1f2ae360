// The part programs vendrix-sim runs: a small G-code subset, or a plain
// list of per-record step deltas. Both are parsed completely before anything
// runs, so a program with an error never reaches the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx::tool {

constexpr int kAxes = 5;  // X Y Z A B
constexpr char kAxisLetters[kAxes + 1] = "XYZAB";

enum class Op {
  Move,        // G0 / G1 to the axis words
  Dwell,       // G4 P<seconds>
  Home,        // G28 [axes]
  Probe,       // G38.2 toward the axis words
  SpindleOn,   // M3 [S]
  SpindleOff,  // M5
};

// One thing the host does, in program order. A source line can yield
// several (M3 S1000 G1 X5 turns the spindle on, then moves).
struct Block {
  Op Kind = Op::Move;
  int Line = 0;       // 1-based source line: the LineId sent with its records
  std::string Text;   // the source line without its comments, for annotations
  bool Rapid = false;     // G0
  bool Relative = false;  // G91 in effect
  double Scale = 1.0;     // millimetres per program unit (25.4 after G20)
  bool Has[kAxes] = {};   // axis words given
  double Value[kAxes] = {};  // their values, program units
  double Feed = 0;       // mm per minute (G1, G38.2)
  double Seconds = 0;    // G4
  double Speed = 0;      // M3: spindle speed as commanded
};

struct Program {
  std::vector<Block> Blocks;
  int Lines = 0;  // source lines, comments and blank ones included
};

// One record of a deltas file: five step increments and the line it came from.
struct DeltaRecord {
  double Delta[kAxes] = {};
  int Line = 0;
};

// Parses the whole text; every error found is appended to `errors` as
// "name:line:column: message". True when there was none.
bool ParseProgram(const std::string& name, const std::string& text, Program* program,
                  std::vector<std::string>* errors);
// Five numbers a line (spaces or commas between them); '#' and ';' start a
// comment; blank lines are skipped.
bool ParseDeltas(const std::string& name, const std::string& text, std::vector<DeltaRecord>* records,
                 std::vector<std::string>* errors);

}  // namespace vx::tool
