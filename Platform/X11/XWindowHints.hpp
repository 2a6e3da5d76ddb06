#pragma once

// Requests to the window manager about a window's frame, written as the properties managers read.

#include <cstdint>

// xcb's connection type, declared here so that callers need no X headers.
struct xcb_connection_t;

namespace vantrel::XWindowHints {

// _MOTIF_WM_HINTS for a window with a title bar and a border only, that may be moved but not
// resized, minimised, maximised or closed. A manager that draws a close button anyway sends the
// window the usual close request. Written on `connection`, the one that made the window, so that
// it reaches the server after the window's creation; a window mapped before this call is updated
// by the managers that follow the property.
void requestTitleOnlyFrame(xcb_connection_t* connection, std::uint32_t window);

// Takes resizing out of what the window manager offers the user for `window`, keeping the other
// functions and decorations the window asked for (in _MOTIF_WM_HINTS): no resize handle, grips or
// resize action, also while the program itself changes the window's size through wider limits.
// Managers read the property when they take the window on (openbox only then), so this is asked
// before the window is mapped.
void requestNoUserResize(xcb_connection_t* connection, std::uint32_t window);

// How the server shows `window` while its size changes, before the program has painted the new
// size: with `centred`, the picture it holds stays centred in the window (bit gravity) and the
// edges a larger size uncovers are filled at once with `background` (0xRRGGBB); otherwise the
// server's defaults for a toolkit window come back (the picture kept at the top-left corner,
// nothing painted on uncovered edges). The background is left alone on a window whose visual
// cannot show an RGB colour directly.
void keepPictureCentredOnResize(xcb_connection_t* connection, std::uint32_t window, bool centred,
                                std::uint32_t background);

// The values of that request (flags, functions, decorations), as tests read them back.
inline constexpr std::uint32_t motifFunctionsAndDecorations = (1U << 0) | (1U << 1);
inline constexpr std::uint32_t motifFunctionMove = 1U << 2;
inline constexpr std::uint32_t motifDecorationBorder = 1U << 1;
inline constexpr std::uint32_t motifDecorationTitle = 1U << 3;
inline constexpr std::uint32_t motifFunctionAll = 1U << 0;
inline constexpr std::uint32_t motifFunctionResize = 1U << 1;
inline constexpr std::uint32_t motifDecorationAll = 1U << 0;
inline constexpr std::uint32_t motifDecorationResizeHandle = 1U << 2;

}  // namespace vantrel::XWindowHints
