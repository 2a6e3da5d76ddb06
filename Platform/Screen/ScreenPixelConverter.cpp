#include "Platform/Screen/ScreenPixelConverter.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define VANTREL_HALVES_WITH_AVX2 1
#endif

namespace vantrel {

namespace {

// How far (in target pixels) a changed source pixel can reach beyond its mapped position: the
// scaling filter reads up to one source pixel past each target pixel's box; two keeps a margin
// for the rounding of the fixed-point steps.
constexpr int filterReach = 2;

// Target pixels libyuv halves together in one SIMD step (4 with SSE2, 8 with AVX2; 16 covers
// wider ones too).
constexpr int halvingGroup = 16;

// Target rows halved and converted together: even (whole chroma rows), and few enough that the
// halved strip (30 KB at 1920 pixels a row) stays in the first-level cache.
constexpr int halvingStripRows = 4;

// Rows converted at a time when the source is read ahead (61 KB of a 1080p screen).
constexpr int convertStripRows = 8;

// Scaling the whole planes again after a partial conversion rewrites every target pixel; those
// whose source box holds no change come out as before. The changed parts named to others are
// grown by this much more than the filter's reach, so that a rounding at a box's edge can never
// leave a changed pixel outside them.
constexpr int rescaledMargin = 4;

const std::uint8_t* pixelAt(const BgraImageView& image, int x, int y) noexcept {
  return image.data + static_cast<std::ptrdiff_t>(y) * image.stride + static_cast<std::ptrdiff_t>(x) * 4;
}

// Asks the processor to fetch `width` pixels from column `x` of rows `y0` to `y1` (exclusive).
void prefetchRows(const BgraImageView& image, int x, int width, int y0, int y1) noexcept {
  for (int y = y0; y < y1; ++y) {
    const auto* row = pixelAt(image, x, y);
    for (int offset = 0; offset < width * 4; offset += 64) __builtin_prefetch(row + offset);
  }
}

#if VANTREL_HALVES_WITH_AVX2
// Halves two source rows into `count` BGRA pixels from target column `first` on, as libyuv's
// box halving does on x86: the pixels below libyuv's SIMD groups (columns before `simdEnd`) as
// the rounded average of the two rows' rounded averages, the rest of a row as the rounded
// average of the four. 64 source bytes of each row make 8 target pixels per step.
__attribute__((target("avx2"))) void halveRowsAvx2(const std::uint8_t* row0, const std::uint8_t* row1,
                                                   std::uint8_t* out, int first, int count, int simdEnd) {
  int x = 0;
  const int vectorEnd = std::max(0, std::min(count, simdEnd - first));
  for (; x + 8 <= vectorEnd; x += 8) {
    const auto* a = row0 + static_cast<std::ptrdiff_t>(x) * 8;
    const auto* b = row1 + static_cast<std::ptrdiff_t>(x) * 8;
    const __m256i left = _mm256_avg_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    const __m256i right = _mm256_avg_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)));
    // Even and odd pixels apart (per 128-bit lane), averaged, then the lanes' halves in order.
    const __m256 even = _mm256_shuffle_ps(_mm256_castsi256_ps(left), _mm256_castsi256_ps(right), 0x88);
    const __m256 odd = _mm256_shuffle_ps(_mm256_castsi256_ps(left), _mm256_castsi256_ps(right), 0xDD);
    const __m256i halved = _mm256_avg_epu8(_mm256_castps_si256(even), _mm256_castps_si256(odd));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + static_cast<std::ptrdiff_t>(x) * 4),
                        _mm256_permute4x64_epi64(halved, 0xD8));
  }
  for (; x < count; ++x) {
    for (int c = 0; c < 4; ++c) {
      const int p = 8 * x + c;
      out[4 * x + c] = static_cast<std::uint8_t>(
          x < vectorEnd ? (((row0[p] + row1[p] + 1) >> 1) + ((row0[p + 4] + row1[p + 4] + 1) >> 1) + 1) >> 1
                        : (row0[p] + row1[p] + row0[p + 4] + row1[p + 4] + 2) >> 2);
    }
  }
}

bool cpuHasAvx2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}
#endif

}  // namespace

