// The picture of a run, as plain SVG: the commanded path against the path
// the board executed (XY, depth as colour), and timelines of the board's
// buffer fill and of the plug-in's time per Update.
#pragma once

#include <string>

#include "tools/vendrix_sim/host_player.h"

namespace vx::tool {

struct SvgText {
  std::string Title;
  std::string Subtitle;
  std::string Result;
};

// False when the file cannot be written.
bool WriteSvg(const std::string& path, const RunRecord& run, const SvgText& text);

}  // namespace vx::tool
