#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Platform/Screen/H264CaptureLoop.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "Platform/X11/XTestInput.hpp"
#include "ScreenTestKit.hpp"

namespace vantrel {
namespace {

using testing::sharedDisplay;
using namespace std::chrono_literals;
using testing::ScreenPainter;

// Collects the loop's pictures and when each was taken; the test thread waits for a count with
// a hang guard.
struct PictureLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<EncodedPicture> pictures;
  std::vector<std::chrono::steady_clock::time_point> taken;
  std::vector<std::string> failures;

  H264CaptureCallbacks callbacks() {
    return {[this](EncodedPicture picture, CaptureTiming timing, HandOffCredit::Ticket) {
              {
                std::lock_guard lock(mutex);
                pictures.push_back(std::move(picture));
                taken.push_back(timing.captureStarted);
              }
              changed.notify_all();
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

  std::size_t count() {
    std::lock_guard lock(mutex);
    return pictures.size();
  }
};

H264CaptureSettings settingsFor(const std::string& display, int width, int height) {
  H264CaptureSettings settings;
  settings.displayName = display;
  settings.targetWidth = width;
  settings.targetHeight = height;
  settings.showsCursor = false;
  settings.framesPerSecond = 30;
  settings.averageBitrate = 8'000'000;
  settings.keyframeInterval = 60;
  return settings;
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

TEST(CaptureLoop, StillScreenIsRefreshedWithoutKeyframesAndStopEndsTheCallbacks) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x404040);
  PictureLog log;
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.refreshInterval = 50ms;
  // Counted as pictures, every third refresh would be a keyframe.
  settings.keyframeInterval = 3;
  auto loop = H264CaptureLoop::start(settings, log.callbacks());
  // Nothing is drawn: only the refreshes produce pictures.
  ASSERT_TRUE(log.waitFor(5));
  loop->stop();
  const auto count = log.count();
  for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(log.pictures[i].isKeyframe, i == 0) << "picture " << i;
  EXPECT_FALSE(loop->isRunning());
  painter.paintMovingScene(5);
  loop->stop();  // idempotent
  EXPECT_EQ(log.count(), count);
  EXPECT_TRUE(log.failures.empty());
}

// A keyframe asked for on a still screen comes at once, carries no change (nothing follows it a
// frame interval later) and starts the refreshes over.
TEST(CaptureLoop, KeyframeAskedForOnAStillScreenStartsTheRefreshesOver) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(3);
  PictureLog log;
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.showsCursor = true;
  settings.refreshInterval = 100ms;
  auto loop = H264CaptureLoop::start(settings, log.callbacks());
  // The first picture, then refreshes 100, 200, 400 and 800 ms apart.
  ASSERT_TRUE(log.waitFor(5));
  loop->requestKeyframe();
  ASSERT_TRUE(log.waitFor(8));
  loop->stop();
  std::lock_guard lock(log.mutex);
  ASSERT_TRUE(log.failures.empty());
  std::vector<int> keys;
  for (std::size_t i = 0; i < log.pictures.size(); ++i) {
    if (log.pictures[i].isKeyframe) keys.push_back(static_cast<int>(i));
  }
  EXPECT_EQ(keys, (std::vector<int>{0, 5}));
  const auto gap = [&](std::size_t i) { return log.taken[i] - log.taken[i - 1]; };
  EXPECT_GE(gap(4), 800ms) << "the refreshes had grown apart";
  EXPECT_GE(gap(6), 100ms) << "the keyframe is not followed by a picture of a change";
  EXPECT_LT(gap(6), 800ms) << "the refreshes start over after the keyframe";
  EXPECT_GE(gap(7), 200ms);
}

// A client that draws the very pixels that were there raises a damage report without a change:
// no picture comes of it, and the next one is the refresh.
TEST(CaptureLoop, DrawingWhatWasThereBringsNoPicture) {
  ScreenPainter painter(sharedDisplay());
  painter.paintCells(5);
  PictureLog log;
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.refreshInterval = 300ms;
  auto loop = H264CaptureLoop::start(settings, log.callbacks());
  ASSERT_TRUE(log.waitFor(1));
  painter.paintCells(5);  // the same cells again: the whole screen reported damaged
  painter.paintRect(0xFFFFFF, 0, 0, 16, 16);
  ASSERT_TRUE(log.waitFor(2));
  painter.paintRect(0xFFFFFF, 0, 0, 16, 16);  // the same white square again
  ASSERT_TRUE(log.waitFor(3));
  loop->stop();
  std::lock_guard lock(log.mutex);
  ASSERT_TRUE(log.failures.empty());
  // The white square comes a frame interval after the first picture; then nothing until the
  // refresh.
  EXPECT_LT(log.taken[1] - log.taken[0], 300ms);
  EXPECT_GE(log.taken[2] - log.taken[1], 300ms) << "a picture came of drawing what was there";
}

// While the consumer holds the last picture's ticket the loop takes no picture, through several
// frame intervals of changes and a keyframe asked for; what changed meanwhile makes the one
// keyframe taken once the ticket is back, and nothing is left over for a further picture.
TEST(CaptureLoop, NoPictureIsTakenWhileTheLastOneIsHeldAndWhatCameMeanwhileMakesTheNext) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x202020);
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<EncodedPicture> pictures;
  std::vector<HandOffCredit::Ticket> held;
  H264CaptureCallbacks callbacks{[&](EncodedPicture picture, CaptureTiming, HandOffCredit::Ticket ticket) {
                                   {
                                     std::lock_guard lock(mutex);
                                     pictures.push_back(std::move(picture));
                                     held.push_back(std::move(ticket));
                                   }
                                   arrived.notify_all();
                                 },
                                 [&](std::exception_ptr) { arrived.notify_all(); }};
  // Whether `count` pictures have come within `bound`.
  const auto cameWithin = [&](std::size_t count, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, bound, [&] { return pictures.size() >= count; });
  };
  const auto giveBack = [&](std::size_t picture) {
    std::lock_guard lock(mutex);
    held.at(picture).release();
  };
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.refreshInterval = 1h;  // only changes and requests make pictures here
  // A loop that ignored the ticket would take each change's picture within one frame interval;
  // each look waits for two.
  const auto look = std::chrono::milliseconds(2000 / settings.framesPerSecond);
  auto loop = H264CaptureLoop::start(settings, callbacks);
  ASSERT_TRUE(cameWithin(1, 60s));

  // One square per frame interval or two, each in a colour of its own, in the four quarters.
  struct Square {
    std::uint32_t rgb;
    int x, y;
  };
  const int w = painter.width(), h = painter.height();
  const std::vector<Square> squares{{0xFFFFFF, w / 8, h / 8},
                                    {0xFF0000, w * 5 / 8, h / 8},
                                    {0x00FF00, w / 8, h * 5 / 8},
                                    {0x0000FF, w * 5 / 8, h * 5 / 8}};
  const int side = std::min(w, h) / 4;
  for (std::size_t i = 0; i < squares.size(); ++i) {
    painter.paintRect(squares[i].rgb, squares[i].x, squares[i].y, side, side);
    if (i == 1) loop->requestKeyframe();
    EXPECT_FALSE(cameWithin(2, look)) << "a picture was taken with the ticket out, after change " << i;
  }

  giveBack(0);
  ASSERT_TRUE(cameWithin(2, 60s));
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(pictures[1].isKeyframe) << "asked for while the ticket was out";
  }
  // Every change is in that picture: nothing is left to make another once it is given back.
  giveBack(1);
  EXPECT_FALSE(cameWithin(3, 4 * look)) << "a change held back came as a picture of its own";

  // A stop with the ticket out ends the loop; the ticket outlives it harmlessly.
  painter.paintRect(0x808080, 0, 0, side, side);
  ASSERT_TRUE(cameWithin(3, 60s));
  painter.paintRect(0x00FFFF, 0, 0, side, side);
  loop->stop();
  EXPECT_FALSE(loop->isRunning());
  loop.reset();
  std::lock_guard lock(mutex);
  const std::size_t taken = pictures.size();
  EXPECT_EQ(taken, 3u) << "a picture was taken while the third ticket was out";

  // The picture taken at the give-back shows all four squares.
  testing::TemporaryDirectory folder;
  std::vector<Bytes> units;
  for (std::size_t i = 0; i < 2; ++i) units.push_back(pictures[i].annexB);
  const auto file = folder.path() / "held.h264";
  const auto probed = testing::probeH264(units, file);
  ASSERT_EQ(probed.decodedFrames, 2);
  const auto rgb = testing::decodeLastPictureRgb(file, 640, 360);
  ASSERT_EQ(rgb.size(), 640u * 360u * 3u);
  for (const Square& square : squares) {
    // The square's centre, scaled into the 640 x 360 picture.
    const int cx = (square.x + side / 2) * 640 / w, cy = (square.y + side / 2) * 360 / h;
    const auto* pixel = &rgb[(static_cast<std::size_t>(cy) * 640u + static_cast<std::size_t>(cx)) * 3u];
    for (int c = 0; c < 3; ++c) {
      const int expected = static_cast<int>((square.rgb >> (16 - 8 * c)) & 0xFF);
      EXPECT_NEAR(pixel[c], expected, 48)
          << "square 0x" << std::hex << square.rgb << std::dec << ", channel " << c;
    }
  }
  held.clear();
}

}  // namespace
}  // namespace vantrel
