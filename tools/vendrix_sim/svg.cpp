#include "tools/vendrix_sim/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace vx::tool {
namespace {

constexpr double kWidth = 1000;
constexpr double kHeight = 1040;
// The XY view.
constexpr double kViewX = 70, kViewY = 90, kViewSize = 620;
// Legend column.
constexpr double kLegendX = 730;
// Timelines.
constexpr double kPlotX = 70, kPlotW = 900, kPlotH = 105;
constexpr double kFillY = 770, kCostY = 915;
constexpr int kColourBands = 24;

class Svg {
 public:
  void Add(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text_ += buffer;
  }
  void Raw(const std::string& s) { text_ += s; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten giving about `ticks` divisions.
double NiceStep(double span, int ticks) {
  if (!(span > 0)) return 1;
  double raw = span / ticks;
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  double f = raw / power;
  return power * (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10);
}

std::string Number(double v) {
  char buffer[32];
  if (std::fabs(v) < 1e-9) v = 0;
  std::snprintf(buffer, sizeof buffer, "%g", v);
  return buffer;
}

// Depth colours, dark (deep) to light (high), after the viridis scale.
std::string Colour(double t) {
  static const double kStops[5][3] = {
      {68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
  t = std::clamp(t, 0.0, 1.0) * 4;
  int i = std::min(3, static_cast<int>(t));
  double f = t - i;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x",
                static_cast<int>(kStops[i][0] + f * (kStops[i + 1][0] - kStops[i][0])),
                static_cast<int>(kStops[i][1] + f * (kStops[i + 1][1] - kStops[i][1])),
                static_cast<int>(kStops[i][2] + f * (kStops[i + 1][2] - kStops[i][2])));
  return buffer;
}

struct Frame {
  double MinX = 0, MinY = 0, Scale = 1;
  double X(double mm) const { return kViewX + (mm - MinX) * Scale; }
  double Y(double mm) const { return kViewY + kViewSize - (mm - MinY) * Scale; }
};

void Axes(Svg& svg, const Frame& f, double spanX, double spanY) {
  double step = NiceStep(std::max(spanX, spanY), 8);
  svg.Add("<g stroke=\"#e4e4e4\" stroke-width=\"1\">\n");
  for (double v = std::ceil(f.MinX / step) * step; v <= f.MinX + spanX + 1e-9; v += step)
    svg.Add("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", f.X(v), kViewY, f.X(v), kViewY + kViewSize);
  for (double v = std::ceil(f.MinY / step) * step; v <= f.MinY + spanY + 1e-9; v += step)
    svg.Add("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", kViewX, f.Y(v), kViewX + kViewSize, f.Y(v));
  svg.Add("</g>\n<g font-size=\"11\" fill=\"#555\">\n");
  for (double v = std::ceil(f.MinX / step) * step; v <= f.MinX + spanX + 1e-9; v += step)
    svg.Add("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", f.X(v), kViewY + kViewSize + 16,
            Number(v).c_str());
  for (double v = std::ceil(f.MinY / step) * step; v <= f.MinY + spanY + 1e-9; v += step)
    svg.Add("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kViewX - 6, f.Y(v) + 4,
            Number(v).c_str());
  svg.Add("</g>\n");
  svg.Add("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#999\"/>\n", kViewX,
          kViewY, kViewSize, kViewSize);
  svg.Add("<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">X (mm)</text>\n",
          kViewX + kViewSize / 2, kViewY + kViewSize + 34);
  svg.Add("<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\" transform=\"rotate(-90 %.1f %.1f)\">"
          "Y (mm)</text>\n",
          kViewX - 44, kViewY + kViewSize / 2, kViewX - 44, kViewY + kViewSize / 2);
}

void CommandedPath(Svg& svg, const Frame& f, const std::vector<CommandedPoint>& points) {
  // Runs of one style become one polyline.
  size_t i = 0;
  while (i + 1 < points.size()) {
    if (points[i + 1].Break) {
      ++i;
      continue;
    }
    const bool rapid = points[i + 1].Rapid;
    svg.Add("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%s\" stroke-dasharray=\"%s\" points=\"",
            rapid ? "#e0301e" : "#111111", "1", rapid ? "2 3" : "5 3");
    svg.Add("%.2f,%.2f", f.X(points[i].Mm[0]), f.Y(points[i].Mm[1]));
    while (i + 1 < points.size() && !points[i + 1].Break && points[i + 1].Rapid == rapid) {
      ++i;
      svg.Add(" %.2f,%.2f", f.X(points[i].Mm[0]), f.Y(points[i].Mm[1]));
    }
    svg.Raw("\"/>\n");
  }
}

void ExecutedPath(Svg& svg, const Frame& f, const std::vector<ExecutedPoint>& points, double minZ, double maxZ) {
  auto band = [&](double z) {
    if (!(maxZ > minZ)) return kColourBands - 1;
    return std::clamp(static_cast<int>((z - minZ) / (maxZ - minZ) * kColourBands), 0, kColourBands - 1);
  };
  size_t i = 0;
  while (i + 1 < points.size()) {
    if (points[i + 1].Break) {
      ++i;
      continue;
    }
    const int b = band(points[i + 1].Mm[2]);
    svg.Add("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"4\" stroke-linejoin=\"round\" "
            "stroke-linecap=\"round\" points=\"%.2f,%.2f",
            Colour((b + 0.5) / kColourBands).c_str(), f.X(points[i].Mm[0]), f.Y(points[i].Mm[1]));
    while (i + 1 < points.size() && !points[i + 1].Break && band(points[i + 1].Mm[2]) == b) {
      ++i;
      svg.Add(" %.2f,%.2f", f.X(points[i].Mm[0]), f.Y(points[i].Mm[1]));
    }
    svg.Raw("\"/>\n");
  }
}

void Legend(Svg& svg, double minZ, double maxZ, const RunRecord& run, const SvgText& text) {
  double y = kViewY + 10;
  svg.Add("<g font-size=\"12\">\n");
  svg.Add("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#111111\" stroke-dasharray=\"5 3\"/>"
          "<text x=\"%.0f\" y=\"%.0f\">commanded feed move</text>\n",
          kLegendX, y, kLegendX + 36, y, kLegendX + 44, y + 4);
  y += 20;
  svg.Add("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#e0301e\" stroke-dasharray=\"2 3\"/>"
          "<text x=\"%.0f\" y=\"%.0f\">commanded rapid (G0)</text>\n",
          kLegendX, y, kLegendX + 36, y, kLegendX + 44, y + 4);
  y += 20;
  svg.Add("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"4\"/>"
          "<text x=\"%.0f\" y=\"%.0f\">executed by the board</text>\n",
          kLegendX, y, kLegendX + 36, y, Colour(0.6).c_str(), kLegendX + 44, y + 4);
  y += 36;
  // Depth scale.
  const double barH = 200;
  svg.Add("<text x=\"%.0f\" y=\"%.0f\">Z (mm)</text>\n", kLegendX, y);
  y += 10;
  for (int i = 0; i < kColourBands; ++i) {
    double h = barH / kColourBands;
    svg.Add("<rect x=\"%.0f\" y=\"%.2f\" width=\"22\" height=\"%.2f\" fill=\"%s\"/>\n", kLegendX,
            y + barH - (i + 1) * h, h + 0.3, Colour((i + 0.5) / kColourBands).c_str());
  }
  svg.Add("<text x=\"%.0f\" y=\"%.0f\">%.3f</text>\n", kLegendX + 30, y + 10, maxZ);
  svg.Add("<text x=\"%.0f\" y=\"%.0f\">%.3f</text>\n", kLegendX + 30, y + barH, minZ);
  y += barH + 20;
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-size=\"11\" fill=\"#555\">the heights the program cuts at;</text>\n",
          kLegendX, y);
  y += 14;
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-size=\"11\" fill=\"#555\">anything higher in the top colour</text>\n",
          kLegendX, y);
  y += 30;
  // The run in a few lines.
  char line[160];
  std::snprintf(line, sizeof line, "machine time %.3f s", static_cast<double>(run.MachineTimeUs) / 1e6);
  svg.Add("<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", kLegendX, y, line);
  y += 18;
  std::snprintf(line, sizeof line, "%llu records, %u us each",
                static_cast<unsigned long long>(run.RecordsStreamed), run.SegmentPeriodUs);
  svg.Add("<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", kLegendX, y, line);
  y += 18;
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-weight=\"bold\">%s</text>\n", kLegendX, y, Escape(text.Result).c_str());
  svg.Add("</g>\n");
}

struct Bucket {
  uint32_t MaxQueued = 0;
  uint32_t MaxCost = 0;
  uint64_t SumCost = 0;
  uint32_t Count = 0;
};

void TimeAxis(Svg& svg, double top, double seconds) {
  double step = NiceStep(seconds, 10);
  svg.Add("<g font-size=\"11\" fill=\"#555\">\n");
  for (double t = 0; t <= seconds + 1e-9; t += step) {
    double x = kPlotX + t / seconds * kPlotW;
    svg.Add("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>", x, top, x, top + kPlotH);
    svg.Add("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x, top + kPlotH + 14, Number(t).c_str());
  }
  svg.Add("</g>\n");
}

void Timelines(Svg& svg, const RunRecord& run) {
  const auto& u = run.Updates;
  if (u.empty()) return;
  const double seconds = std::max(1e-3, static_cast<double>(u.back().TimeUs) / 1e6);
  const int columns = static_cast<int>(kPlotW / 2);
  std::vector<Bucket> buckets(static_cast<size_t>(columns));
  std::vector<uint32_t> costs;
  costs.reserve(u.size());
  for (const UpdateSample& s : u) {
    int c = std::min(columns - 1, static_cast<int>(static_cast<double>(s.TimeUs) / 1e6 / seconds * columns));
    Bucket& b = buckets[static_cast<size_t>(c)];
    b.MaxQueued = std::max(b.MaxQueued, s.Queued);
    b.MaxCost = std::max(b.MaxCost, s.CostNs);
    b.SumCost += s.CostNs;
    ++b.Count;
    costs.push_back(s.CostNs);
  }
  std::sort(costs.begin(), costs.end());
  const double p99 = costs[std::min(costs.size() - 1, costs.size() * 99 / 100)] / 1000.0;
  // One preempted Update must not flatten the rest: the scale stops at four
  // times the 99th percentile and taller bars are cut (marked red).
  const double topCost = std::max(0.5, std::min(costs.back() / 1000.0, 4 * p99));
  const double capacity = static_cast<double>(std::max<size_t>(run.QueueCapacity, 1));

  // Buffer fill.
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-size=\"13\">board buffer fill (segments of %zu), max per %.0f ms</text>\n",
          kPlotX, kFillY - 8, run.QueueCapacity, seconds * 1000 / columns);
  svg.Add("<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"#fafafa\" stroke=\"#999\"/>\n", kPlotX,
          kFillY, kPlotW, kPlotH);
  TimeAxis(svg, kFillY, seconds);
  svg.Add("<path fill=\"#4a78b5\" fill-opacity=\"0.55\" stroke=\"none\" d=\"M%.1f,%.1f",
          kPlotX, kFillY + kPlotH);
  uint32_t held = 0;
  for (int c = 0; c < columns; ++c) {
    const Bucket& b = buckets[static_cast<size_t>(c)];
    // A column without an Update (one held long by flow control) keeps the
    // fill last seen.
    if (b.Count != 0) held = b.MaxQueued;
    double y = kFillY + kPlotH - held / capacity * kPlotH;
    svg.Add(" L%.1f,%.1f L%.1f,%.1f", kPlotX + c * 2.0, y, kPlotX + c * 2.0 + 2, y);
  }
  svg.Add(" L%.1f,%.1f Z\"/>\n", kPlotX + kPlotW, kFillY + kPlotH);
  svg.Add("<g font-size=\"11\" fill=\"#555\" text-anchor=\"end\"><text x=\"%.0f\" y=\"%.0f\">%zu</text>"
          "<text x=\"%.0f\" y=\"%.0f\">0</text></g>\n",
          kPlotX - 6, kFillY + 10, run.QueueCapacity, kPlotX - 6, kFillY + kPlotH);

  // Update cost.
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-size=\"13\">plug-in time per Update (us): max per column (bars), "
          "mean (line); p99 %.2f us</text>\n",
          kPlotX, kCostY - 8, p99);
  svg.Add("<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"#fafafa\" stroke=\"#999\"/>\n", kPlotX,
          kCostY, kPlotW, kPlotH);
  TimeAxis(svg, kCostY, seconds);
  for (int c = 0; c < columns; ++c) {
    const Bucket& b = buckets[static_cast<size_t>(c)];
    if (b.Count == 0) continue;
    double v = b.MaxCost / 1000.0;
    bool cut = v > topCost;
    double h = std::min(v, topCost) / topCost * kPlotH;
    svg.Add("<rect x=\"%.1f\" y=\"%.1f\" width=\"1.6\" height=\"%.1f\" fill=\"%s\"/>", kPlotX + c * 2.0,
            kCostY + kPlotH - h, h, cut ? "#c0392b" : "#e39b3b");
  }
  svg.Add("\n<polyline fill=\"none\" stroke=\"#7a4200\" stroke-width=\"1\" points=\"");
  for (int c = 0; c < columns; ++c) {
    const Bucket& b = buckets[static_cast<size_t>(c)];
    if (b.Count == 0) continue;
    double mean = static_cast<double>(b.SumCost) / b.Count / 1000.0;
    svg.Add(" %.1f,%.1f", kPlotX + c * 2.0 + 1, kCostY + kPlotH - std::min(mean, topCost) / topCost * kPlotH);
  }
  svg.Raw("\"/>\n");
  svg.Add("<g font-size=\"11\" fill=\"#555\" text-anchor=\"end\"><text x=\"%.0f\" y=\"%.0f\">%.2f</text>"
          "<text x=\"%.0f\" y=\"%.0f\">0</text></g>\n",
          kPlotX - 6, kCostY + 10, topCost, kPlotX - 6, kCostY + kPlotH);
  svg.Add("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\" text-anchor=\"middle\">simulated machine time (s)</text>\n",
          kPlotX + kPlotW / 2, kCostY + kPlotH + 32);
}

}  // namespace

