#pragma once

// Turns a captured BGRA picture into the I420 picture the encoder takes, scaling it to the
// stream's size on the way (libyuv). The picture is kept between calls, so that a picture of
// which only some parts changed is converted in those parts alone.

#include <cstdint>
#include <vector>

#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/Ports/ScreenDamage.hpp"

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

  // A whole conversion fed a band of rows at a time, as the rows of `source` arrive: call
  // convertRows() for the bands in order from the top, then finishRows(), which returns what
  // convert(source) would. A band starts on a row that is a multiple of 4 (of 2 when the source
  // has the target's size); any row count will do. Throws std::invalid_argument otherwise.
  void convertRows(const BgraImageView& source, int firstRow, int rowCount);
  const I420Picture& finishRows(const BgraImageView& source);

  // Converts only the parts of `source` named in `changed` (source coordinates) into the picture
  // of the previous call; the rest of the picture stays as it was. Converts everything when
  // `changed` is whole, when there is no previous picture or when it came from a source of
  // another size. The result equals a whole conversion of `source` as long as `source` differs
  // from the previous call's source only inside `changed`.
  const I420Picture& convert(const BgraImageView& source, const ScreenDamage& changed);

  // The part of a `targetWidth` x `targetHeight` picture that a change to `rect` of a
  // `sourceWidth` x `sourceHeight` source reaches when scaled: the rectangle mapped to the
  // target, grown by the scaling filter's reach and aligned to even coordinates.
  static ScreenRect targetRect(const ScreenRect& rect, int sourceWidth, int sourceHeight, int targetWidth,
                               int targetHeight) noexcept;

  // The parts of the picture (target coordinates) the latest conversion may have changed: outside
  // them the picture is what the call before left. Whole after a whole conversion.
  const ScreenDamage& changedParts() const noexcept { return changedParts_; }

 private:
  // How a source of another size than the target becomes the target.
  enum class Scaling { none, halveBgraFirst, convertThenScale };
  static void allocate(I420Picture& picture, int width, int height);
  Scaling scalingFor(const BgraImageView& source) const noexcept;
  // Converts BGRA pixels, `from` being the first of `part`, into `part` of `into`.
  static void convertPart(const std::uint8_t* from, int stride, I420Picture& into, const ScreenRect& part);
  // Halves the source's pixels under `part` (target coordinates, on even rows) into that part.
  void halvePart(const BgraImageView& source, const ScreenRect& part);
  // Converts `part` of a source of the target's size a strip at a time, reading the next ahead.
  void convertPrefetching(const BgraImageView& source, const ScreenRect& part);
  void scalePlanes();
  I420Picture target_;
  // A strip of the source halved to the target's size (BGRA), or the source converted at its
  // own size (I420).
  std::vector<std::uint8_t> halved_;
  I420Picture sourceSized_;
  int sourceWidth_ = 0;  // of the previous conversion; 0 before the first
  int sourceHeight_ = 0;
  ScreenDamage changedParts_;
};

// A copy of the picture last handed to the encoder, to tell whether a reported change changed
// anything: a client may draw the very pixels that were there (a damage report then comes
// without a change), and a picture of it would cost bytes and restart the refreshes for nothing.
// Kept up to date part by part, as the converter changes the picture. A screen in motion need not
// be kept (see forget()): the copy comes back whole with the next picture recorded.
class PictureRecord {
 public:
  // True when `picture` equals the recorded one inside `parts` (everywhere when `parts` is null or
  // whole); false when nothing is recorded or the sizes differ.
  bool matches(const I420Picture& picture, const ScreenDamage* parts) const;
  // Records `picture`, of which only `parts` may differ from the recorded one (all of it when
  // `parts` is null or whole, when the sizes differ or when nothing is recorded).
  void record(const I420Picture& picture, const ScreenDamage* parts);
  // Nothing is recorded any more (the copy's memory is kept for the next record).
  void forget() noexcept { kept_ = false; }
  bool isKept() const noexcept { return kept_; }

 private:
  I420Picture copy_;
  bool kept_ = false;
};

// True when `parts` cover at least a quarter of a picture of `width` x `height` (or all of it:
// none given, or whole).
bool coversMuch(const ScreenDamage* parts, int width, int height) noexcept;

// The screen read and turned into the encoder's picture in one pass: a whole read is converted a
// band at a time as the rows arrive from the display server.
const I420Picture& captureWholePicture(DisplayCaptureSource& capture, ScreenPixelConverter& converter);

// Only what changed since the previous capture, or the whole screen when the capture reads it
// whole; `converter.changedParts()` then says where the picture may differ from the previous one.
const I420Picture& captureChangedPicture(DisplayCaptureSource& capture, ScreenPixelConverter& converter);

}  // namespace vantrel
