#pragma once

// The luma of what an X server shows, read back for comparison with a manager's decoded picture.
// Header-only: only the tests and benches that include it link Xlib.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <optional>

#include "support/LumaPicture.hpp"

namespace vantrel::testing {

// The top left `width` x `height` of the root window; nothing when the server refuses the read.
inline std::optional<LumaPlane> screenLuma(Display* display, int width, int height) {
  XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return std::nullopt;
  LumaPlane plane{width, height, Bytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
  std::size_t at = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      plane.luma[at++] = limitedRangeLuma(static_cast<std::uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFFU);
    }
  }
  XDestroyImage(image);
  return plane;
}

}  // namespace vantrel::testing
