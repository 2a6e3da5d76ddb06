#include <gtest/gtest.h>

#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_future.hpp>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <future>
#include <thread>
#include <utility>

#include "Platform/Screen/H264AnnexB.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"
#include "ScreenTestKit.hpp"
#include "Support/SystemLog.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using testing::PrivateXServer;
using testing::runAwaitable;
using testing::runUntil;
using testing::ScreenPainter;
using testing::sharedDisplay;
using testing::TemporaryDirectory;

// What a stream's handlers received, in order; touched only on the test's io_context. The
// handlers run on the capture thread and post to the io_context, where one consumer takes the
// units in order, as a session's strand would.
struct StreamLog {
  std::vector<EncodedScreenAccessUnit> units;
  std::vector<std::string> failures;
  // Runs after each unit has been recorded, before the next one is taken.
  std::function<Awaitable<void>(std::size_t)> afterUnit;
  std::deque<EncodedScreenAccessUnit> arrived;
  bool consuming = false;
  std::atomic<int> handlerCalls{0};  // counted on the capture thread

  std::vector<Bytes> bytes() const {
    std::vector<Bytes> out;
    for (const auto& unit : units) out.push_back(unit.annexBData);
    return out;
  }
};

Awaitable<void> consumeUnits(std::shared_ptr<StreamLog> log) {
  while (!log->arrived.empty()) {
    log->units.push_back(std::move(log->arrived.front()));
    log->arrived.pop_front();
    // Taken, as a session's sender would once the picture is sent: the streamer may take the next.
    log->units.back().handOff.release();
    if (log->afterUnit) co_await log->afterUnit(log->units.size());
  }
  log->consuming = false;
}

ScreenStreamHandlers handlersFor(const std::shared_ptr<StreamLog>& log, asio::io_context& io) {
  const auto executor = io.get_executor();
  return {[log, executor](EncodedScreenAccessUnit unit) {
            ++log->handlerCalls;
            asio::post(executor, [log, executor, unit = std::move(unit)]() mutable {
              log->arrived.push_back(std::move(unit));
              if (log->consuming) return;
              log->consuming = true;
              asio::co_spawn(executor, consumeUnits(log), asio::detached);
            });
          },
          [log, executor](std::string text) {
            asio::post(executor, [log, text = std::move(text)] { log->failures.push_back(text); });
          }};
}

ScreenStreamConfiguration configurationFor(int sourceWidth, int sourceHeight, int width, int height) {
  return ScreenStreamConfiguration(sourceWidth, sourceHeight, width, height, false, 30, 8'000'000, 60);
}

class StreamerTest : public testing::StreamingTest {
 protected:
  void runUntilUnits(const StreamLog& log, std::size_t count) {
    ASSERT_TRUE(runUntil(io, [&] { return log.units.size() >= count || !log.failures.empty(); }));
    ASSERT_TRUE(log.failures.empty()) << log.failures.front();
  }
};

