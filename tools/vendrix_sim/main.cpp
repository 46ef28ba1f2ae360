// vendrix-sim: runs a part program through the plug-in on a simulated
// machine. It plays the host (planner, ring, exports, DROs and LEDs) and the
// board (the firmware model); the plug-in is the real one.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/board_protocol.h"
#include "tools/vendrix_sim/gcode.h"
#include "tools/vendrix_sim/host_player.h"
#include "tools/vendrix_sim/progress.h"
#include "tools/vendrix_sim/svg.h"

namespace vx::tool {
namespace {

constexpr const char* kUsage =
    "usage: vendrix-sim [options] PROGRAM.nc\n"
    "       vendrix-sim [options] --deltas FILE\n"
    "\n"
    "Runs a part program through the Vendrix plug-in against simulated Mach3 and\n"
    "a simulated board, and checks that the board ends where the host does.\n"
    "\n"
    "  --deltas FILE        run a list of trajectory records (five step increments\n"
    "                       a line, X Y Z A B) instead of G-code\n"
    "  --pulse KHZ          board pulse frequency: 25, 45, 65 (default) or 100\n"
    "  --update-us N        simulated time between two Update calls (default 5000)\n"
    "  --svg FILE           picture: commanded against executed path, buffer fill,\n"
    "                       time per Update\n"
    "  --transcript FILE    every report in both directions, decoded, one a line\n"
    "  --estop-at LINE      press the E-stop button when the machine reaches LINE\n"
    "  --limit-at LINE:AXIS close the limit switch of AXIS (X, Y or Z) at LINE\n"
    "  --unplug-at LINE     unplug the board at LINE (it is plugged in again and\n"
    "                       the host resets)\n"
    "  --no-progress        no progress bar or progress lines\n"
    "\n"
    "G-code: G0 G1 (X Y Z A B, F in units per minute), G4 P<seconds>, G28 [axes],\n"
    "G38.2 (probe), G20 G21 G90 G91, M3 [S] M5, M2 M30, N numbers, comments in\n"
    "parentheses and after ';'.\n"
    "\n"
    "Exit status: 0 when the board's final positions equal the host's (and the\n"
    "program's), 1 when they do not or the run went wrong, 2 for bad input.\n";

struct Args {
  std::string Program;
  std::string Deltas;
  std::string Svg;
  std::string Transcript;
  SimOptions Sim;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "vendrix-sim: %s\n(vendrix-sim --help shows the options)\n", message.c_str());
  std::exit(2);
}

int ParseLine(const std::string& option, const std::string& text) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 1 || v > 100000000) {
    UsageError(option + " wants a line number, not '" + text + "'");
  }
  return static_cast<int>(v);
}

Args ParseArgs(int argc, char** argv) {
  Args args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        inlineValue = true;
      }
    }
    auto next = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= argc) UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--deltas") {
      args.Deltas = next();
    } else if (arg == "--svg") {
      args.Svg = next();
    } else if (arg == "--transcript") {
      args.Transcript = next();
    } else if (arg == "--pulse") {
      std::string v = next();
      if (v != "25" && v != "45" && v != "65" && v != "100") UsageError("--pulse is 25, 45, 65 or 100, not '" + v + "'");
      args.Sim.PulseKhz = std::atoi(v.c_str());
    } else if (arg == "--update-us") {
      std::string v = next();
      char* end = nullptr;
      long us = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || us < 100 || us > 1000000) {
        UsageError("--update-us is 100 to 1000000 microseconds, not '" + v + "'");
      }
      args.Sim.UpdateUs = static_cast<uint32_t>(us);
    } else if (arg == "--estop-at") {
      args.Sim.Faults.push_back(FaultRequest{FaultKind::EStop, ParseLine(arg, next()), 0});
    } else if (arg == "--unplug-at") {
      args.Sim.Faults.push_back(FaultRequest{FaultKind::Unplug, ParseLine(arg, next()), 0});
    } else if (arg == "--limit-at") {
      std::string v = next();
      size_t colon = v.find(':');
      std::string axis = colon == std::string::npos ? "" : v.substr(colon + 1);
      const char* axes = "XYZ";
      if (axis.size() != 1 || std::strchr(axes, std::toupper(static_cast<unsigned char>(axis[0]))) == nullptr) {
        UsageError("--limit-at wants LINE:AXIS with AXIS X, Y or Z, not '" + v + "'");
      }
      int a = static_cast<int>(std::strchr(axes, std::toupper(static_cast<unsigned char>(axis[0]))) - axes);
      args.Sim.Faults.push_back(FaultRequest{FaultKind::Limit, ParseLine(arg, v.substr(0, colon)), a});
    } else if (arg == "--no-progress") {
      args.Sim.ShowProgress = false;
    } else if (!arg.empty() && arg[0] == '-') {
      UsageError("unknown option '" + arg + "'");
    } else if (args.Program.empty()) {
      args.Program = arg;
    } else {
      UsageError("one program at a time ('" + args.Program + "' and '" + arg + "')");
    }
  }
  if (args.Program.empty() == args.Deltas.empty()) UsageError("give either a PROGRAM or --deltas FILE");
  args.Sim.Transcript = !args.Transcript.empty();
  return args;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteText(const std::string& path, const std::string& text) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && ok;
}

