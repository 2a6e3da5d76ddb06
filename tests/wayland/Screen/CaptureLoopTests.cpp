#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "Platform/Screen/H264CaptureLoop.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"
#include "Screen/ScreenCaptureKitService.hpp"
#include "WaylandSceneKit.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::PrivateWaylandSession;
using testing::SceneClient;

constexpr int width = 1280;
constexpr int height = 720;

struct Picture {
  std::size_t bytes = 0;
  bool isKeyframe = false;
  std::chrono::steady_clock::time_point taken;
};

// What a loop delivered, for waits bounded by real time.
struct PictureLog {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Picture> pictures;
  std::vector<std::exception_ptr> failures;

  H264CaptureCallbacks callbacks() {
    return {[this](EncodedPicture picture, CaptureTiming timing, HandOffCredit::Ticket) {
              std::lock_guard lock(mutex);
              pictures.push_back({picture.annexB.size(), picture.isKeyframe, timing.captureStarted});
              arrived.notify_all();
            },
            [this](std::exception_ptr error) {
              std::lock_guard lock(mutex);
              failures.push_back(error);
              arrived.notify_all();
            }};
  }
  bool waitForPictures(std::size_t count, std::chrono::milliseconds limit = 20s) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return pictures.size() >= count; });
  }
  bool waitForFailure(std::chrono::milliseconds limit = 20s) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return !failures.empty(); });
  }
};

H264CaptureSettings settings() {
  H264CaptureSettings s;
  s.targetWidth = width;
  s.targetHeight = height;
  s.showsCursor = true;
  s.framesPerSecond = 30;
  s.keyframeInterval = 1000;
  s.refreshInterval = 100ms;
  return s;
}

// The loop reads the desktop chosen for the process: the compositor's, for every test here.
struct WaylandLoop : ::testing::Test {
  testing::ScopedEnvironmentVariable backend{"VANTREL_DESKTOP_BACKEND", std::string("wayland")};
  PrivateWaylandSession session{PrivateWaylandSession::Options{false, width, height}};
};

// The scene on the screen, whole, before the loop starts: what the loop then sees is still.
void showScene(SceneClient& scene) {
  MutterScreenCast cast(MutterScreenCast::Options{false});
  testing::RepaintNow repaint{scene};
  ASSERT_TRUE(testing::collectUntil(cast, [&](bool) {
    repaint();
    return testing::differencesFromScene(cast.captureChanges(), nullptr, nullptr) == 0;
  }));
}

TEST_F(WaylandLoop, AStillScreenGetsRefreshesAndNothingElse) {
  SceneClient scene(width, height);
  showScene(scene);
  PictureLog log;
  auto loop = H264CaptureLoop::start(settings(), log.callbacks());
  EXPECT_EQ(loop->captureArea(), (ScreenRect{0, 0, width, height}));
  ASSERT_TRUE(log.waitForPictures(5));
  loop->stop();
  std::lock_guard lock(log.mutex);
  ASSERT_TRUE(log.failures.empty());
  ASSERT_TRUE(log.pictures[0].isKeyframe);
  // Refreshes come 100, 200, 400 and 800 ms apart while nothing changes; a picture of a change
  // would have come a frame interval after it, sooner than the refresh due, and started the
  // intervals over.
  for (std::size_t i = 1; i < log.pictures.size(); ++i) {
    EXPECT_FALSE(log.pictures[i].isKeyframe) << i;
    EXPECT_GE(log.pictures[i].taken - log.pictures[i - 1].taken, 100ms * (1 << (i - 1)))
        << "picture " << i << " came before its refresh was due: it carried a change";
  }
}

TEST_F(WaylandLoop, ALostCompositorFailsTheLoopOnceAndARestartedOneStreamsAgain) {
  PictureLog log;
  auto loop = H264CaptureLoop::start(settings(), log.callbacks());
  ASSERT_TRUE(log.waitForPictures(1));
  session.killCompositor();
  ASSERT_TRUE(log.waitForFailure());
  loop->stop();  // joins: no callback comes after this
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.failures.size(), 1u);
    EXPECT_EQ(screenStreamFailureText(log.failures[0]),
              "Screen capture stopped: The compositor ended the screen cast.");
    try {
      std::rethrow_exception(log.failures[0]);
    } catch (const CompositorCaptureError& error) {
      EXPECT_EQ(error.kind(), CompositorCaptureError::Case::ended);
    } catch (...) {
      ADD_FAILURE() << "not a compositor capture error";
    }
  }
  EXPECT_FALSE(loop->isRunning());

  session.restart();
  PictureLog again;
  auto next = H264CaptureLoop::start(settings(), again.callbacks());
  ASSERT_TRUE(again.waitForPictures(2));
  next->stop();
  std::lock_guard lock(again.mutex);
  EXPECT_TRUE(again.failures.empty());
}

