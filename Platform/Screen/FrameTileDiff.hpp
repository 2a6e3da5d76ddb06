#pragma once

// Finding what changed between two whole frames of a source that reports no damage (the GNOME
// compositor's screen cast sends every frame whole): the new frame is compared with the previous
// one tile by tile, and only tiles that differ are reported (and copied, where the previous frame
// is a copy of our own). A frame equal to the
// previous one reports nothing, so a still screen costs a compare and nothing else.

#include <cstddef>
#include <cstdint>

#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/Ports/ScreenDamage.hpp"

namespace vantrel {

// Tile size of the compare: 64 pixels (256 bytes, four cache lines) by 16 rows.
inline constexpr int frameTileWidth = 64;
inline constexpr int frameTileHeight = 16;

// True when a frame of `width` x `height` 4-byte pixels, its rows `stride` bytes apart, lies
// inside a buffer of `bufferSize` bytes from `offset` on and inside the `chunkSize` bytes the
// producer says it filled: every row whole, the stride no shorter than a row, and the chunk at
// least `height` strides (the last row's padding may be left out). Checked without overflow.
bool frameFitsBuffer(int width, int height, std::int64_t stride, std::uint64_t offset,
                     std::uint64_t chunkSize, std::uint64_t bufferSize) noexcept;

// Copies the `target.width` x `target.height` pixels of `source` (rows `sourceStride` bytes apart)
// into `target`, comparing tile by tile (`tileWidth` x `tileHeight`): only differing tiles are
// copied and added to `changed` (target coordinates; runs of neighbouring tiles as one
// rectangle). Returns true when any pixel differed. The bytes past a row's last pixel (stride
// padding) are neither read for the compare nor copied.
bool copyChangedTiles(const std::uint8_t* source, int sourceStride, const BgraImageView& target,
                      ScreenDamage& changed, int tileWidth = frameTileWidth,
                      int tileHeight = frameTileHeight);

// The same compare without the copy: the tiles of `source` that differ from `previous` are added
// to `changed`, and neither frame is written. For a source that keeps the previous frame itself.
bool findChangedTiles(const std::uint8_t* source, int sourceStride, const BgraImageView& previous,
                      ScreenDamage& changed, int tileWidth = frameTileWidth,
                      int tileHeight = frameTileHeight);

}  // namespace vantrel