ScreenPixelConverter::ScreenPixelConverter(int targetWidth, int targetHeight) {
  if (targetWidth <= 0 || targetHeight <= 0) throw std::invalid_argument("picture size must be positive");
  allocate(target_, targetWidth, targetHeight);
  changedParts_ = ScreenDamage(targetWidth, targetHeight);
  changedParts_.addWhole();
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

ScreenPixelConverter::Scaling ScreenPixelConverter::scalingFor(const BgraImageView& source) const noexcept {
  if (source.width == target_.width && source.height == target_.height) return Scaling::none;
  // Halving (a 2160p screen streamed at 1080p) averages whole 2x2 boxes of BGRA pixels, then
  // converts only the target's pixels: a quarter of the work of converting first. Other ratios
  // keep converting first and scaling the planes with a box filter: scaling BGRA there is
  // bilinear, slower than the planes' box filter and farther from it (measured at 1440p).
  if (source.width == target_.width * 2 && source.height == target_.height * 2)
    return Scaling::halveBgraFirst;
  return Scaling::convertThenScale;
}

void ScreenPixelConverter::convertPart(const std::uint8_t* from, int stride, I420Picture& into,
                                       const ScreenRect& part) {
  // libyuv's "ARGB" is the byte order B, G, R, A: the X server's 32-bit little-endian pixels.
  // `part` starts on even coordinates, so its chroma samples are whole 2x2 blocks.
  const int uvStride = into.strideUV();
  const auto chromaOffset = static_cast<std::size_t>(part.y / 2) * static_cast<std::size_t>(uvStride) +
                            static_cast<std::size_t>(part.x / 2);
  libyuv::ARGBToI420(from, stride,
                     into.y.data() + static_cast<std::size_t>(part.y) * static_cast<std::size_t>(into.width) +
                         static_cast<std::size_t>(part.x),
                     into.strideY(), into.u.data() + chromaOffset, uvStride, into.v.data() + chromaOffset,
                     uvStride, part.width, part.height);
}

void ScreenPixelConverter::halvePart(const BgraImageView& source, const ScreenRect& part) {
  // A few target rows at a time: the halved rows are converted while they are still in the
  // cache, instead of writing a whole halved picture to memory and reading it back. Each target
  // row depends on its own two source rows only, so a strip comes out as in a whole halving.
  const auto stripBytes = static_cast<std::size_t>(target_.width) * 4 * halvingStripRows;
  if (halved_.size() != stripBytes) halved_.assign(stripBytes, 0);
  const int stride = part.width * 4;
  for (int y = part.y; y < part.y + part.height; y += halvingStripRows) {
    const int rows = std::min(halvingStripRows, part.y + part.height - y);
#if VANTREL_HALVES_WITH_AVX2
    if (cpuHasAvx2()) {
      // libyuv halves groups of 4 pixels with SSE2 and the rest of a row in C.
      const int simdEnd = target_.width / 4 * 4;
      for (int row = 0; row < rows; ++row) {
        halveRowsAvx2(
            pixelAt(source, 2 * part.x, 2 * (y + row)), pixelAt(source, 2 * part.x, 2 * (y + row) + 1),
            halved_.data() + static_cast<std::ptrdiff_t>(row) * stride, part.x, part.width, simdEnd);
      }
      convertPart(halved_.data(), stride, target_, {part.x, y, part.width, rows});
      continue;
    }
#endif
    libyuv::ARGBScale(pixelAt(source, 2 * part.x, 2 * y), source.stride, 2 * part.width, 2 * rows,
                      halved_.data(), stride, part.width, rows, libyuv::kFilterBox);
    convertPart(halved_.data(), stride, target_, {part.x, y, part.width, rows});
  }
}

void ScreenPixelConverter::convertPrefetching(const BgraImageView& source, const ScreenRect& part) {
  // The screen's pixels were just written by the X server and are read once: asking for the next
  // strip's rows while converting this one keeps the memory busy (about a tenth less time at
  // 1080p than leaving it to the processor's own prefetching).
  for (int y = part.y; y < part.y + part.height; y += convertStripRows) {
    const int rows = std::min(convertStripRows, part.y + part.height - y);
    prefetchRows(source, part.x, part.width, y + rows, std::min(part.y + part.height, y + 2 * rows));
    convertPart(pixelAt(source, part.x, y), source.stride, target_, {part.x, y, part.width, rows});
  }
}

void ScreenPixelConverter::scalePlanes() {
  libyuv::I420Scale(sourceSized_.y.data(), sourceSized_.strideY(), sourceSized_.u.data(),
                    sourceSized_.strideUV(), sourceSized_.v.data(), sourceSized_.strideUV(),
                    sourceSized_.width, sourceSized_.height, target_.y.data(), target_.strideY(),
                    target_.u.data(), target_.strideUV(), target_.v.data(), target_.strideUV(), target_.width,
                    target_.height, libyuv::kFilterBox);
}

const I420Picture& ScreenPixelConverter::convert(const BgraImageView& source) {
  convertRows(source, 0, source.height);
  return finishRows(source);
}

void ScreenPixelConverter::convertRows(const BgraImageView& source, int firstRow, int rowCount) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  const auto scaling = scalingFor(source);
  // A band must begin on a whole chroma row of the target: two source rows make one target row
  // when halving.
  const int alignment = scaling == Scaling::halveBgraFirst ? 4 : 2;
  if (firstRow < 0 || rowCount <= 0 || firstRow % alignment != 0 || rowCount > source.height - firstRow)
    throw std::invalid_argument("rows outside the source picture or off a chroma row");
  switch (scaling) {
    case Scaling::none: convertPrefetching(source, {0, firstRow, source.width, rowCount}); break;
    case Scaling::halveBgraFirst:
      halvePart(source, {0, firstRow / 2, target_.width,
                         std::min(target_.height - firstRow / 2, (rowCount + 1) / 2)});
      break;
    case Scaling::convertThenScale:
      if (sourceSized_.width != source.width || sourceSized_.height != source.height)
        allocate(sourceSized_, source.width, source.height);
      convertPart(pixelAt(source, 0, firstRow), source.stride, sourceSized_,
                  {0, firstRow, source.width, rowCount});
      break;
  }
}