TEST_F(StreamerTest, StreamsMovingContentWithKeyframesWhereAskedAndNothingAfterStop) {
  ScreenPainter painter(sharedDisplay());
  painter.paintMovingScene(0);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), sharedDisplay());
  EXPECT_EQ(run(streamer->primaryDisplaySize()), (ScreenPixelSize{1920, 1080}));
  EXPECT_EQ(run(streamer->primaryDisplayDPIRate()), 100);
  EXPECT_FALSE(run(streamer->isStreaming()));

  auto log = std::make_shared<StreamLog>();
  std::vector<std::size_t> requestedAfter;
  log->afterUnit = [&, weak = std::weak_ptr(streamer)](std::size_t count) -> Awaitable<void> {
    if (count == 20 || count == 45 || count == 46) {
      requestedAfter.push_back(count);
      // The screen stays still until the request is in: the next picture is taken after it.
      if (auto s = weak.lock()) co_await s->requestKeyframe();
    }
    painter.paintMovingScene(static_cast<int>(count));
  };
  run(streamer->start(configurationFor(1920, 1080, 1920, 1080), handlersFor(log, io)));
  EXPECT_TRUE(run(streamer->isStreaming()));
  runUntilUnits(*log, 130);
  run(streamer->stop());
  EXPECT_FALSE(run(streamer->isStreaming()));

  // No handler runs after stop.
  const int calls = log->handlerCalls.load();
  painter.paintMovingScene(1000);
  testing::drain(io);
  EXPECT_EQ(log->handlerCalls.load(), calls);

  ASSERT_EQ(requestedAfter, (std::vector<std::size_t>{20, 45, 46}));
  int lastKey = -1;
  for (std::size_t i = 0; i < log->units.size(); ++i) {
    const auto& unit = log->units[i];
    const bool mustBeKey = i == 0 || i == 20 || i == 45 || i == 46;
    if (mustBeKey) {
      EXPECT_TRUE(unit.isKeyframe) << "unit " << i;
    }
    EXPECT_EQ(unit.isKeyframe, H264AnnexB::containsIdrSlice(unit.annexBData)) << i;
    if (unit.isKeyframe) {
      EXPECT_TRUE(H264AnnexB::startsWithParameterSets(unit.annexBData)) << i;
      if (lastKey >= 0) {
        EXPECT_LE(static_cast<int>(i) - lastKey, 60) << i;
      }
      lastKey = static_cast<int>(i);
    }
    EXPECT_LE(static_cast<int>(i) - lastKey, 59) << i;
  }
  const auto probed = testing::probeH264(log->bytes(), folder.path() / "stream.h264");
  EXPECT_EQ(probed.width, 1920);
  EXPECT_EQ(probed.height, 1080);
  EXPECT_EQ(probed.decodedFrames, static_cast<int>(log->units.size()));
  EXPECT_EQ(probed.decodeErrors, "");

  run(streamer->stop());  // harmless a second time
  EXPECT_TRUE(log->failures.empty());
}

// The sockets this process holds; a capture thread's X connection is one of them until the
// thread has ended.
std::size_t openSockets() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.string().starts_with("socket:")) ++count;
  }
  return count;
}

