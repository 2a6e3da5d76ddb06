#pragma once

// Read-only questions to the X server: the layout of its monitors, the main display's area and
// scale, and whether the screen can be read. Every connection comes from XConnection.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Ports/DisplayLayout.hpp"
#include "Platform/X11/XConnection.hpp"

namespace vantrel {

// Opens the display named `displayName` (the DISPLAY variable when none) and reads its layout.
// Throws `X11CaptureError`: noDisplay when no display is named, accessDenied when the server
// refuses the connection.
DisplayLayout readX11DisplayLayout(const std::optional<std::string>& displayName = std::nullopt);
// The layout of a display already open.
DisplayLayout readX11DisplayLayout(::_XDisplay* display);

namespace XDisplayProbe {

// The main display of an open connection, the area the screen is captured from: the primary
// RandR monitor, else the first monitor, else (no RandR monitors) the root window, clipped to the
// root window. Nullopt when RandR lists no monitor or the area is empty.
std::optional<MainDisplayGeometry> mainDisplayGeometry(_XDisplay* display);

// The desktop scale from the server's resource database ("Xft.dpi"), 100 when none is higher
// than the 96 dots per inch of an unscaled desktop.
int scaleRate(_XDisplay* display);

// Scale rate from the text of the RESOURCE_MANAGER property (its last Xft.dpi entry): the
// whole dots per inch as a percentage of 96, rounded to the nearest; 100 when the entry is
// missing, malformed, not above 96 or beyond any real desktop (960).
int scaleRateFromResources(std::string_view resources);

// Opens its own connection; nullopt when no display can be reached.
std::optional<MainDisplayInfo> mainDisplay();

// True when a display can be opened and its pixels can be read back.
bool canCaptureScreen();

// True when a compositing manager runs on the default screen of the DISPLAY variable's display
// (it owns the "_NET_WM_CM_S<screen>" selection): only then do translucent windows show what is
// beneath them. False when no display can be reached.
bool compositingManagerRunning();

}  // namespace XDisplayProbe
}  // namespace vantrel
