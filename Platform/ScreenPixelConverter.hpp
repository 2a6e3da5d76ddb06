#pragma once

// Turns a captured BGRA picture into the I420 picture the encoder takes, scaling it to the
// stream's size on the way (libyuv).

#include <cstdint>
#include <vector>

#include "Platform/X11DisplayCapture.hpp"

namespace vantrel {

struct I420Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> y;
  std::vector<std::uint8_t> u;
  std::vector<std::uint8_t> v;
  int strideY() const noexcept { return width; }
  int strideUV() const noexcept { return (width + 1) / 2; }
};

class ScreenPixelConverter {
 public:
  // `targetWidth` and `targetHeight` must be positive.
  ScreenPixelConverter(int targetWidth, int targetHeight);

  // Converts (and scales, when the sizes differ) `source` into the converter's picture, which
  // stays valid until the next call.
  const I420Picture& convert(const BgraImageView& source);

 private:
  static void allocate(I420Picture& picture, int width, int height);
  I420Picture target_;
  I420Picture intermediate_;  // the source size, when scaling
};

}  // namespace vantrel
