#pragma once

// The pointer's picture as both desktops report it, and drawing it into a captured frame.

#include <cstdint>
#include <vector>

#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {

// A cursor image: premultiplied ARGB words, hot spot, and the pointer position on the root.
struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<std::uint32_t> argb;  // width * height, premultiplied alpha
};

// Draws `cursor` (premultiplied) onto `image`, whose top-left corner lies at `origin` of the root
// window, with the pointer at (`pointerX`, `pointerY`) of the root. Parts outside are clipped.
void drawCursor(const BgraImageView& image, int originX, int originY, const CursorImage& cursor, int pointerX,
                int pointerY) noexcept;

// A pointer coordinate reported from outside, within +-32768: far beyond any screen, and far from
// overflow in the arithmetic of a cursor's place.
int clampPointerCoordinate(std::int64_t value) noexcept;
// Moves the hot spot inside the bitmap (0,0 for an empty one).
void clampHotSpot(CursorImage& cursor) noexcept;

}  // namespace vantrel