bool WriteSvg(const std::string& path, const RunRecord& run, const SvgText& text) {
  // Bounds of everything drawn in the XY view.
  double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
  auto include = [&](const double* mm) {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], mm[a]);
      hi[a] = std::max(hi[a], mm[a]);
    }
  };
  for (const CommandedPoint& p : run.Commanded3d) include(p.Mm);
  for (const ExecutedPoint& p : run.Executed) include(p.Mm);
  if (lo[0] > hi[0]) {
    for (int a = 0; a < 3; ++a) lo[a] = hi[a] = 0;
  }
  // Depth colours span the heights the program cuts at (the ends of its
  // feed moves); rapids and homing above them take the top colour.
  double minZ = 1e300, maxZ = -1e300;
  for (const CommandedPoint& p : run.Commanded3d) {
    if (p.Rapid || p.Break) continue;
    minZ = std::min(minZ, p.Mm[2]);
    maxZ = std::max(maxZ, p.Mm[2]);
  }
  if (!(maxZ - minZ >= 0.01)) {
    minZ = lo[2];
    maxZ = hi[2];
  }
  double spanX = hi[0] - lo[0], spanY = hi[1] - lo[1];
  double span = std::max({spanX, spanY, 1.0});
  double margin = span * 0.05;
  Frame f;
  f.Scale = kViewSize / (span + 2 * margin);
  // Centre the smaller extent.
  f.MinX = lo[0] - margin - (span - spanX) / 2;
  f.MinY = lo[1] - margin - (span - spanY) / 2;

  Svg svg;
  svg.Add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  svg.Add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
          "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\">\n",
          kWidth, kHeight, kWidth, kHeight);
  svg.Add("<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
  svg.Add("<text x=\"%.0f\" y=\"32\" font-size=\"20\" font-weight=\"bold\">%s</text>\n", kViewX,
          Escape(text.Title).c_str());
  svg.Add("<text x=\"%.0f\" y=\"56\" font-size=\"13\" fill=\"#444\">%s</text>\n", kViewX,
          Escape(text.Subtitle).c_str());
  Axes(svg, f, span + 2 * margin, span + 2 * margin);
  svg.Add("<g clip-path=\"url(#view)\">\n");
  ExecutedPath(svg, f, run.Executed, minZ, maxZ);
  CommandedPath(svg, f, run.Commanded3d);
  svg.Add("</g>\n");
  svg.Add("<clipPath id=\"view\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath>\n", kViewX,
          kViewY, kViewSize, kViewSize);
  Legend(svg, minZ, maxZ, run, text);
  Timelines(svg, run);
  svg.Add("</svg>\n");

  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(svg.Text().data(), 1, svg.Text().size(), out) == svg.Text().size();
  return std::fclose(out) == 0 && ok;
}

}  // namespace vx::tool