TEST_F(WaylandLoop, AStopWhileTheScreenChangesIsCleanAndTheNextStartWorks) {
  SceneClient scene(width, height);
  PictureLog log;
  auto loop = H264CaptureLoop::start(settings(), log.callbacks());
  // The scene changes while the pictures flow; each change is drawn before the next is sent.
  for (int i = 1; i <= 10; ++i) {
    scene.send(fmt::format("fill {} 100 200 200 {} 40 40", 40 * i, 20 * i));
    ASSERT_TRUE(scene.waitUntilDrawn(i));
  }
  ASSERT_TRUE(log.waitForPictures(3));
  loop->stop();
  loop->stop();  // a second stop does nothing
  EXPECT_FALSE(loop->isRunning());
  std::size_t delivered = 0;
  {
    std::lock_guard lock(log.mutex);
    EXPECT_TRUE(log.failures.empty());
    delivered = log.pictures.size();
  }
  loop.reset();
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.pictures.size(), delivered) << "a picture came after the stop";
  }
  PictureLog again;
  auto next = H264CaptureLoop::start(settings(), again.callbacks());
  ASSERT_TRUE(again.waitForPictures(1));
}

// Two loops (two managers) read one cast from two threads; the first one stopping leaves the
// second streaming the changes that follow.
TEST_F(WaylandLoop, TwoLoopsShareTheCastAndOneStoppingLeavesTheOtherStreaming) {
  SceneClient scene(width, height);
  PictureLog first, second;
  auto one = H264CaptureLoop::start(settings(), first.callbacks());
  auto two = H264CaptureLoop::start(settings(), second.callbacks());
  for (int i = 1; i <= 5; ++i) {
    scene.send(fmt::format("fill {} 100 200 200 {} 40 40", 40 * i, 20 * i));
    ASSERT_TRUE(scene.waitUntilDrawn(i));
  }
  ASSERT_TRUE(first.waitForPictures(2));
  ASSERT_TRUE(second.waitForPictures(2));
  one->stop();
  std::size_t before = 0;
  {
    std::lock_guard lock(second.mutex);
    before = second.pictures.size();
  }
  for (int i = 6; i <= 10; ++i) {
    scene.send(fmt::format("fill {} 400 200 200 40 {} 40", 40 * i, 20 * i));
    ASSERT_TRUE(scene.waitUntilDrawn(i));
  }
  EXPECT_TRUE(second.waitForPictures(before + 3));
  EXPECT_TRUE(two->isRunning());
  two->stop();
  for (auto* log : {&first, &second}) {
    std::lock_guard lock(log->mutex);
    EXPECT_TRUE(log->failures.empty());
  }
}

TEST_F(WaylandLoop, TheStartFailsWithAClearTextWithoutACompositor) {
  session.killCompositor();
  // Its names leave the bus a little after it dies; until then the start may still get through the
  // first calls, and then fails waiting.
  PictureLog log;
  try {
    auto loop = H264CaptureLoop::start(settings(), log.callbacks());
    ADD_FAILURE() << "a loop started without a compositor";
  } catch (const CompositorCaptureError& error) {
    EXPECT_NE(error.kind(), CompositorCaptureError::Case::ended) << error.what();
    EXPECT_FALSE(std::string(error.what()).empty());
  }
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.failures.empty());
  EXPECT_TRUE(log.pictures.empty());
}

// The display list and the main display come from the compositor's display configuration.
TEST_F(WaylandLoop, TheDisplaysAreTheCompositorsMonitors) {
  ASSERT_EQ(DesktopBackend::current(), DesktopBackendKind::gnomeWayland);
  const auto layout = readDisplayLayout();
  EXPECT_EQ(layout.mainArea(), (ScreenRect{0, 0, width, height}));
  EXPECT_EQ(layout.scaleRate, 100);
  const auto displays = ScreenCaptureKitService::displays(layout);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_TRUE(displays[0].isMain);
  EXPECT_EQ(displays[0].width, width);
  EXPECT_EQ(displays[0].height, height);
  const auto main = readMainDisplay();
  ASSERT_TRUE(main.has_value());
  EXPECT_EQ(main->geometry, (MainDisplayGeometry{0, 0, width, height}));
  EXPECT_EQ(main->scaleRate, 100);
  // Without the compositor there is nothing to read, and no stale answer.
  session.killCompositor();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (readMainDisplay() && std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_FALSE(readMainDisplay().has_value());
  EXPECT_THROW((void)readDisplayLayout(), CompositorCaptureError);
}

}  // namespace
}  // namespace vantrel
