#pragma once

// The cursor as a compositor's PipeWire stream describes it in each buffer's metadata: the size
// range the stream asks for, and the bitmap read into the words drawCursor takes.

#include <spa/buffer/meta.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "Platform/Ports/CursorImage.hpp"

namespace vantrel {

// The largest cursor bitmap the compositor sends (384 x 384); a Cursor meta whose size range does
// not reach it is dropped by the compositor without a word.
inline constexpr int maxCursorSide = 384;
constexpr std::size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<std::size_t>(side) * side * 4;
}
static_assert(cursorMetaSize(maxCursorSide) == 589872);

// The bitmap `cursor` points at within `metaSize` bytes from `base` (the metadata): an empty image
// for an invisible cursor, none when it does not fit or its format is unknown. The hot spot is
// clamped to the bitmap.
std::optional<CursorImage> readCursorBitmap(const std::uint8_t* base, std::uint32_t metaSize,
                                            const spa_meta_cursor& cursor);

}  // namespace vantrel