std::string Steps(double v) {
  char b[32];
  if (v == std::floor(v)) {
    std::snprintf(b, sizeof b, "%.0f", v);
  } else {
    std::snprintf(b, sizeof b, "%.3f", v);
  }
  return b;
}

struct Timing {
  double Mean = 0, P99 = 0, Max = 0;
  size_t Count = 0;
};

Timing UpdateTiming(const RunRecord& run) {
  Timing t;
  std::vector<uint32_t> costs;
  for (const UpdateSample& s : run.Updates) costs.push_back(s.CostNs);
  if (costs.empty()) return t;
  std::sort(costs.begin(), costs.end());
  double sum = 0;
  for (uint32_t c : costs) sum += c;
  t.Count = costs.size();
  t.Mean = sum / costs.size() / 1000.0;
  t.P99 = costs[std::min(costs.size() - 1, costs.size() * 99 / 100)] / 1000.0;
  t.Max = costs.back() / 1000.0;
  return t;
}

void PrintSummary(const std::string& name, const RunRecord& run, const SimOptions& sim, bool deltas) {
  std::printf("\nSummary of %s\n", name.c_str());
  if (run.Completed) {
    std::printf("  program        %d lines, %d with commands run; ran to the end\n", run.Lines, run.LinesRun);
  } else {
    std::printf("  program        %d lines, %d with commands run before line %d; stopped: %s\n", run.Lines,
                run.LinesRun, run.StopLine, run.StopReason.c_str());
  }
  std::printf("  records        %" PRIu64 " planned, %" PRIu64 " taken by the plug-in\n", run.RecordsPlanned,
              run.RecordsStreamed);
  std::printf("  reports sent  ");
  int status = 0;
  for (const auto& [code, n] : run.Sent) {
    std::printf(" %s %d", proto::CommandName(code), n);
    if (code == proto::kStatus) status = n;
  }
  std::printf("\n  status exchanges %d\n", status);
  std::printf("  SegmentsAck    %" PRIu64 " replies, held %.3f s in all until the invited packets fit; "
              "%" PRIu64 " buffer underruns\n",
              run.AcksAnswered, static_cast<double>(run.HeldAnswerUs) / 1e6, run.Underruns);
  std::printf("  positions (steps)  %12s %12s %12s %12s %12s\n", "X", "Y", "Z", "A", "B");
  // A stopped program has no end point to compare with.
  if (run.Completed) {
    std::printf("    %-16s", deltas ? "commanded sum" : "commanded");
    for (double v : run.Commanded) std::printf(" %12s", Steps(v).c_str());
    std::printf("\n");
  }
  std::printf("    %-16s", "host");
  for (int32_t v : run.HostPositions) std::printf(" %12d", v);
  std::printf("\n    %-16s", "board");
  for (int32_t v : run.BoardPositions) std::printf(" %12d", v);
  std::printf("\n    %-16s", "host - board");
  for (int a = 0; a < kAxes; ++a) {
    std::printf(" %12lld", static_cast<long long>(run.HostPositions[static_cast<size_t>(a)]) -
                               run.BoardPositions[static_cast<size_t>(a)]);
  }
  bool drift = false;
  for (int64_t d : run.CounterDrift) drift = drift || d != 0;
  if (drift) {
    std::printf("\n    %-16s", "counters off by");
    for (int64_t d : run.CounterDrift) std::printf(" %12lld", static_cast<long long>(d));
    std::printf("\n  warning        the board's counters moved by the row above while the axes stood still\n"
                "                 (see the notes in the transcript): the machine is no longer where host and\n"
                "                 board think it is; home again before cutting");
  }
  Timing t = UpdateTiming(run);
  std::printf("\n  machine time   %.3f s simulated (%d kHz: segment period %u us; Update every %u us, %zu Updates)\n",
              static_cast<double>(run.MachineTimeUs) / 1e6, sim.PulseKhz, run.SegmentPeriodUs, sim.UpdateUs,
              t.Count);
  std::printf("  plug-in time   per Update, the board's share removed: mean %.2f us, p99 %.2f us, max %.2f us\n",
              t.Mean, t.P99, t.Max);
  if (!run.Violations.empty()) {
    std::printf("  board          %zu protocol violations, the first: %s\n", run.Violations.size(),
                run.Violations.front().c_str());
  }
}

