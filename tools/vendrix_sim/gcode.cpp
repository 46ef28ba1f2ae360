#include "tools/vendrix_sim/gcode.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vx::tool {
namespace {

// Larger coordinates would overflow the step counters of any sensible axis.
constexpr double kMaxCoordinateMm = 100000.0;

struct Word {
  char Letter = 0;
  int Column = 0;  // 1-based, of the letter
  bool HasNumber = false;
  double Number = 0;
  std::string Raw;  // "G38.2", "X-1.5": the word as written, for messages
};

// G codes as tenths, so G38.2 is 382.
enum GCode { kG0 = 0, kG1 = 10, kG4 = 40, kG20 = 200, kG21 = 210, kG28 = 280, kG38_2 = 382, kG90 = 900, kG91 = 910 };

int AxisIndex(char letter) {
  const char* p = std::strchr(kAxisLetters, letter);
  return (p != nullptr && letter != 0) ? static_cast<int>(p - kAxisLetters) : -1;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Modal state that carries from line to line.
struct Modes {
  int Motion = -1;  // kG0, kG1, kG38_2, or -1 before the first
  bool Relative = false;
  double Scale = 1.0;
  double Feed = 0;  // mm per minute
  double Speed = 0;
  bool Ended = false;  // M2 / M30 seen: later lines are checked, not run
};

class LineParser {
 public:
  LineParser(const std::string& name, int line, std::vector<std::string>* errors)
      : name_(name), line_(line), errors_(errors) {}

  // Splits a line into words and the text without comments. False (with
  // one error) when the line cannot be read.
  bool Tokenize(const std::string& s, std::vector<Word>* words, std::string* clean) {
    if (Trim(s) == "%") return true;  // program delimiter
    size_t i = 0;
    while (i < s.size()) {
      const char c = s[i];
      if (c == ' ' || c == '\t' || c == '\r') {
        clean->push_back(' ');
        ++i;
        continue;
      }
      if (c == '(') {
        size_t close = s.find(')', i);
        if (close == std::string::npos) return Error(i, "comment not closed with ')'");
        i = close + 1;
        continue;
      }
      if (c == ';') break;
      if (!std::isalpha(static_cast<unsigned char>(c))) {
        return Error(i, std::string("unexpected character '") + c + "'");
      }
      Word w;
      w.Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      w.Column = static_cast<int>(i) + 1;
      w.Raw = std::string(1, w.Letter);
      ++i;
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      size_t start = i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      size_t digits = 0;
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
      if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
      }
      if (digits > 0) {
        std::string number = s.substr(start, i - start);
        w.HasNumber = true;
        w.Number = std::strtod(number.c_str(), nullptr);
        w.Raw += number;
      } else {
        i = start;  // a bare letter: only G28 accepts one
      }
      if (std::strchr("GMNXYZABFPS", w.Letter) == nullptr) {
        return Error(static_cast<size_t>(w.Column - 1), "unknown word '" + std::string(1, w.Letter) + "'");
      }
      clean->append(s, static_cast<size_t>(w.Column - 1), i - static_cast<size_t>(w.Column - 1));
      words->push_back(w);
    }
    return true;
  }

  // Turns one line's words into blocks, updating the modal state.
  bool Interpret(const std::vector<Word>& words, const std::string& text, Modes* modes,
                 std::vector<Block>* out) {
    const Word* motion = nullptr;   // G0 G1 G38.2
    const Word* nonModal = nullptr; // G4 G28
    const Word* units = nullptr;
    const Word* distance = nullptr;
    const Word* m = nullptr;
    const Word* seen[26] = {};
    for (const Word& w : words) {
      if (w.Letter != 'G' && w.Letter != 'M') {
        const Word*& slot = seen[w.Letter - 'A'];
        if (slot != nullptr) return Error(w, "word '" + std::string(1, w.Letter) + "' given twice");
        slot = &w;
      }
      if (!w.HasNumber && AxisIndex(w.Letter) < 0) {
        return Error(w, "expected a number after '" + std::string(1, w.Letter) + "'");
      }
      if (w.Letter == 'G') {
        long code = std::lround(w.Number * 10);
        if (std::fabs(w.Number * 10 - static_cast<double>(code)) > 1e-6) code = -1;
        const Word** group = nullptr;
        switch (code) {
          case kG0: case kG1: case kG38_2: group = &motion; break;
          case kG4: case kG28: group = &nonModal; break;
          case kG20: case kG21: group = &units; break;
          case kG90: case kG91: group = &distance; break;
          default: return Error(w, "unsupported G code '" + w.Raw + "'");
        }
        if (*group != nullptr) return Error(w, "'" + w.Raw + "' conflicts with '" + (*group)->Raw + "' on this line");
        *group = &w;
      } else if (w.Letter == 'M') {
        if (m != nullptr) return Error(w, "only one M code per line");
        if (w.Number != 2 && w.Number != 3 && w.Number != 5 && w.Number != 30) {
          return Error(w, "unsupported M code '" + w.Raw + "'");
        }
        m = &w;
      }
    }
    if (motion != nullptr && nonModal != nullptr) {
      return Error(*nonModal, "'" + nonModal->Raw + "' cannot share a line with '" + motion->Raw + "'");
    }
    const bool g4 = nonModal != nullptr && GOf(*nonModal) == kG4;
    const bool g28 = nonModal != nullptr && GOf(*nonModal) == kG28;

    if (units != nullptr) modes->Scale = GOf(*units) == kG20 ? 25.4 : 1.0;
    if (distance != nullptr) modes->Relative = GOf(*distance) == kG91;

    const Word* firstAxis = nullptr;
    for (const Word& w : words) {
      int a = AxisIndex(w.Letter);
      if (a < 0) continue;
      if (firstAxis == nullptr) firstAxis = &w;
      if (!w.HasNumber && !g28) return Error(w, "expected a number after '" + std::string(1, w.Letter) + "'");
      if (w.HasNumber && std::fabs(w.Number * modes->Scale) > kMaxCoordinateMm) {
        return Error(w, "'" + w.Raw + "' is out of range");
      }
    }
    if (const Word* f = seen['F' - 'A']) {
      if (!(f->Number > 0)) return Error(*f, "feed rate must be positive");
      modes->Feed = f->Number * modes->Scale;
    }
    if (const Word* s = seen['S' - 'A']) {
      if (s->Number < 0) return Error(*s, "spindle speed must not be negative");
      modes->Speed = s->Number;
    }
    const Word* p = seen['P' - 'A'];
    if (p != nullptr && !g4) return Error(*p, "'P' without G4");
    if (g4) {
      if (p == nullptr) return Error(*nonModal, "G4 needs a P word (seconds)");
      if (p->Number < 0) return Error(*p, "dwell time must not be negative");
      if (firstAxis != nullptr) return Error(*firstAxis, "axis words with G4");
    }
    if (motion != nullptr) modes->Motion = GOf(*motion);
    int mode = modes->Motion;
    if (firstAxis != nullptr && !g28) {
      if (mode < 0) return Error(*firstAxis, "axis words without G0 or G1 in effect");
      const Word& at = motion != nullptr ? *motion : *firstAxis;
      if (mode != kG0 && modes->Feed <= 0) {
        return Error(at, std::string(mode == kG1 ? "G1" : "G38.2") + " needs a feed rate (F)");
      }
      if (mode == kG38_2) {
        for (const Word& w : words) {
          if (w.Letter == 'A' || w.Letter == 'B') return Error(w, "G38.2 probes along X, Y and Z only");
        }
      }
    } else if (motion != nullptr && mode == kG38_2) {
      return Error(*motion, "G38.2 needs a target (X, Y or Z)");
    }

    if (modes->Ended) return true;
    Block base;
    base.Line = line_;
    base.Text = text;
    base.Relative = modes->Relative;
    base.Scale = modes->Scale;
    if (m != nullptr && (m->Number == 3 || m->Number == 5)) {
      Block b = base;
      b.Kind = m->Number == 3 ? Op::SpindleOn : Op::SpindleOff;
      b.Speed = modes->Speed;
      out->push_back(b);
    }
    if (g4) {
      Block b = base;
      b.Kind = Op::Dwell;
      b.Seconds = p->Number;
      out->push_back(b);
    }
    if (g28 || (firstAxis != nullptr && mode >= 0)) {
      Block b = base;
      b.Kind = g28 ? Op::Home : (mode == kG38_2 ? Op::Probe : Op::Move);
      b.Rapid = mode == kG0;
      b.Feed = modes->Feed;
      for (const Word& w : words) {
        int a = AxisIndex(w.Letter);
        if (a < 0) continue;
        b.Has[a] = true;
        b.Value[a] = w.Number;
      }
      out->push_back(b);
    }
    if (m != nullptr && (m->Number == 2 || m->Number == 30)) modes->Ended = true;
    return true;
  }

 private:
  static int GOf(const Word& w) { return static_cast<int>(std::lround(w.Number * 10)); }

  bool Error(size_t index, const std::string& message) {
    errors_->push_back(name_ + ":" + std::to_string(line_) + ":" + std::to_string(index + 1) + ": " + message);
    return false;
  }
  bool Error(const Word& w, const std::string& message) {
    return Error(static_cast<size_t>(w.Column - 1), message);
  }

  const std::string& name_;
  int line_;
  std::vector<std::string>* errors_;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

bool ParseProgram(const std::string& name, const std::string& text, Program* program,
                  std::vector<std::string>* errors) {
  const size_t before = errors->size();
  Modes modes;
  std::vector<std::string> lines = SplitLines(text);
  program->Lines = static_cast<int>(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    LineParser parser(name, static_cast<int>(i) + 1, errors);
    std::vector<Word> words;
    std::string clean;
    if (!parser.Tokenize(lines[i], &words, &clean)) continue;
    if (words.empty()) continue;
    parser.Interpret(words, Trim(clean), &modes, &program->Blocks);
  }
  return errors->size() == before;
}

bool ParseDeltas(const std::string& name, const std::string& text, std::vector<DeltaRecord>* records,
                 std::vector<std::string>* errors) {
  const size_t before = errors->size();
  std::vector<std::string> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& s = lines[i];
    const int line = static_cast<int>(i) + 1;
    auto error = [&](size_t index, const std::string& message) {
      errors->push_back(name + ":" + std::to_string(line) + ":" + std::to_string(index + 1) + ": " + message);
    };
    size_t end = s.find_first_of("#;");
    if (end == std::string::npos) end = s.size();
    DeltaRecord r;
    r.Line = line;
    int count = 0;
    size_t pos = 0;
    bool bad = false;
    while (pos < end) {
      if (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == ',') {
        ++pos;
        continue;
      }
      size_t tokenEnd = s.find_first_of(" \t\r,", pos);
      if (tokenEnd == std::string::npos || tokenEnd > end) tokenEnd = end;
      std::string token = s.substr(pos, tokenEnd - pos);
      char* stop = nullptr;
      double v = std::strtod(token.c_str(), &stop);
      if (stop == token.c_str() || *stop != '\0' || !std::isfinite(v)) {
        error(pos, "not a number '" + token + "'");
        bad = true;
        break;
      }
      if (count == kAxes) {
        error(pos, "more than five numbers");
        bad = true;
        break;
      }
      r.Delta[count++] = v;
      pos = tokenEnd;
    }
    if (bad || count == 0) continue;
    if (count < kAxes) {
      error(end, "expected five numbers, found " + std::to_string(count));
      continue;
    }
    records->push_back(r);
  }
  return errors->size() == before;
}

}  // namespace vx::tool
