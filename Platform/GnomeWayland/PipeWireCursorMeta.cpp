#include "Platform/GnomeWayland/PipeWireCursorMeta.hpp"

#include <spa/param/video/raw.h>

namespace vantrel {

std::optional<CursorImage> readCursorBitmap(const std::uint8_t* base, std::uint32_t metaSize,
                                            const spa_meta_cursor& cursor) {
  const auto* c = &cursor;
  const auto* bitmap = reinterpret_cast<const spa_meta_bitmap*>(base + c->bitmap_offset);
  CursorImage image;
  const auto w = bitmap->size.width, h = bitmap->size.height;
  if (w == 0 || h == 0) return image;  // an invisible cursor: nothing to draw
  if (w > maxCursorSide || h > maxCursorSide || bitmap->stride < static_cast<std::int32_t>(w * 4)) {
    return std::nullopt;
  }
  const std::uint64_t start = static_cast<std::uint64_t>(c->bitmap_offset) + bitmap->offset;
  const std::uint64_t end = start + static_cast<std::uint64_t>(bitmap->stride) * (h - 1) + w * 4ULL;
  if (bitmap->offset < sizeof(spa_meta_bitmap) || end > metaSize) return std::nullopt;
  // Premultiplied, as the compositor reads it; into the 0xAARRGGBB words drawCursor takes.
  int r = 0, g = 1, b = 2, a = 3;
  switch (bitmap->format) {
    case SPA_VIDEO_FORMAT_RGBA: break;
    case SPA_VIDEO_FORMAT_BGRA: r = 2, b = 0; break;
    case SPA_VIDEO_FORMAT_ARGB: a = 0, r = 1, g = 2, b = 3; break;
    case SPA_VIDEO_FORMAT_ABGR: a = 0, b = 1, g = 2, r = 3; break;
    default: return std::nullopt;
  }
  image.width = static_cast<int>(w);
  image.height = static_cast<int>(h);
  image.hotX = c->hotspot.x;
  image.hotY = c->hotspot.y;
  clampHotSpot(image);
  image.argb.resize(static_cast<std::size_t>(w) * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* row = base + start + static_cast<std::uint64_t>(y) * bitmap->stride;
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t* p = row + x * 4;
      image.argb[y * w + x] = (std::uint32_t{p[a]} << 24) | (std::uint32_t{p[r]} << 16) |
                              (std::uint32_t{p[g]} << 8) | std::uint32_t{p[b]};
    }
  }
  return image;
}

}  // namespace vantrel
