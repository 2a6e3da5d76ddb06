#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "Platform/H264AnnexB.hpp"
#include "Platform/X11DisplayCapture.hpp"
#include "Platform/X11H264CaptureLoop.hpp"
#include "Platform/XTestInput.hpp"
#include "ScreenTestKit.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::ScreenPainter;
using testing::TemporaryDirectory;

std::string sharedDisplay() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

// Collects the loop's pictures; the test thread waits for a count with a hang guard.
struct PictureLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<EncodedPicture> pictures;
  std::vector<std::string> failures;

  X11H264CaptureCallbacks callbacks(std::function<void(std::size_t)> afterEach = {}) {
    return {[this, afterEach](EncodedPicture picture, CaptureTiming) {
              std::size_t count = 0;
              {
                std::lock_guard lock(mutex);
                pictures.push_back(std::move(picture));
                count = pictures.size();
              }
              changed.notify_all();
              if (afterEach) afterEach(count);
            },
            [this](std::exception_ptr error) {
              {
                std::lock_guard lock(mutex);
                failures.push_back(localizedDescription(error));
              }
              changed.notify_all();
            }};
  }

  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 60s, [&] { return pictures.size() >= count || !failures.empty(); }) &&
           pictures.size() >= count;
  }

  std::vector<Bytes> units() {
    std::lock_guard lock(mutex);
    std::vector<Bytes> out;
    for (const auto& p : pictures) out.push_back(p.annexB);
    return out;
  }
};

X11H264CaptureSettings settingsFor(const std::string& display, int width, int height) {
  X11H264CaptureSettings settings;
  settings.displayName = display;
  settings.targetWidth = width;
  settings.targetHeight = height;
  settings.showsCursor = false;
  settings.framesPerSecond = 30;
  settings.averageBitrate = 8'000'000;
  settings.keyframeInterval = 60;
  return settings;
}

TEST(X11DisplayCapture, UnsetDisplayIsNoDisplayAndRefusedConnectionIsAccessDenied) {
  try {
    X11DisplayCapture capture({std::string(), false, false});
    FAIL() << "an empty display name must not connect";
  } catch (const X11CaptureError& error) {
    EXPECT_EQ(error.kind(), X11CaptureError::Case::noDisplay);
  }
  try {
    // A display number nobody serves: the connection is refused.
    X11DisplayCapture capture({std::string(":4999"), false, false});
    FAIL() << "a display without server must not connect";
  } catch (const X11CaptureError& error) {
    EXPECT_EQ(error.kind(), X11CaptureError::Case::accessDenied);
  }
}

TEST(X11DisplayCapture, ReadsPixelsInBlueGreenRedOrderThroughSharedMemory) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x102030);
  X11DisplayCapture capture({sharedDisplay(), false, true});
  EXPECT_TRUE(capture.usesSharedMemory());
  const auto image = capture.capture();
  ASSERT_EQ(image.width, 1920);
  ASSERT_EQ(image.height, 1080);
  const auto* p = image.data + 500 * image.stride + 700 * 4;
  EXPECT_EQ(p[0], 0x30);
  EXPECT_EQ(p[1], 0x20);
  EXPECT_EQ(p[2], 0x10);
}

TEST(X11DisplayCapture, DamageReportsAChangeOnlyAfterDrawing) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x000000);
  X11DisplayCapture capture({sharedDisplay(), false, true});
  EXPECT_TRUE(capture.collectChanges()) << "the first look counts as a change";
  // Damage from before may still be on its way; a round trip settles it.
  (void)capture.collectChanges();
  EXPECT_FALSE(capture.collectChanges());
  painter.paintSolid(0x00FF00);
  // The damage event was sent before the painter's XSync returned; one collection may still need
  // a round trip to read it.
  bool seen = capture.collectChanges();
  if (!seen) seen = capture.collectChanges();
  EXPECT_TRUE(seen);
  EXPECT_FALSE(capture.collectChanges());
}

