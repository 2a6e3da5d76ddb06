#pragma once

#include <optional>
#include <string_view>

// Xlib's display connection type, declared here so that callers need no X headers.
struct _XDisplay;  // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace vantrel {

// The main display's position and size in pixels of the root window.
struct XMainDisplayGeometry {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  friend bool operator==(const XMainDisplayGeometry&, const XMainDisplayGeometry&) = default;
};

struct XMainDisplayInfo {
  XMainDisplayGeometry geometry;
  // Pixels per point as a percentage (100 when the desktop is not scaled).
  int scaleRate = 100;
};

// Small read-only questions to the X server for permission status and system information.
namespace XDisplayProbe {

// The main display of an open connection, the area the screen is captured from: the primary
// RandR monitor, else the first monitor, else (no RandR monitors) the root window, clipped to the
// root window. Nullopt when RandR lists no monitor or the area is empty.
std::optional<XMainDisplayGeometry> mainDisplayGeometry(_XDisplay* display);

// The desktop scale from the server's resource database ("Xft.dpi"), 100 when none is higher
// than the 96 dots per inch of an unscaled desktop.
int scaleRate(_XDisplay* display);

// Scale rate from the text of the RESOURCE_MANAGER property (its last Xft.dpi entry): the
// whole dots per inch as a percentage of 96, rounded to the nearest; 100 when the entry is
// missing, malformed, not above 96 or beyond any real desktop (960).
int scaleRateFromResources(std::string_view resources);

// Opens its own connection; nullopt when no display can be reached.
std::optional<XMainDisplayInfo> mainDisplay();

// True when a display can be opened and its pixels can be read back.
bool canCaptureScreen();

}  // namespace XDisplayProbe
}  // namespace vantrel
