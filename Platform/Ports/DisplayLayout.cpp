#include "Platform/Ports/DisplayLayout.hpp"

#include <algorithm>

namespace vantrel {

ScreenRect intersection(const ScreenRect& a, const ScreenRect& b) noexcept {
  const int x0 = std::max(a.x, b.x);
  const int y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.width, b.x + b.width);
  const int y1 = std::min(a.y + a.height, b.y + b.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

std::optional<ScreenRect> DisplayLayout::mainArea() const {
  // RandR that lists no monitor: nothing is connected to show.
  if (hasRandrMonitors && monitors.empty()) return std::nullopt;
  ScreenRect area = root;
  const auto primary =
      std::find_if(monitors.begin(), monitors.end(), [](const MonitorInfo& m) { return m.isPrimary; });
  if (primary != monitors.end()) {
    area = primary->bounds;
  } else if (!monitors.empty()) {
    area = monitors.front().bounds;
  }
  // A monitor may reach past the root window while the screen is being reconfigured.
  area = intersection(area, root);
  if (area.width <= 0 || area.height <= 0) return std::nullopt;
  return area;
}

}  // namespace vantrel