TEST(X11DisplayCapture, DrawsTheCursorOnlyWhenAsked) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x000000);
  painter.movePointer(400, 300);
  const auto litPixelsAround = [](const BgraImageView& image, int cx, int cy) {
    int lit = 0;
    for (int y = cy - 20; y < cy + 20; ++y) {
      for (int x = cx - 20; x < cx + 20; ++x) {
        const auto* p = image.data + y * image.stride + x * 4;
        if (p[0] > 0 || p[1] > 0 || p[2] > 0) ++lit;
      }
    }
    return lit;
  };
  {
    X11DisplayCapture withCursor({sharedDisplay(), true, true});
    (void)withCursor.collectChanges();
    EXPECT_GT(litPixelsAround(withCursor.capture(), 400, 300), 10);
  }
  {
    X11DisplayCapture withoutCursor({sharedDisplay(), false, true});
    (void)withoutCursor.collectChanges();
    EXPECT_EQ(litPixelsAround(withoutCursor.capture(), 400, 300), 0);
  }
}

// Collects until a change shows; events may need a round trip or two to arrive.
bool changeSeen(X11DisplayCapture& capture, bool lookAtPointer = false) {
  for (int i = 0; i < 5; ++i) {
    if (capture.collectChanges(lookAtPointer)) return true;
  }
  return false;
}

TEST(X11DisplayCapture, PointerMotionArrivesAsEventsAndAWarpIsSeenWhenLookedFor) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x000000);
  X11DisplayCapture capture({sharedDisplay(), true, true});
  ASSERT_TRUE(capture.followsPointerByEvents());
  while (capture.collectChanges(true)) {
  }
  EXPECT_FALSE(capture.collectChanges()) << "a still pointer is not a change";
  XTestInput input;
  ASSERT_TRUE(input.movePointer(700, 500));
  EXPECT_TRUE(changeSeen(capture)) << "device motion is reported without asking";
  while (capture.collectChanges()) {
  }
  painter.movePointer(300, 200);
  EXPECT_TRUE(changeSeen(capture, true)) << "a warp is found by looking";
}

class CaptureLoopTest : public ::testing::Test {
 protected:
  TemporaryDirectory folder;
};

TEST_F(CaptureLoopTest, MovingContentDecodesAtTargetSizeWithKeyframesAtMostSixtyApart) {
  ScreenPainter painter(sharedDisplay());
  painter.paintMovingScene(0);
  PictureLog log;
  int step = 0;
  auto loop =
      X11H264CaptureLoop::start(settingsFor(sharedDisplay(), 1920, 1080),
                                log.callbacks([&](std::size_t) { painter.paintMovingScene(++step); }));
  ASSERT_TRUE(log.waitFor(130));
  loop->stop();
  const auto units = log.units();
  ASSERT_TRUE(log.failures.empty());

  ASSERT_TRUE(log.pictures.front().isKeyframe);
  int lastKey = -1;
  int keyframes = 0;
  for (int i = 0; i < static_cast<int>(log.pictures.size()); ++i) {
    const auto& picture = log.pictures[static_cast<std::size_t>(i)];
    EXPECT_TRUE(startsWith(picture.annexB, H264AnnexB::startCode)) << i;
    EXPECT_EQ(picture.isKeyframe, H264AnnexB::containsIdrSlice(picture.annexB)) << i;
    if (picture.isKeyframe) {
      EXPECT_TRUE(H264AnnexB::startsWithParameterSets(picture.annexB)) << i;
      if (lastKey >= 0) {
        EXPECT_LE(i - lastKey, 60) << i;
      }
      lastKey = i;
      ++keyframes;
    } else {
      EXPECT_LE(i - lastKey, 59) << "picture " << i << " is too far from keyframe " << lastKey;
    }
  }
  EXPECT_GE(keyframes, 3);

  const auto probed = testing::probeH264(units, folder.path() / "moving.h264");
  EXPECT_EQ(probed.width, 1920);
  EXPECT_EQ(probed.height, 1080);
  EXPECT_EQ(probed.decodedFrames, static_cast<int>(units.size()));
  EXPECT_EQ(probed.decodeErrors, "");

  // Colours survive capture, conversion and coding: red on the left, blue on the right.
  const auto rgb = testing::decodeLastPictureRgb(folder.path() / "moving.h264", 1920, 1080);
  ASSERT_EQ(rgb.size(), 1920u * 1080u * 3u);
  const auto at = [&](int x, int y) { return &rgb[(static_cast<std::size_t>(y) * 1920 + x) * 3]; };
  // Corners stay clear of the moving white square only if it is elsewhere; take the pixel that
  // is farther from it.
  const auto* left = at(20, 1060);
  const auto* right = at(1900, 20);
  EXPECT_GT(left[0], 200);
  EXPECT_LT(left[2], 60);
  EXPECT_LT(right[0], 60);
  EXPECT_GT(right[2], 200);
}

