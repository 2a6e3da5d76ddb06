#include <gtest/gtest.h>

#include "Platform/MutterScreenCast.hpp"
#include "WaylandSceneKit.hpp"
#include "support/PrivateWaylandSession.hpp"

namespace vantrel {
namespace {

using testing::collectUntil;
using testing::PrivateWaylandSession;
using testing::SceneClient;

constexpr int width = 1280;
constexpr int height = 720;

// Where the picture differs from the scene: the bounds of it, empty when nowhere.
ScreenRect differingBounds(const BgraImageView& image) {
  int left = image.width, top = image.height, right = -1, bottom = -1;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
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

// The cursor comes as metadata and is drawn into the picture: where the pointer is, nowhere else,
// and where it was is the screen again, both places reported as changed.
TEST(MutterScreenCastCursor, TheCursorIsDrawnWhereThePointerIsAndItsOldPlaceIsRestored) {
  PrivateWaylandSession session(PrivateWaylandSession::Options{false, width, height});
  SceneClient scene(width, height);
  ASSERT_TRUE(scene.waitForLine("ready"));
  testing::VirtualPointer pointer;
  pointer.moveTo(300, 200);
  MutterScreenCast cast(MutterScreenCast::Options{true});
  ScreenRect first;
  ASSERT_TRUE(collectUntil(cast,
                           [&](bool) {
                             first = differingBounds(cast.captureChanges());
                             // The scene is whole everywhere but under a cursor-sized mark at the pointer.
                             return first.width > 0 && first.width <= 64 && first.height <= 64 &&
                                    inside(first, {300 - 64, 200 - 64, 128, 128});
                           }))
      << "no cursor at the pointer: differences in " << first.x << "," << first.y << " " << first.width << "x"
      << first.height;

  pointer.moveTo(900, 500);
  ScreenDamage reported(width, height);
  ScreenRect second;
  ASSERT_TRUE(collectUntil(cast, [&](bool changed) {
    if (!changed) return false;
    const auto picture = cast.captureChanges();
    if (cast.changed().isWhole()) {
      reported.addWhole();
    } else {
      for (const auto& r : cast.changed().rects()) reported.add(r);
    }
    second = differingBounds(picture);
    return second.width > 0 && inside(second, {900 - 64, 500 - 64, 128, 128});
  })) << "the cursor did not follow the pointer";
  EXPECT_FALSE(reported.isWhole());
  EXPECT_TRUE(coveredBy(first, reported)) << "the old place was not reported";
  EXPECT_TRUE(coveredBy(second, reported)) << "the new place was not reported";
}

}  // namespace
}  // namespace vantrel