// A stop that comes in while a start still sets its capture thread up, or right after another
// stop that still joins the thread, returns only once that thread has ended (its X connection
// closed): the quit relies on it before it closes the application's own connections.
TEST_F(StreamerTest, AStopReturnsOnlyOnceNoCaptureThreadIsLeft) {
  ScreenPainter painter(sharedDisplay());
  painter.paintMovingScene(0);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), sharedDisplay());
  const auto before = openSockets();
  auto log = std::make_shared<StreamLog>();

  auto starting = asio::co_spawn(
      io, streamer->start(configurationFor(1920, 1080, 1920, 1080), handlersFor(log, io)), asio::use_future);
  run(streamer->stop());
  EXPECT_EQ(openSockets(), before) << "a stop during a start";
  ASSERT_TRUE(
      runUntil(io, [&] { return starting.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  starting.get();
  EXPECT_FALSE(run(streamer->isStreaming()));

  run(streamer->start(configurationFor(1920, 1080, 1920, 1080), handlersFor(log, io)));
  runUntilUnits(*log, 1);
  EXPECT_GT(openSockets(), before);
  auto firstStop = asio::co_spawn(io, streamer->stop(), asio::use_future);
  run(streamer->stop());
  EXPECT_EQ(openSockets(), before) << "a stop right after another";
  ASSERT_TRUE(
      runUntil(io, [&] { return firstStop.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  firstStop.get();
}

TEST_F(StreamerTest, StartWhileStreamingRestartsWithTheNewSize) {
  ScreenPainter painter(sharedDisplay());
  painter.paintMovingScene(0);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), sharedDisplay());
  int step = 0;
  auto first = std::make_shared<StreamLog>();
  first->afterUnit = [&](std::size_t) -> Awaitable<void> {
    painter.paintMovingScene(++step);
    co_return;
  };
  run(streamer->start(configurationFor(1920, 1080, 1280, 720), handlersFor(first, io)));
  runUntilUnits(*first, 12);

  auto second = std::make_shared<StreamLog>();
  second->afterUnit = first->afterUnit;
  run(streamer->start(configurationFor(1920, 1080, 640, 360), handlersFor(second, io)));
  const auto firstCount = first->units.size();
  runUntilUnits(*second, 12);
  run(streamer->stop());
  testing::drain(io);
  EXPECT_EQ(first->units.size(), firstCount)
      << "the first stream's handlers are not called after the restart";

  const auto a = testing::probeH264(first->bytes(), folder.path() / "first.h264");
  EXPECT_EQ(a.width, 1280);
  EXPECT_EQ(a.height, 720);
  EXPECT_EQ(a.decodeErrors, "");
  ASSERT_FALSE(second->units.empty());
  EXPECT_TRUE(second->units.front().isKeyframe);
  EXPECT_TRUE(H264AnnexB::startsWithParameterSets(second->units.front().annexBData));
  const auto b = testing::probeH264(second->bytes(), folder.path() / "second.h264");
  EXPECT_EQ(b.width, 640);
  EXPECT_EQ(b.height, 360);
  EXPECT_EQ(b.decodedFrames, static_cast<int>(second->units.size()));
  EXPECT_EQ(b.decodeErrors, "");
}

TEST_F(StreamerTest, LargerDisplayIsScaledIntoTheTargetAndItsScaleIsReported) {
  PrivateXServer server(2560, 1440);
  testing::setXResources(server.displayName(), "Xft.antialias:\t1\nXft.dpi:\t192\n");
  ScreenPainter painter(server.displayName());
  painter.paintMovingScene(0);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), server.displayName());
  EXPECT_EQ(run(streamer->primaryDisplaySize()), (ScreenPixelSize{2560, 1440}));
  EXPECT_EQ(run(streamer->primaryDisplayDPIRate()), 200);

  auto log = std::make_shared<StreamLog>();
  int step = 0;
  log->afterUnit = [&](std::size_t) -> Awaitable<void> {
    painter.paintMovingScene(++step);
    co_return;
  };
  run(streamer->start(configurationFor(2560, 1440, 1920, 1080), handlersFor(log, io)));
  runUntilUnits(*log, 15);
  run(streamer->stop());
  const auto probed = testing::probeH264(log->bytes(), folder.path() / "scaled.h264");
  EXPECT_EQ(probed.width, 1920);
  EXPECT_EQ(probed.height, 1080);
  EXPECT_EQ(probed.decodedFrames, static_cast<int>(log->units.size()));
  EXPECT_EQ(probed.decodeErrors, "");
  // Red stays left and blue right after scaling.
  const auto rgb = testing::decodeLastPictureRgb(folder.path() / "scaled.h264", 1920, 1080);
  ASSERT_EQ(rgb.size(), 1920u * 1080u * 3u);
  const auto* left = &rgb[(1060u * 1920u + 10u) * 3u];
  const auto* right = &rgb[(10u * 1920u + 1900u) * 3u];
  EXPECT_GT(left[0], 200);
  EXPECT_LT(left[2], 60);
  EXPECT_GT(right[2], 200);
  EXPECT_LT(right[0], 60);
}

// A screen request asks for the size, then for the density: one read of the layout answers both,
// so the density is the one the size was read with, even when it changed in between. A density
// asked for on its own is read afresh.
TEST_F(StreamerTest, TheDensityAfterASizeComesFromTheSameReadAndALaterOneIsReadAgain) {
  PrivateXServer server(1280, 720);
  testing::setXResources(server.displayName(), "Xft.dpi:\t192\n");
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), server.displayName());
  EXPECT_EQ(run(streamer->primaryDisplaySize()), (ScreenPixelSize{1280, 720}));
  testing::setXResources(server.displayName(), "Xft.dpi:\t144\n");
  EXPECT_EQ(run(streamer->primaryDisplayDPIRate()), 200);
  EXPECT_EQ(run(streamer->primaryDisplayDPIRate()), 150);
}

