#include "Platform/Ports/ScreenDamage.hpp"

#include <algorithm>
#include <limits>

namespace vantrel {

namespace {

// Two rectangles are read and converted as one when that costs at most this many pixels more
// than handling them apart: each rectangle costs a round trip to the X server and a call into
// the converter, worth about this many pixels of copying.
constexpr long long mergeSlack = 64 * 64;

long long areaOf(const ScreenRect& r) noexcept {
  return static_cast<long long>(r.width) * static_cast<long long>(r.height);
}

long long mergeGrowth(const ScreenRect& a, const ScreenRect& b) noexcept {
  return areaOf(boundingRect(a, b)) - areaOf(a) - areaOf(b);
}

}  // namespace

ScreenRect boundingRect(const ScreenRect& a, const ScreenRect& b) noexcept {
  const int x0 = std::min(a.x, b.x);
  const int y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

ScreenRect evenAligned(const ScreenRect& rect, int width, int height) noexcept {
  if (rect.width <= 0 || rect.height <= 0) return {};
  // 64-bit so that rectangles near the limits of int cannot overflow.
  const long long x0 = std::max<long long>(0, rect.x);
  const long long y0 = std::max<long long>(0, rect.y);
  const long long x1 = std::min<long long>(width, static_cast<long long>(rect.x) + rect.width);
  const long long y1 = std::min<long long>(height, static_cast<long long>(rect.y) + rect.height);
  if (x1 <= x0 || y1 <= y0) return {};
  const long long ax0 = x0 & ~1LL;
  const long long ay0 = y0 & ~1LL;
  const long long ax1 = std::min<long long>(width, (x1 + 1) & ~1LL);
  const long long ay1 = std::min<long long>(height, (y1 + 1) & ~1LL);
  return {static_cast<int>(ax0), static_cast<int>(ay0), static_cast<int>(ax1 - ax0),
          static_cast<int>(ay1 - ay0)};
}

ScreenDamage::ScreenDamage(int width, int height, int maxRects, int maxShare)
    : width_(std::max(0, width)),
      height_(std::max(0, height)),
      maxRects_(std::max(1, maxRects)),
      maxShare_(std::clamp(maxShare, 0, 1024)) {}

long long ScreenDamage::area() const noexcept {
  if (whole_) return static_cast<long long>(width_) * height_;
  long long sum = 0;
  for (const auto& r : rects_) sum += areaOf(r);
  return sum;
}

void ScreenDamage::addWhole() noexcept {
  whole_ = true;
  rects_.clear();
}

void ScreenDamage::clear() noexcept {
  whole_ = false;
  rects_.clear();
}

void ScreenDamage::add(const ScreenRect& rect) {
  if (whole_) return;
  const auto aligned = evenAligned(rect, width_, height_);
  if (aligned.width <= 0) return;
  rects_.push_back(aligned);
  mergeClose();
  mergeDownTo(static_cast<std::size_t>(maxRects_));
  const long long total = static_cast<long long>(width_) * height_;
  if (area() * 1024 > total * maxShare_) addWhole();
}

void ScreenDamage::mergeClose() {
  // The newest rectangle may join others, and the merged one may then reach further ones.
  bool merged = true;
  while (merged) {
    merged = false;
    for (std::size_t i = 0; i < rects_.size() && !merged; ++i) {
      for (std::size_t j = i + 1; j < rects_.size() && !merged; ++j) {
        if (mergeGrowth(rects_[i], rects_[j]) <= mergeSlack) {
          rects_[i] = boundingRect(rects_[i], rects_[j]);
          rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(j));
          merged = true;
        }
      }
    }
  }
}

void ScreenDamage::mergeDownTo(std::size_t count) {
  while (rects_.size() > count) {
    std::size_t bestI = 0, bestJ = 1;
    long long best = std::numeric_limits<long long>::max();
    for (std::size_t i = 0; i < rects_.size(); ++i) {
      for (std::size_t j = i + 1; j < rects_.size(); ++j) {
        const long long growth = mergeGrowth(rects_[i], rects_[j]);
        if (growth < best) {
          best = growth;
          bestI = i;
          bestJ = j;
        }
      }
    }
    rects_[bestI] = boundingRect(rects_[bestI], rects_[bestJ]);
    rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(bestJ));
  }
}

}  // namespace vantrel