const I420Picture& ScreenPixelConverter::finishRows(const BgraImageView& source) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  if (scalingFor(source) == Scaling::convertThenScale) scalePlanes();
  sourceWidth_ = source.width;
  sourceHeight_ = source.height;
  changedParts_.addWhole();
  return target_;
}

const I420Picture& ScreenPixelConverter::convert(const BgraImageView& source, const ScreenDamage& changed) {
  if (!source.data || source.width <= 0 || source.height <= 0)
    throw std::invalid_argument("empty source picture");
  if (changed.isWhole() || source.width != sourceWidth_ || source.height != sourceHeight_)
    return convert(source);
  const auto scaling = scalingFor(source);
  changedParts_.clear();
  if (scaling == Scaling::convertThenScale) {
    // The changed parts into the source-sized planes; the scaling of the planes stays whole.
    for (const auto& rect : changed.rects()) {
      const auto part = evenAligned(rect, source.width, source.height);
      if (part.width <= 0) continue;
      convertPart(pixelAt(source, part.x, part.y), source.stride, sourceSized_, part);
      const auto reached = targetRect(part, source.width, source.height, target_.width, target_.height);
      changedParts_.add({reached.x - rescaledMargin, reached.y - rescaledMargin,
                         reached.width + 2 * rescaledMargin, reached.height + 2 * rescaledMargin});
    }
    scalePlanes();
    return target_;
  }
  // The parts of the target the changes reach, merged where they meet.
  ScreenDamage parts(target_.width, target_.height);
  for (const auto& rect : changed.rects()) {
    parts.add(scaling == Scaling::none
                  ? rect
                  : targetRect(rect, source.width, source.height, target_.width, target_.height));
  }
  if (parts.isWhole()) return convert(source);
  for (const auto& part : parts.rects()) {
    if (scaling == Scaling::none) {
      convertPart(pixelAt(source, part.x, part.y), source.stride, target_, part);
      changedParts_.add(part);
      continue;
    }
    // libyuv halves rows in SIMD groups of pixels and the remainder of a row in plain C, which
    // rounds differently; a part that starts and ends on a group's edge (or the row's end)
    // is halved exactly as in the whole picture.
    const int x0 = part.x / halvingGroup * halvingGroup;
    const int x1 =
        std::min(target_.width, (part.x + part.width + halvingGroup - 1) / halvingGroup * halvingGroup);
    const ScreenRect widened{x0, part.y, x1 - x0, part.height};
    halvePart(source, widened);
    changedParts_.add(widened);
  }
  return target_;
}