int Main(int argc, char** argv) {
  Args args = ParseArgs(argc, argv);
  const bool deltas = !args.Deltas.empty();
  const std::string path = deltas ? args.Deltas : args.Program;
  std::string text;
  if (!ReadFile(path, &text)) UsageError("cannot read '" + path + "'");

  // Everything is parsed before the machine starts: a program with an
  // error sends nothing.
  std::vector<std::string> errors;
  Program program;
  std::vector<DeltaRecord> records;
  bool ok = deltas ? ParseDeltas(path, text, &records, &errors) : ParseProgram(path, text, &program, &errors);
  if (!ok) {
    for (const std::string& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    std::fprintf(stderr, "vendrix-sim: %zu error%s in %s; nothing was run\n", errors.size(),
                 errors.size() == 1 ? "" : "s", path.c_str());
    return 2;
  }
  int lines = deltas ? static_cast<int>(std::count(text.begin(), text.end(), '\n') + (text.empty() || text.back() == '\n' ? 0 : 1))
                     : program.Lines;

  args.Sim.Name = BaseName(path);
  std::printf("vendrix-sim: %s, %d kHz, Update every %u us\n", path.c_str(), args.Sim.PulseKhz, args.Sim.UpdateUs);
  std::fflush(stdout);
  Progress progress(stdout, args.Sim.ShowProgress);
  RunRecord run;
  {
    HostPlayer player(args.Sim, &progress);
    run = deltas ? player.RunRecords(records, lines) : player.Run(program);
  }

  bool equal = run.HostPositions == run.BoardPositions;
  bool commandedMet = true;
  if (!deltas && run.Completed) {
    for (int a = 0; a < kAxes; ++a) {
      commandedMet = commandedMet && run.Commanded[a] == run.HostPositions[static_cast<size_t>(a)];
    }
  }
  std::string result;
  if (!equal) {
    result = "FAILED: the board's positions differ from the host's";
  } else if (!commandedMet) {
    result = "FAILED: the axes did not end where the program put them";
  } else if (!run.Violations.empty()) {
    result = "FAILED: the board saw protocol violations";
  } else if (run.Failed) {
    result = "FAILED: " + run.StopReason;
  } else {
    result = "OK: the board's positions equal the host's";
  }
  PrintSummary(path, run, args.Sim, deltas);

  int status = result.rfind("OK", 0) == 0 ? 0 : 1;
  if (!args.Svg.empty()) {
    SvgText t;
    t.Title = "vendrix-sim: " + args.Sim.Name;
    char sub[200];
    std::snprintf(sub, sizeof sub,
                  "commanded path (dashed) against the path the board executed (colour: Z); %d kHz, Update every "
                  "%.1f ms",
                  args.Sim.PulseKhz, args.Sim.UpdateUs / 1000.0);
    t.Subtitle = sub;
    t.Result = run.Completed ? result.substr(0, result.find(':')) + ", ran to the end"
                             : result.substr(0, result.find(':')) + ", stopped at line " + std::to_string(run.StopLine);
    if (WriteSvg(args.Svg, run, t)) {
      std::printf("  picture        %s\n", args.Svg.c_str());
    } else {
      std::fprintf(stderr, "vendrix-sim: cannot write '%s'\n", args.Svg.c_str());
      status = 1;
    }
  }
  if (!args.Transcript.empty()) {
    if (WriteText(args.Transcript, run.Transcript)) {
      std::printf("  transcript     %s\n", args.Transcript.c_str());
    } else {
      std::fprintf(stderr, "vendrix-sim: cannot write '%s'\n", args.Transcript.c_str());
      status = 1;
    }
  }
  std::printf("result: %s\n", result.c_str());
  return status;
}

}  // namespace
}  // namespace vx::tool

int main(int argc, char** argv) { return vx::tool::Main(argc, argv); }
