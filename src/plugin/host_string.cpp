// Placeholder until the status line lands.
#include "plugin/host_view.h"

namespace vx {
void HostView::PostStatus(const char*) {}
}  // namespace vx
