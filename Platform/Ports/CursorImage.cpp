#include "Platform/Ports/CursorImage.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

int clampPointerCoordinate(std::int64_t value) noexcept {
  return static_cast<int>(std::clamp<std::int64_t>(value, -32768, 32768));
}

void clampHotSpot(CursorImage& cursor) noexcept {
  cursor.hotX = cursor.width > 0 ? std::clamp(cursor.hotX, 0, cursor.width - 1) : 0;
  cursor.hotY = cursor.height > 0 ? std::clamp(cursor.hotY, 0, cursor.height - 1) : 0;
}

void drawCursor(const BgraImageView& image, int originX, int originY, const CursorImage& cursor, int pointerX,
                int pointerY) noexcept {
  if (!image.data || cursor.width <= 0 || cursor.height <= 0 ||
      cursor.argb.size() < static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height)) {
    return;
  }
  // In 64 bits: the values come from other processes.
  const auto left = static_cast<int>(std::clamp<std::int64_t>(
      std::int64_t{pointerX} - std::clamp(cursor.hotX, 0, cursor.width - 1) - originX, -(1 << 20), 1 << 20));
  const auto top = static_cast<int>(std::clamp<std::int64_t>(
      std::int64_t{pointerY} - std::clamp(cursor.hotY, 0, cursor.height - 1) - originY, -(1 << 20), 1 << 20));
  const int x0 = std::max(0, -left);
  const int y0 = std::max(0, -top);
  const int x1 = std::min(cursor.width, image.width - left);
  const int y1 = std::min(cursor.height, image.height - top);
  for (int cy = y0; cy < y1; ++cy) {
    std::uint8_t* row = image.data + static_cast<std::ptrdiff_t>(top + cy) * image.stride;
    const std::uint32_t* src = cursor.argb.data() + static_cast<std::size_t>(cy) * cursor.width;
    for (int cx = x0; cx < x1; ++cx) {
      const std::uint32_t p = src[cx];
      const std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = row + static_cast<std::ptrdiff_t>(left + cx) * 4;
      const std::uint32_t inverse = 255 - alpha;
      const std::uint32_t sb = p & 0xFF, sg = (p >> 8) & 0xFF, sr = (p >> 16) & 0xFF;
      d[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sb + (d[0] * inverse + 127) / 255));
      d[1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sg + (d[1] * inverse + 127) / 255));
      d[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, sr + (d[2] * inverse + 127) / 255));
      d[3] = 0xFF;
    }
  }
}

}  // namespace vantrel
