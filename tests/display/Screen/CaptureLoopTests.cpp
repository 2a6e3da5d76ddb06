#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Platform/X11DisplayCapture.hpp"
#include "Platform/X11H264CaptureLoop.hpp"
#include "Platform/XTestInput.hpp"
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

  X11H264CaptureCallbacks callbacks() {
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
  auto loop = X11H264CaptureLoop::start(settings, log.callbacks());
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
  auto loop = X11H264CaptureLoop::start(settings, log.callbacks());
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
  auto loop = X11H264CaptureLoop::start(settings, log.callbacks());
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

// While the consumer holds the last picture's ticket the loop takes no picture, whatever changes
// or is asked for; the changes gathered meanwhile and a keyframe asked for meanwhile make the one
// picture taken once the ticket is back.
TEST(CaptureLoop, NoPictureIsTakenWhileTheLastOneIsHeldAndWhatCameMeanwhileMakesTheNext) {
  ScreenPainter painter(sharedDisplay());
  painter.paintSolid(0x202020);
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<EncodedPicture> pictures;
  std::vector<HandOffCredit::Ticket> held;
  bool released = false;
  int takenWhileHeld = 0;
  X11H264CaptureCallbacks callbacks{[&](EncodedPicture picture, CaptureTiming, HandOffCredit::Ticket ticket) {
                                      {
                                        std::lock_guard lock(mutex);
                                        if (!pictures.empty() && !released) ++takenWhileHeld;
                                        pictures.push_back(std::move(picture));
                                        held.push_back(std::move(ticket));
                                      }
                                      arrived.notify_all();
                                    },
                                    [&](std::exception_ptr) { arrived.notify_all(); }};
  const auto waitFor = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 60s, [&] { return pictures.size() >= count; });
  };
  auto settings = settingsFor(sharedDisplay(), 640, 360);
  settings.refreshInterval = 1h;  // only changes and requests make pictures here
  auto loop = X11H264CaptureLoop::start(settings, callbacks);
  ASSERT_TRUE(waitFor(1));
  painter.paintRect(0xFFFFFF, 0, 0, 64, 64);
  loop->requestKeyframe();
  painter.paintRect(0xFF0000, 320, 180, 64, 64);
  {
    std::lock_guard lock(mutex);
    released = true;
    held.front().release();
  }
  ASSERT_TRUE(waitFor(2));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(takenWhileHeld, 0);
    EXPECT_TRUE(pictures[1].isKeyframe) << "asked for while the ticket was out";
  }
  // A stop with the ticket still out ends the loop; the ticket outlives it harmlessly.
  painter.paintRect(0x00FF00, 100, 100, 64, 64);
  loop->stop();
  EXPECT_FALSE(loop->isRunning());
  loop.reset();
  std::lock_guard lock(mutex);
  held.clear();
}

}  // namespace
}  // namespace vantrel