namespace {

// Calls `visit(plane of a, plane of b, stride, x, y, width, height)` for the three planes of
// `rect` (luma coordinates; the chroma rectangle covers every sample a luma pixel of it touches).
template <typename A, typename B, typename Visit>
bool eachPlanePart(A& a, B& b, const ScreenRect& rect, Visit visit) {
  const int cx0 = rect.x / 2, cy0 = rect.y / 2;
  const int cx1 = (rect.x + rect.width + 1) / 2, cy1 = (rect.y + rect.height + 1) / 2;
  return visit(a.y, b.y, a.strideY(), rect.x, rect.y, rect.width, rect.height) &&
         visit(a.u, b.u, a.strideUV(), cx0, cy0, cx1 - cx0, cy1 - cy0) &&
         visit(a.v, b.v, a.strideUV(), cx0, cy0, cx1 - cx0, cy1 - cy0);
}

template <typename Visit>
bool eachPart(const ScreenDamage* parts, int width, int height, Visit visit) {
  if (!parts || parts->isWhole() || parts->width() != width || parts->height() != height)
    return visit(ScreenRect{0, 0, width, height});
  for (const auto& rect : parts->rects()) {
    if (!visit(rect)) return false;
  }
  return true;
}

}  // namespace

bool PictureRecord::matches(const I420Picture& picture, const ScreenDamage* parts) const {
  if (!kept_ || copy_.width != picture.width || copy_.height != picture.height || copy_.y.empty())
    return false;
  const auto sameRows = [](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int stride,
                           int x, int y, int width, int height) {
    for (int row = y; row < y + height; ++row) {
      const auto at =
          static_cast<std::size_t>(row) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(x);
      if (std::memcmp(a.data() + at, b.data() + at, static_cast<std::size_t>(width)) != 0) return false;
    }
    return true;
  };
  return eachPart(parts, picture.width, picture.height,
                  [&](const ScreenRect& rect) { return eachPlanePart(picture, copy_, rect, sameRows); });
}

void PictureRecord::record(const I420Picture& picture, const ScreenDamage* parts) {
  if (copy_.width != picture.width || copy_.height != picture.height) {
    copy_ = picture;
    kept_ = true;
    return;
  }
  if (!kept_) {
    parts = nullptr;  // what was forgotten is copied again
    kept_ = true;
  }
  const auto copyRows = [](const std::vector<std::uint8_t>& from, std::vector<std::uint8_t>& into, int stride,
                           int x, int y, int width, int height) {
    for (int row = y; row < y + height; ++row) {
      const auto at =
          static_cast<std::size_t>(row) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(x);
      std::memcpy(into.data() + at, from.data() + at, static_cast<std::size_t>(width));
    }
    return true;
  };
  (void)eachPart(parts, picture.width, picture.height,
                 [&](const ScreenRect& rect) { return eachPlanePart(picture, copy_, rect, copyRows); });
}

bool coversMuch(const ScreenDamage* parts, int width, int height) noexcept {
  if (!parts || parts->isWhole()) return true;
  return parts->area() * 4 >= static_cast<long long>(width) * height;
}

const I420Picture& captureWholePicture(DisplayCaptureSource& capture, ScreenPixelConverter& converter) {
  const auto image = capture.capture([&converter](const BgraImageView& source, int firstRow, int rowCount) {
    converter.convertRows(source, firstRow, rowCount);
  });
  return converter.finishRows(image);
}

const I420Picture& captureChangedPicture(DisplayCaptureSource& capture, ScreenPixelConverter& converter) {
  bool readWhole = false;
  const auto image = capture.captureChanges(
      [&converter, &readWhole](const BgraImageView& source, int firstRow, int rowCount) {
        converter.convertRows(source, firstRow, rowCount);
        readWhole = true;
      });
  return readWhole ? converter.finishRows(image) : converter.convert(image, capture.changed());
}

}  // namespace vantrel
