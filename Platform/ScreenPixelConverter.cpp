#include "Platform/ScreenPixelConverter.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <stdexcept>

namespace vantrel {

namespace {

// How far (in target pixels) a changed source pixel can reach beyond its mapped position: the
// scaling filter reads up to one source pixel past each target pixel's box; two keeps a margin
// for the rounding of the fixed-point steps.
constexpr int filterReach = 2;

}  // namespace

ScreenPixelConverter::ScreenPixelConverter(int targetWidth, int targetHeight) {
  if (targetWidth <= 0 || targetHeight <= 0) throw std::invalid_argument("picture size must be positive");
  allocate(target_, targetWidth, targetHeight);
}

void ScreenPixelConverter::allocate(I420Picture& picture, int width, int height) {
  picture.width = width;
  picture.height = height;
  const auto chromaWidth = static_cast<std::size_t>((width + 1) / 2);
  const auto chromaHeight = static_cast<std::size_t>((height + 1) / 2);
  picture.y.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  picture.u.assign(chromaWidth * chromaHeight, 128);
  picture.v.assign(chromaWidth * chromaHeight, 128);
}

ScreenRect ScreenPixelConverter::targetRect(const ScreenRect& rect, int sourceWidth, int sourceHeight,
                                            int targetWidth, int targetHeight) noexcept {
  if (rect.width <= 0 || rect.height <= 0 || sourceWidth <= 0 || sourceHeight <= 0) return {};
  const auto mapDown = [](long long v, long long to, long long from) { return v * to / from; };
  const auto mapUp = [](long long v, long long to, long long from) { return (v * to + from - 1) / from; };
  const long long x0 = mapDown(std::max(0, rect.x), targetWidth, sourceWidth) - filterReach;
  const long long y0 = mapDown(std::max(0, rect.y), targetHeight, sourceHeight) - filterReach;
  const long long x1 = mapUp(std::min<long long>(sourceWidth, static_cast<long long>(rect.x) + rect.width),
                             targetWidth, sourceWidth) +
                       filterReach;
  const long long y1 = mapUp(std::min<long long>(sourceHeight, static_cast<long long>(rect.y) + rect.height),
                             targetHeight, sourceHeight) +
                       filterReach;
  const long long cx0 = std::max(0LL, x0), cy0 = std::max(0LL, y0);
  const long long cx1 = std::min<long long>(targetWidth, x1), cy1 = std::min<long long>(targetHeight, y1);
  if (cx1 <= cx0 || cy1 <= cy0) return {};
  return evenAligned({static_cast<int>(cx0), static_cast<int>(cy0), static_cast<int>(cx1 - cx0),
                      static_cast<int>(cy1 - cy0)},
                     targetWidth, targetHeight);
}

void ScreenPixelConverter::convertRect(const BgraImageView& source, const ScreenRect& part) {
  const std::uint8_t* bgra = source.data;
  int stride = source.stride;
  if (source.width != target_.width || source.height != target_.height) {
    // Scaling the BGRA picture first and converting the result converts only the target's
    // pixels; the box filter averages whole source pixels, as converting first and scaling the
    // planes did.
    const int scaledStride = target_.width * 4;
    libyuv::ARGBScaleClip(source.data, source.stride, source.width, source.height, scaled_.data(),
                          scaledStride, target_.width, target_.height, part.x, part.y, part.width,
                          part.height, libyuv::kFilterBox);
    bgra = scaled_.data();
    stride = scaledStride;
  }
  // libyuv's "ARGB" is the byte order B, G, R, A: the X server's 32-bit little-endian pixels.
  // `part` starts on even coordinates, so its chroma samples are whole 2x2 blocks.
  const int uvStride = target_.strideUV();
  const auto chromaOffset = static_cast<std::size_t>(part.y / 2) * static_cast<std::size_t>(uvStride) +
                            static_cast<std::size_t>(part.x / 2);
  libyuv::ARGBToI420(
      bgra + static_cast<std::ptrdiff_t>(part.y) * stride + static_cast<std::ptrdiff_t>(part.x) * 4, stride,
      target_.y.data() + static_cast<std::size_t>(part.y) * static_cast<std::size_t>(target_.width) +
          static_cast<std::size_t>(part.x),
      target_.strideY(), target_.u.data() + chromaOffset, uvStride, target_.v.data() + chromaOffset, uvStride,
      part.width, part.height);
}

const I420Picture& ScreenPixelConverter::convert(const BgraImageView& source) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  const bool sameSize = source.width == target_.width && source.height == target_.height;
  if (!sameSize && scaled_.empty())
    scaled_.assign(static_cast<std::size_t>(target_.width) * target_.height * 4, 0);
  convertRect(source, {0, 0, target_.width, target_.height});
  sourceWidth_ = source.width;
  sourceHeight_ = source.height;
  return target_;
}

const I420Picture& ScreenPixelConverter::convert(const BgraImageView& source, const ScreenDamage& changed) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  if (changed.isWhole() || source.width != sourceWidth_ || source.height != sourceHeight_)
    return convert(source);
  // The parts of the target the changes reach, merged where they meet.
  const bool sameSize = source.width == target_.width && source.height == target_.height;
  ScreenDamage parts(target_.width, target_.height);
  for (const auto& rect : changed.rects()) {
    parts.add(sameSize ? rect : targetRect(rect, source.width, source.height, target_.width, target_.height));
  }
  if (parts.isWhole()) return convert(source);
  for (const auto& part : parts.rects()) convertRect(source, part);
  return target_;
}

}  // namespace vantrel
