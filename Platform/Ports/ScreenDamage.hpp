#pragma once

// The parts of a picture that changed, kept as a few rectangles so that capture and conversion
// can work on them alone. Rectangles are aligned to even coordinates (a 4:2:0 chroma sample
// covers 2x2 pixels, so a change to one pixel changes the whole 2x2 block), clipped to the
// picture, and merged when they overlap or lie close together. Too many rectangles are merged
// into fewer; when they cover too much of the picture, the whole picture counts as changed,
// which is then cheaper to handle in one piece.

#include <vector>

#include "Platform/Ports/DisplayLayout.hpp"

namespace vantrel {

class ScreenDamage {
 public:
  // Rectangles kept at most, and the share of the picture (in 1/1024) above which the whole
  // picture is treated as changed.
  static constexpr int defaultMaxRects = 12;
  static constexpr int defaultMaxShare = 512;

  ScreenDamage() = default;
  ScreenDamage(int width, int height, int maxRects = defaultMaxRects, int maxShare = defaultMaxShare);

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }

  // Adds a changed rectangle in picture coordinates; the parts outside the picture are dropped.
  void add(const ScreenRect& rect);
  void addWhole() noexcept;
  void clear() noexcept;

  bool isWhole() const noexcept { return whole_; }
  bool isEmpty() const noexcept { return !whole_ && rects_.empty(); }
  // The changed rectangles (even-aligned except at an odd right or bottom edge, disjoint or
  // merely overlapping); empty when the whole picture changed.
  const std::vector<ScreenRect>& rects() const noexcept { return rects_; }
  // The pixels the rectangles cover (overlaps counted twice); the picture's size when whole.
  long long area() const noexcept;

 private:
  void mergeClose();
  void mergeDownTo(std::size_t count);
  int width_ = 0;
  int height_ = 0;
  int maxRects_ = defaultMaxRects;
  int maxShare_ = defaultMaxShare;
  bool whole_ = false;
  std::vector<ScreenRect> rects_;
};

// The smallest rectangle holding both.
ScreenRect boundingRect(const ScreenRect& a, const ScreenRect& b) noexcept;

// `rect` grown outwards to even coordinates and clipped to a picture of `width` x `height`; empty
// (all zero) when nothing of it lies inside.
ScreenRect evenAligned(const ScreenRect& rect, int width, int height) noexcept;

}  // namespace vantrel
