#include <gtest/gtest.h>

#include <fmt/format.h>

#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "WaylandSceneKit.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace vantrel {
namespace {

using testing::collectUntil;
using testing::PrivateWaylandSession;
using testing::SceneClient;

constexpr int width = 1280;
constexpr int height = 720;

// Where the picture differs from the scene inside `window`: the bounds of it, empty when nowhere.
ScreenRect differingBounds(const BgraImageView& image, const ScreenRect& window) {
  int left = image.width, top = image.height, right = -1, bottom = -1;
  const auto area = intersection(window, {0, 0, image.width, image.height});
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) {
      if (testing::pixelAt(image, x, y) == testing::sceneColor(x, y)) continue;
      left = std::min(left, x);
      top = std::min(top, y);
      right = std::max(right, x);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return {};
  return {left, top, right - left + 1, bottom - top + 1};
}

bool inside(const ScreenRect& inner, const ScreenRect& outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
         inner.y + inner.height <= outer.y + outer.height;
}

bool coveredBy(const ScreenRect& rect, const ScreenDamage& parts) {
  if (parts.isWhole()) return true;
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    for (int x = rect.x; x < rect.x + rect.width; ++x) {
      const bool hit = std::any_of(parts.rects().begin(), parts.rects().end(), [&](const ScreenRect& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      });
      if (!hit) return false;
    }
  }
  return true;
}

// The picture shows the scene everywhere but in a cursor-sized mark inside `box`: the mark's
// bounds, empty when there is none or the picture differs elsewhere. Only the surroundings of the
// box are looked at closely, so that the frames keep being taken in while the test looks.
ScreenRect cursorMark(const BgraImageView& picture, const ScreenRect& box) {
  const ScreenRect around{box.x - 128, box.y - 128, box.width + 256, box.height + 256};
  const auto mark = differingBounds(picture, around);
  if (mark.width <= 0 || mark.width > 64 || mark.height > 64 || !inside(mark, box)) return {};
  return mark;
}

// The cursor comes as metadata and is drawn into the picture: where the pointer is, nowhere else,
// and where it was is the screen again, both places reported as changed.
TEST(MutterScreenCastCursor, TheCursorIsDrawnWhereThePointerIsAndItsOldPlaceIsRestored) {
  PrivateWaylandSession session(PrivateWaylandSession::Options{false, width, height});
  SceneClient scene(width, height);
  testing::VirtualPointer pointer;
  pointer.moveTo(300, 200);
  MutterScreenCast cast(MutterScreenCast::Options{true});
  const ScreenRect firstBox{300 - 64, 200 - 64, 128, 128};
  testing::RepaintNow repaint{scene};
  ScreenRect first;
  ASSERT_TRUE(collectUntil(cast, [&](bool) {
    repaint();
    first = cursorMark(cast.captureChanges(), firstBox);
    return first.width > 0;
  })) << "no cursor at the pointer";

  pointer.moveTo(900, 500);
  const ScreenRect secondBox{900 - 64, 500 - 64, 128, 128};
  ScreenDamage reported(width, height);
  ScreenRect second;
  BgraImageView picture;
  ASSERT_TRUE(collectUntil(cast, [&](bool changed) {
    repaint();
    if (!changed) return false;
    picture = cast.captureChanges();
    if (cast.changed().isWhole()) {
      reported.addWhole();
    } else {
      for (const auto& r : cast.changed().rects()) reported.add(r);
    }
    second = cursorMark(picture, secondBox);
    return second.width > 0;
  })) << "the cursor did not follow the pointer";
  // Where it was is the scene again, and nothing but the cursor differs from the scene anywhere.
  EXPECT_EQ(differingBounds(picture, {0, 0, width, height}), second);
  EXPECT_FALSE(reported.isWhole());
  EXPECT_TRUE(coveredBy(first, reported)) << "the old place was not reported";
  EXPECT_TRUE(coveredBy(second, reported)) << "the new place was not reported";
}

}  // namespace
}  // namespace vantrel
