#include "Platform/ScreenSharpening.hpp"

#include <algorithm>

namespace vantrel {

StillSharpening::StillSharpening(int width, int height, int maxPicturesPerStill, int targetQp)
    : columns_(std::max(0, (width + 15) / 16)),
      rows_(std::max(0, (height + 15) / 16)),
      maxPictures_(std::max(1, maxPicturesPerStill)),
      targetQp_(targetQp),
      fine_(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0),
      lastError_(fine_.size(), unknownError),
      stalls_(fine_.size(), 0) {
  coarse_ = static_cast<int>(fine_.size());
}

void StillSharpening::mark(std::size_t at, int qp) noexcept {
  const bool fine = qp > 0 && qp <= targetQp_;
  if (fine_[at] && !fine) ++coarse_;
  if (!fine_[at] && fine) --coarse_;
  fine_[at] = fine ? 1 : 0;
  lastError_[at] = unknownError;
  stalls_[at] = 0;
}

void StillSharpening::noteCoded(const ScreenDamage* changed, int qp) {
  pictures_ = 0;
  if (!changed || changed->isWhole()) {
    for (std::size_t at = 0; at < fine_.size(); ++at) mark(at, qp);
    return;
  }
  for (const auto& rect : changed->rects()) {
    const int x0 = std::max(0, rect.x), y0 = std::max(0, rect.y);
    const int x1 = std::min(columns_ * 16, rect.x + rect.width),
              y1 = std::min(rows_ * 16, rect.y + rect.height);
    if (x1 <= x0 || y1 <= y0) continue;
    for (int row = y0 / 16; row <= (y1 - 1) / 16; ++row) {
      for (int column = x0 / 16; column <= (x1 - 1) / 16; ++column) mark(index(column, row), qp);
    }
  }
}

bool StillSharpening::needsSharpening() const noexcept { return coarse_ > 0 && pictures_ < maxPictures_; }

std::vector<std::uint8_t> StillSharpening::leaveAloneMap() const { return fine_; }

void StillSharpening::noteRefined(const std::function<std::uint32_t(int column, int row)>& meanSquaredError) {
  ++pictures_;
  for (int row = 0; row < rows_; ++row) {
    for (int column = 0; column < columns_; ++column) {
      const auto at = index(column, row);
      if (fine_[at]) continue;
      const auto error = meanSquaredError(column, row);
      const auto before = lastError_[at];
      // No longer a tenth better than before, twice in a row (a row the buffer held back once is
      // taken up by the next picture): what is left is what the target quantiser gives.
      const bool improved = before == unknownError || std::uint64_t{error} * 10 < std::uint64_t{before} * 9;
      stalls_[at] = improved ? 0 : static_cast<std::uint8_t>(std::min(stalls_[at] + 1, 255));
      const bool settled = stalls_[at] >= 2 && error <= settledMeanSquaredError;
      if (error <= fineMeanSquaredError || settled) {
        fine_[at] = 1;
        --coarse_;
      }
      lastError_[at] = error;
    }
  }
}

std::uint32_t macroblockLumaError(const I420Picture& source, const std::uint8_t* decoded, int decodedStride,
                                  int column, int row) noexcept {
  const int x0 = column * 16, y0 = row * 16;
  const int x1 = std::min(source.width, x0 + 16), y1 = std::min(source.height, y0 + 16);
  if (x1 <= x0 || y1 <= y0) return 0;
  std::uint64_t sum = 0;
  for (int y = y0; y < y1; ++y) {
    const auto* a =
        source.y.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(source.strideY());
    const auto* b = decoded + static_cast<std::size_t>(y) * static_cast<std::size_t>(decodedStride);
    for (int x = x0; x < x1; ++x) {
      const int d = int{a[x]} - int{b[x]};
      sum += static_cast<std::uint64_t>(d * d);
    }
  }
  const auto count = static_cast<std::uint64_t>(x1 - x0) * static_cast<std::uint64_t>(y1 - y0);
  return static_cast<std::uint32_t>((sum + count / 2) / count);
}

}  // namespace vantrel
