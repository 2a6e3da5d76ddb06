#pragma once

// The desktop's monitor layout and main display as the screen stream and the system information
// need them, read from either desktop (readX11DisplayLayout, mutterDisplayLayout).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

// One monitor: on an X server a RandR monitor (or the root window when it lists none), on GNOME
// Wayland a logical monitor of the compositor.
struct MonitorInfo {
  std::uint32_t id = 0;  // the XID of the monitor's first output; 0 for the root window
  std::string name;
  ScreenRect bounds;
  bool isPrimary = false;
};

// The display's layout as the capture needs it.
struct DisplayLayout {
  ScreenRect root;
  std::vector<MonitorInfo> monitors;  // in the server's order; the primary one is flagged
  bool hasRandrMonitors = false;
  // Pixels per point as a percentage (100 when not scaled): the X server's "Xft.dpi", or the
  // compositor's scale of the primary monitor.
  int scaleRate = 100;

  // The area to capture: the primary monitor, else the first monitor, else (without RandR
  // monitors) the root window. Nullopt when RandR lists no monitor or the area is empty.
  std::optional<ScreenRect> mainArea() const;
};

// The common part of two rectangles; empty (all zero) when they do not overlap.
ScreenRect intersection(const ScreenRect& a, const ScreenRect& b) noexcept;

// The main display's position and size in pixels of the root window.
struct MainDisplayGeometry {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const MainDisplayGeometry&, const MainDisplayGeometry&) = default;
};

struct MainDisplayInfo {
  MainDisplayGeometry geometry;
  // Pixels per point as a percentage (100 when the desktop is not scaled).
  int scaleRate = 100;
};

}  // namespace vantrel
