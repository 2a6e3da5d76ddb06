#pragma once

// The monitor layout of a GNOME Wayland session, as the compositor states it through
// org.gnome.Mutter.DisplayConfig.GetCurrentState: the monitors (connectors and their modes) and
// the logical monitors that place them on the desktop, one of them primary.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Ports/DisplayLayout.hpp"

struct sd_bus;

namespace vantrel {

// GetCurrentState's reply, as plain data (only what the agent uses).
struct MutterDisplayState {
  struct Mode {
    int width = 0;
    int height = 0;
    bool isCurrent = false;
  };
  struct Monitor {
    std::string connector;
    std::string vendor;
    std::string product;
    std::vector<Mode> modes;
  };
  struct LogicalMonitor {
    int x = 0;
    int y = 0;
    double scale = 1.0;
    std::uint32_t transform = 0;  // 0 normal, 1/3/5/7 turned a quarter (width and height swap)
    bool primary = false;
    std::vector<std::string> connectors;
  };
  std::vector<Monitor> monitors;
  std::vector<LogicalMonitor> logicalMonitors;
};

// One display of the desktop: a logical monitor with the monitor that shows it.
struct MutterDisplay {
  std::uint32_t id = 0;  // 1-based place among the logical monitors of the reply
  std::string connector;
  std::string name;     // vendor and product
  ScreenRect bounds;    // position in the desktop, size in pixels of the current mode
  int scaleRate = 100;  // the logical monitor's scale as a percentage
  bool isPrimary = false;
};

// The displays of a state, the primary one first (the first logical monitor when none is flagged),
// then in the reply's order. A logical monitor whose connector names no monitor with a current
// mode is left out.
std::vector<MutterDisplay> mutterDisplays(const MutterDisplayState& state);

// A scale factor as a percentage, rounded; 100 for a factor that is not finite or outside 0.25-8.
int scaleRateFromFactor(double scale) noexcept;

// The displays as the X11 layout the screen path uses (root = the bounds of them all, the primary
// flagged, the primary's scale). Throws CompositorCaptureError::unavailable when there is none.
DisplayLayout mutterDisplayLayout(const std::vector<MutterDisplay>& displays);

// Asks the compositor on `bus` (the session bus when null) for its state. Throws
// CompositorCaptureError::unavailable when the service does not answer or the reply is malformed.
MutterDisplayState readMutterDisplayState(sd_bus* bus = nullptr);

}  // namespace vantrel
