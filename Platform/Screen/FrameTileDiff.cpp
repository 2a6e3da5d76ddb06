#include "Platform/Screen/FrameTileDiff.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vantrel {

bool frameFitsBuffer(int width, int height, std::int64_t stride, std::uint64_t offset,
                     std::uint64_t chunkSize, std::uint64_t bufferSize) noexcept {
  if (width <= 0 || height <= 0 || stride <= 0) return false;
  const auto rowBytes = static_cast<std::uint64_t>(width) * 4;
  const auto step = static_cast<std::uint64_t>(stride);
  if (step < rowBytes) return false;
  // Every operand below is under 2^47: no product or sum overflows.
  if (step > (std::uint64_t{1} << 30) || offset > bufferSize) return false;
  const auto needed = step * static_cast<std::uint64_t>(height - 1) + rowBytes;
  if (chunkSize < needed) return false;
  return needed <= bufferSize - offset;
}

namespace {

// Compares `source` with `target` tile by tile and adds the differing tiles to `changed`; with
// `copies`, each differing tile is copied into `target` as well.
bool diffTiles(const std::uint8_t* source, int sourceStride, const BgraImageView& target,
               ScreenDamage& changed, int tileWidth, int tileHeight, bool copies) {
  if (!source || !target.data || target.width <= 0 || target.height <= 0) return false;
  tileWidth = std::max(1, tileWidth);
  tileHeight = std::max(1, tileHeight);
  bool any = false;
  // Runs of changed tiles still growing downwards: a run in the next tile row with the same
  // columns extends it.
  std::vector<ScreenRect> open, next;
  for (int top = 0; top < target.height; top += tileHeight) {
    const int rows = std::min(tileHeight, target.height - top);
    next.clear();
    int runStart = -1;
    const auto closeRun = [&](int end) {
      if (runStart < 0) return;
      const ScreenRect run{runStart, top, end - runStart, rows};
      const auto above = std::find_if(open.begin(), open.end(), [&](const ScreenRect& r) {
        return r.x == run.x && r.width == run.width && r.y + r.height == top;
      });
      if (above != open.end()) {
        next.push_back({above->x, above->y, above->width, above->height + rows});
        open.erase(above);
      } else {
        next.push_back(run);
      }
      runStart = -1;
    };
    for (int left = 0; left < target.width; left += tileWidth) {
      const auto bytes = static_cast<std::size_t>(std::min(tileWidth, target.width - left)) * 4;
      const std::uint8_t* from = source + static_cast<std::ptrdiff_t>(top) * sourceStride + left * 4;
      std::uint8_t* into = target.data + static_cast<std::ptrdiff_t>(top) * target.stride + left * 4;
      int row = 0;
      while (row < rows && std::memcmp(from + static_cast<std::ptrdiff_t>(row) * sourceStride,
                                       into + static_cast<std::ptrdiff_t>(row) * target.stride, bytes) == 0) {
        ++row;
      }
      if (row == rows) {
        closeRun(left);
        continue;
      }
      // The rows above the first difference are equal already.
      for (; copies && row < rows; ++row) {
        std::memcpy(into + static_cast<std::ptrdiff_t>(row) * target.stride,
                    from + static_cast<std::ptrdiff_t>(row) * sourceStride, bytes);
      }
      any = true;
      if (runStart < 0) runStart = left;
    }
    closeRun(target.width);
    for (const auto& r : open) changed.add(r);
    open.swap(next);
  }
  for (const auto& r : open) changed.add(r);
  return any;
}

}  // namespace

bool copyChangedTiles(const std::uint8_t* source, int sourceStride, const BgraImageView& target,
                      ScreenDamage& changed, int tileWidth, int tileHeight) {
  return diffTiles(source, sourceStride, target, changed, tileWidth, tileHeight, true);
}

bool findChangedTiles(const std::uint8_t* source, int sourceStride, const BgraImageView& previous,
                      ScreenDamage& changed, int tileWidth, int tileHeight) {
  return diffTiles(source, sourceStride, previous, changed, tileWidth, tileHeight, false);
}

}  // namespace vantrel