TEST_F(CaptureLoopTest, RequestedKeyframeIsTheNextPicture) {
  ScreenPainter painter(sharedDisplay());
  painter.paintMovingScene(0);
  PictureLog log;
  std::unique_ptr<X11H264CaptureLoop> loop;
  std::mutex loopMutex;
  std::vector<std::size_t> requestedAfter;
  auto settings = settingsFor(sharedDisplay(), 1280, 720);
  settings.keyframeInterval = 1000;
  loop = X11H264CaptureLoop::start(settings, log.callbacks([&](std::size_t count) {
    if (count % 7 == 0) {
      // From inside the loop's own callback: nothing else is being encoded at this moment.
      std::lock_guard lock(loopMutex);
      requestedAfter.push_back(count);
      loop->requestKeyframe();
    }
    painter.paintMovingScene(static_cast<int>(count));
  }));
  ASSERT_TRUE(log.waitFor(40));
  loop->stop();
  ASSERT_GE(requestedAfter.size(), 4u);
  for (std::size_t i = 0; i < log.pictures.size(); ++i) {
    const bool requested =
        i > 0 && (i % 7 == 0);  // picture i follows the request after picture i (1-based count i)
    const bool expected = i == 0 || requested;
    EXPECT_EQ(log.pictures[i].isKeyframe, expected) << "picture " << i;
    if (log.pictures[i].isKeyframe) {
      EXPECT_TRUE(H264AnnexB::startsWithParameterSets(log.pictures[i].annexB));
    }
  }
}

TEST_F(CaptureLoopTest, StillScreenIsRefreshedAndStopEndsTheCallbacks) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x404040);
  PictureLog log;
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.refreshInterval = 100ms;
  // Three pictures' worth of time passes between two refreshes: counted in time, every refresh
  // would be a keyframe.
  settings.keyframeInterval = 3;
  auto loop = X11H264CaptureLoop::start(settings, log.callbacks());
  // Nothing is drawn: only the refresh produces pictures.
  ASSERT_TRUE(log.waitFor(5));
  loop->stop();
  const auto count = log.units().size();
  for (std::size_t i = 0; i < count; ++i)
    EXPECT_EQ(log.pictures[i].isKeyframe, i % 3 == 0) << "picture " << i;
  EXPECT_FALSE(loop->isRunning());
  painter.paintMovingScene(5);
  loop->stop();  // idempotent
  EXPECT_EQ(log.units().size(), count);
  EXPECT_TRUE(log.failures.empty());
}

TEST_F(CaptureLoopTest, InvalidTargetSizeFailsTheStartWithoutCallbacks) {
  PictureLog log;
  EXPECT_THROW(X11H264CaptureLoop::start(settingsFor(sharedDisplay(), 641, 360), log.callbacks()),
               X264EncoderError);
  EXPECT_THROW(X11H264CaptureLoop::start(settingsFor(sharedDisplay(), 0, 360), log.callbacks()),
               X264EncoderError);
  EXPECT_THROW(X11H264CaptureLoop::start(settingsFor(":4999", 640, 360), log.callbacks()), X11CaptureError);
  EXPECT_TRUE(log.units().empty());
  EXPECT_TRUE(log.failures.empty());
}

}  // namespace
}  // namespace vantrel
