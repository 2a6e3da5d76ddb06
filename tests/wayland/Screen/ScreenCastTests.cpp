#include <gtest/gtest.h>

#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"
#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "WaylandSceneKit.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::collectUntil;
using testing::differencesFromScene;
using testing::PrivateWaylandSession;
using testing::SceneFill;

constexpr int width = 1280;
constexpr int height = 720;

// A session with the scene on it, and a screen cast that shows the scene whole.
struct CastScene : testing::SceneOnSession {
  CastScene() : SceneOnSession(width, height) {}

  MutterScreenCast cast{MutterScreenCast::Options{false}};

  // Waits until the picture is the scene (with `fill`, when given), everywhere.
  ::testing::AssertionResult showsScene(const SceneFill* fill = nullptr) {
    std::string first;
    long left = -1;
    testing::RepaintNow repaint{scene};
    const bool shown = collectUntil(cast, [&](bool) {
      repaint();
      left = differencesFromScene(cast.captureChanges(), fill, &first);
      return left == 0;
    });
    if (shown) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << left << " pixels differ from the scene, first " << first;
  }
};

TEST(MutterScreenCast, ThePictureIsTheSceneAsDrawn) {
  CastScene s;
  EXPECT_EQ(s.cast.area(), (ScreenRect{0, 0, width, height}));
  EXPECT_GT(s.cast.nodeId(), 0u);
  ASSERT_TRUE(s.showsScene());
  // A whole capture shows the same.
  EXPECT_EQ(differencesFromScene(s.cast.capture(), nullptr, nullptr), 0);
  EXPECT_TRUE(s.cast.changed().isWhole());
}

TEST(MutterScreenCast, ASmallChangeIsReportedWhereItIsAndNowhereElse) {
  CastScene s;
  ASSERT_TRUE(s.showsScene());
  const SceneFill fill{{500, 300, 40, 30}, {250, 20, 140}};
  s.scene.send("fill 500 300 40 30 250 20 140");
  ScreenDamage seen(width, height);
  std::string first;
  long left = -1;
  // Changes may come in more than one frame: what each capture reported is gathered.
  const bool shown = collectUntil(s.cast, [&](bool changed) {
    if (!changed) return false;
    const auto picture = s.cast.captureChanges();
    const auto& parts = s.cast.changed();
    if (parts.isWhole()) {
      seen.addWhole();
    } else {
      for (const auto& r : parts.rects()) seen.add(r);
    }
    left = differencesFromScene(picture, &fill, &first);
    return left == 0;
  });
  ASSERT_TRUE(shown) << left << " pixels differ, first " << first;
  ASSERT_FALSE(seen.isWhole());
  // Every changed pixel lies inside a reported part, and the parts are a small share of the screen.
  for (int y = fill.rect.y; y < fill.rect.y + fill.rect.height; ++y) {
    for (int x = fill.rect.x; x < fill.rect.x + fill.rect.width; ++x) {
      const bool covered = std::any_of(seen.rects().begin(), seen.rects().end(), [&](const ScreenRect& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      });
      ASSERT_TRUE(covered) << x << ", " << y;
    }
  }
  EXPECT_LE(seen.area(), 4 * 64 * 16 * 2) << "more than the tiles the change touches";
}

TEST(MutterScreenCast, AStillScreenBringsNoChange) {
  CastScene s;
  ASSERT_TRUE(s.showsScene());
  const auto frames = s.cast.framesReceived();
  const auto changedFrames = s.cast.framesChanged();
  // A redraw of the very same pixels: the compositor sends a frame, and it changes nothing.
  s.scene.send("fill 0 0 40 40 " + std::to_string(testing::sceneColor(0, 0).r) + " " +
               std::to_string(testing::sceneColor(0, 0).g) + " " +
               std::to_string(testing::sceneColor(0, 0).b));
  bool changed = false;
  EXPECT_TRUE(collectUntil(s.cast, [&](bool c) {
    changed = changed || c;
    return s.cast.framesReceived() > frames;
  })) << "the compositor sent no frame of the redraw";
  EXPECT_FALSE(changed);
  EXPECT_EQ(s.cast.framesChanged(), changedFrames);
  // Nothing changes while nothing is drawn: bounded by a second of real time.
  EXPECT_FALSE(collectUntil(
      s.cast, [&](bool c) { return c; }, 1s));
  EXPECT_EQ(s.cast.framesChanged(), changedFrames);
}

TEST(MutterScreenCast, ACompositorThatIsGoneEndsTheCastWithAClearText) {
  CastScene s;
  ASSERT_TRUE(s.showsScene());
  s.session.killCompositor();
  try {
    (void)collectUntil(s.cast, [](bool) { return false; });
    FAIL() << "the cast went on without its compositor";
  } catch (const CompositorCaptureError& error) {
    EXPECT_EQ(error.kind(), CompositorCaptureError::Case::ended);
    EXPECT_STREQ(error.what(), "The compositor ended the screen cast.");
  }
  // And every call after that says the same.
  EXPECT_THROW((void)s.cast.collectChanges(), CompositorCaptureError);
  EXPECT_THROW((void)s.cast.captureChanges(), CompositorCaptureError);
}

TEST(MutterScreenCast, WithoutACompositorTheStartFailsWithAClearText) {
  PrivateWaylandSession session(PrivateWaylandSession::Options{false, 640, 480});
  session.killCompositor();
  // The compositor's names leave the bus a little after it dies.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::optional<CompositorCaptureError> failure;
  while (!failure && std::chrono::steady_clock::now() < deadline) {
    try {
      MutterScreenCast cast(MutterScreenCast::Options{false, 2s});
    } catch (const CompositorCaptureError& error) {
      failure = error;
    }
  }
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind(), CompositorCaptureError::Case::unavailable);
  EXPECT_NE(std::string(failure->what()).find("display configuration"), std::string::npos) << failure->what();
}

TEST(MutterScreenCast, TheDisplayConfigurationNamesThePrimaryMonitor) {
  PrivateWaylandSession session(PrivateWaylandSession::Options{false, 1024, 768});
  const auto displays = mutterDisplays(readMutterDisplayState());
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_TRUE(displays[0].isPrimary);
  EXPECT_EQ(displays[0].connector, "Meta-0");
  EXPECT_EQ(displays[0].bounds, (ScreenRect{0, 0, 1024, 768}));
  EXPECT_EQ(displays[0].scaleRate, 100);
}

}  // namespace
}  // namespace vantrel
