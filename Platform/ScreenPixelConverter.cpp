#include "Platform/ScreenPixelConverter.hpp"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>

#include <stdexcept>

namespace vantrel {

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

const I420Picture& ScreenPixelConverter::convert(const BgraImageView& source) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  const bool sameSize = source.width == target_.width && source.height == target_.height;
  I420Picture& first = sameSize ? target_ : intermediate_;
  if (!sameSize && (first.width != source.width || first.height != source.height)) {
    allocate(first, source.width, source.height);
  }
  // libyuv's "ARGB" is the byte order B, G, R, A: the X server's 32-bit little-endian pixels.
  libyuv::ARGBToI420(source.data, source.stride, first.y.data(), first.strideY(), first.u.data(),
                     first.strideUV(), first.v.data(), first.strideUV(), source.width, source.height);
  if (!sameSize) {
    libyuv::I420Scale(first.y.data(), first.strideY(), first.u.data(), first.strideUV(), first.v.data(),
                      first.strideUV(), first.width, first.height, target_.y.data(), target_.strideY(),
                      target_.u.data(), target_.strideUV(), target_.v.data(), target_.strideUV(),
                      target_.width, target_.height, libyuv::kFilterBox);
  }
  return target_;
}

}  // namespace vantrel
