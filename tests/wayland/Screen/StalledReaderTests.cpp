#include <gtest/gtest.h>

#include <fmt/format.h>

#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "Platform/GnomeWayland/MutterScreenCastSession.hpp"
#include "WaylandSceneKit.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::collectUntil;
using testing::differencesFromScene;
using testing::SceneFill;

constexpr int width = 1024;
constexpr int height = 768;

struct Scene : testing::SceneOnSession {
  Scene() : SceneOnSession(width, height) {}

  // Paints `fill` as the scene's `number`-th command and waits until the client has drawn it (the
  // compositor's frame follows).
  void paint(const SceneFill& fill, int number) {
    scene.send(fmt::format("fill {} {} {} {} {} {} {}", fill.rect.x, fill.rect.y, fill.rect.width,
                           fill.rect.height, fill.color.r, fill.color.g, fill.color.b));
    if (!scene.waitUntilDrawn(number)) throw std::runtime_error("the scene did not draw");
  }
};

// Waits until `cast`'s picture is the scene with `fill` (without any help for a stream that lost
// frames), and reports what differs when it never is.
::testing::AssertionResult shows(MutterScreenCast& cast, const SceneFill* fill,
                                 ScreenDamage* seen = nullptr) {
  std::string first;
  long left = -1;
  const bool shown = collectUntil(
      cast,
      [&](bool changed) {
        if (!changed && left >= 0) return false;
        left = differencesFromScene(cast.captureChanges(), fill, &first);
        if (seen && cast.changed().isWhole()) seen->addWhole();
        if (seen && !cast.changed().isWhole()) {
          for (const auto& r : cast.changed().rects()) seen->add(r);
        }
        return left == 0;
      },
      10s);
  if (shown) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << left << " pixels differ, first " << first;
}

SceneFill nthFill(int n) { return {{300, 200, 200, 120}, {(n * 40) % 256, 255 - n * 9, 60 + n * 7}}; }

TEST(MutterScreenCastStall, AReaderThatStalledAcrossTwentyChangesGetsTheLastOne) {
  Scene s;
  MutterScreenCast cast(MutterScreenCast::Options{false});
  ASSERT_TRUE(shows(cast, nullptr));
  // The reader looks away (as a capture thread busy encoding does) while the screen changes 20
  // times, each change drawn in a frame of its own.
  for (int n = 1; n <= 20; ++n) s.paint(nthFill(n), n);
  const auto last = nthFill(20);
  ASSERT_TRUE(shows(cast, &last)) << "the picture froze on a former frame";
  // And the stream goes on: a change after that arrives too.
  const auto after = nthFill(21);
  s.paint(after, 21);
  EXPECT_TRUE(shows(cast, &after));
}

// Should the taking of frames ever stall too (here: held off while the screen changes), the
// picture afterwards is the last change, and the stream goes on: each later change arrives. A
// stall of five frames once left the compositor without a buffer to draw into, for good.
TEST(MutterScreenCastStall, AStreamWhoseFramesWereHeldOffShowsTheScreenAndGoesOn) {
  for (const int stalled : {5, 20}) {
    SCOPED_TRACE(fmt::format("frames held off across {} changes", stalled));
    Scene s;
    MutterScreenCast cast(MutterScreenCast::Options{false});
    ASSERT_TRUE(shows(cast, nullptr));
    const auto session = MutterScreenCastSession::acquire(false, std::chrono::steady_clock::now() + 5s);
    session->stream().lock([&] {
      for (int n = 1; n <= stalled; ++n) s.paint(nthFill(n), n);
    });
    const auto last = nthFill(stalled);
    EXPECT_TRUE(shows(cast, &last)) << "the picture froze on a former frame";
    for (int n = stalled + 1; n <= stalled + 3; ++n) {
      const auto next = nthFill(n);
      s.paint(next, n);
      EXPECT_TRUE(shows(cast, &next)) << "the stream stopped before change " << n;
    }
  }
}

TEST(MutterScreenCastShared, TwoReadersShareOneCastEachWithItsOwnPicture) {
  Scene s;
  auto first = std::make_unique<MutterScreenCast>(MutterScreenCast::Options{false});
  MutterScreenCast second(MutterScreenCast::Options{false});
  EXPECT_EQ(first->nodeId(), second.nodeId()) << "each reader has a cast of its own";
  ASSERT_TRUE(shows(*first, nullptr));
  ASSERT_TRUE(shows(second, nullptr));
  // The second reader keeps up with a change while the first looks away: when it looks again, the
  // first reports the change against its own previous picture (not the second's, which has it).
  const auto one = nthFill(1);
  s.paint(one, 1);
  ASSERT_TRUE(shows(second, &one));
  ScreenDamage seen(width, height);
  ASSERT_TRUE(shows(*first, &one, &seen));
  EXPECT_FALSE(seen.isWhole());
  for (const auto& corner : {std::pair{one.rect.x, one.rect.y},
                             std::pair{one.rect.x + one.rect.width - 1, one.rect.y + one.rect.height - 1}}) {
    EXPECT_TRUE(std::any_of(seen.rects().begin(), seen.rects().end(), [&](const ScreenRect& r) {
      return corner.first >= r.x && corner.first < r.x + r.width && corner.second >= r.y &&
             corner.second < r.y + r.height;
    })) << "the first reader was not told of the change it missed";
  }
  // One leaving does not stop the other.
  first.reset();
  const auto three = nthFill(3);
  s.paint(three, 2);
  EXPECT_TRUE(shows(second, &three));
}

// A reader that looks away (a capture loop busy encoding) must not stop the other: it keeps no
// buffer of the stream, which the compositor would find busy and drop the frame meant for it.
TEST(MutterScreenCastShared, AReaderLookingAwayLeavesTheOtherStreaming) {
  Scene s;
  MutterScreenCast away(MutterScreenCast::Options{false});
  MutterScreenCast watching(MutterScreenCast::Options{false});
  ASSERT_TRUE(shows(away, nullptr));
  ASSERT_TRUE(shows(watching, nullptr));
  for (int n = 1; n <= 12; ++n) {
    const auto fill = nthFill(n);
    s.paint(fill, n);
    ASSERT_TRUE(shows(watching, &fill)) << "the picture froze before change " << n;
  }
  const auto last = nthFill(12);
  EXPECT_TRUE(shows(away, &last));
}

}  // namespace
}  // namespace vantrel