TEST_F(StreamerTest, RefusedOrMissingDisplayFailsWithItsErrorAndCallsNoHandler) {
  auto log = std::make_shared<StreamLog>();
  const auto expectError = [&](const std::shared_ptr<ScreenCaptureKitH264Streamer>& streamer,
                               const ScreenStreamError& expected) {
    try {
      run(streamer->primaryDisplaySize());
      ADD_FAILURE() << "a size without display";
    } catch (const ScreenStreamError& error) {
      EXPECT_EQ(error, expected);
    }
    try {
      run(streamer->start(configurationFor(1920, 1080, 1280, 720), handlersFor(log, io)));
      ADD_FAILURE() << "a start without display";
    } catch (const ScreenStreamError& error) {
      EXPECT_EQ(error, expected);
    }
    EXPECT_FALSE(run(streamer->isStreaming()));
    EXPECT_EQ(run(streamer->primaryDisplayDPIRate()), 100);
    run(streamer->stop());
  };
  const auto refusing = testing::refusingXServer(folder.path());
  ASSERT_TRUE(refusing) << "xauth could not write the cookie file";
  expectError(ScreenCaptureKitH264Streamer::create(io.get_executor(), refusing->displayName()),
              ScreenStreamError::screenRecordingDenied());
  // Nobody serves this display: it cannot be reached, which is no refusal.
  expectError(
      ScreenCaptureKitH264Streamer::create(io.get_executor(), ":4999"),
      ScreenStreamError::startFailed("The X display :4999 cannot be reached: no X server answers there."));
  expectError(ScreenCaptureKitH264Streamer::create(io.get_executor(), std::string()),
              ScreenStreamError::noDisplay());
  EXPECT_TRUE(ScreenStreamError::screenRecordingDenied().isPermissionDenied());
  testing::drain(io);
  EXPECT_TRUE(log->units.empty());
  EXPECT_TRUE(log->failures.empty());
}

TEST_F(StreamerTest, LostDisplayIsReportedOnceThroughOnFailureAndEndsTheStream) {
  auto server = std::make_unique<PrivateXServer>(640, 480);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), server->displayName());
  auto log = std::make_shared<StreamLog>();
  run(streamer->start(configurationFor(640, 480, 640, 480), handlersFor(log, io)));
  runUntilUnits(*log, 1);
  server->stop();
  ASSERT_TRUE(runUntil(io, [&] { return !log->failures.empty(); }));
  EXPECT_EQ(log->failures,
            (std::vector<std::string>{"Screen capture stopped: The connection to the X display was lost."}));
  EXPECT_FALSE(run(streamer->isStreaming()));
  const auto units = log->units.size();
  run(streamer->stop());
  testing::drain(io);
  EXPECT_EQ(log->units.size(), units);
  EXPECT_EQ(log->failures.size(), 1u);
}

TEST_F(StreamerTest, WhoeverIsToldOfAFailureFindsTheStreamAlreadyEnded) {
  auto server = std::make_unique<PrivateXServer>(640, 480);
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), server->displayName());
  auto log = std::make_shared<StreamLog>();
  auto handlers = handlersFor(log, io);
  // The failure handler keeps the capture thread until the test has asked the streamer, so what
  // the handler's owner asks right after being told is asked before anything else can happen.
  auto told = std::make_shared<std::atomic<bool>>(false);
  auto release = std::make_shared<std::promise<void>>();
  handlers.onFailure = [told, released = release->get_future().share()](std::string) {
    told->store(true);
    released.wait();
  };
  struct Release {
    std::shared_ptr<std::promise<void>> promise;
    void now() {
      if (promise) std::exchange(promise, nullptr)->set_value();
    }
    ~Release() { now(); }
  } releaseOnExit{release};
  run(streamer->start(configurationFor(640, 480, 640, 480), std::move(handlers)));
  runUntilUnits(*log, 1);
  server->stop();
  ASSERT_TRUE(runUntil(io, [&] { return told->load(); }));
  const bool streaming = run(streamer->isStreaming());
  releaseOnExit.now();
  EXPECT_FALSE(streaming);
  run(streamer->stop());
}

}  // namespace
}  // namespace vantrel
