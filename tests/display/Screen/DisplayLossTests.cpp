#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/X11/XConnection.hpp"
#include "Screen/ScreenCaptureKitH264Streamer.hpp"
#include "Screen/ScreenCaptureKitService.hpp"
#include "ScreenTestKit.hpp"
#include "support/AsyncTest.hpp"

// An X server that stops, is not there, refuses, or comes back: a display that is gone is
// reported as gone (never as a refused permission), and the next request after the server is
// back streams again.

namespace vantrel {
namespace {

using testing::PrivateXServer;
using testing::runUntil;

ScreenStreamConfiguration smallConfiguration() {
  return ScreenStreamConfiguration(640, 480, 640, 480, false, 30, 2'000'000, 60);
}

struct Received {
  std::atomic<int> units{0};
  std::vector<std::string> failures;  // on the io_context
};

ScreenStreamHandlers handlersFor(const std::shared_ptr<Received>& received, asio::io_context& io) {
  const auto executor = io.get_executor();
  return {[received](EncodedScreenAccessUnit) { ++received->units; },
          [received, executor](std::string text) {
            asio::post(executor, [received, text = std::move(text)] { received->failures.push_back(text); });
          }};
}

class DisplayLossTest : public testing::StreamingTest {
 protected:
  // The error of the streamer's size query and of its start, which must be the same.
  ScreenStreamError streamerError(const std::string& display) {
    auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), display);
    std::optional<ScreenStreamError> sizeError;
    try {
      run(streamer->primaryDisplaySize());
    } catch (const ScreenStreamError& error) {
      sizeError = error;
    }
    auto received = std::make_shared<Received>();
    std::optional<ScreenStreamError> startError;
    try {
      run(streamer->start(smallConfiguration(), handlersFor(received, io)));
    } catch (const ScreenStreamError& error) {
      startError = error;
    }
    EXPECT_FALSE(run(streamer->isStreaming()));
    testing::drain(io);
    EXPECT_EQ(received->units.load(), 0);
    EXPECT_TRUE(received->failures.empty());
    if (!sizeError || !startError) {
      ADD_FAILURE() << display << ": the size query or the start succeeded without a display";
      return ScreenStreamError::startFailed("none");
    }
    EXPECT_EQ(*sizeError, *startError)
        << sizeError->localizedDescription() << " / " << startError->localizedDescription();
    return *sizeError;
  }

  ScreenCaptureServiceError serviceError(const std::string& display) {
    ScreenCaptureKitService service(display);
    try {
      (void)run(service.enumerateDisplays());
    } catch (const ScreenCaptureServiceError& error) {
      return error;
    }
    ADD_FAILURE() << display << ": enumerated without a display";
    return ScreenCaptureServiceError::enumerationFailed("none");
  }
};

TEST_F(DisplayLossTest, AbsentServerIsUnreachableAndARefusingOneIsDenied) {
  // A display nobody serves: a stream that cannot start, never a permission question.
  PrivateXServer gone;
  const std::string goneName = gone.displayName();
  gone.stop();
  const auto absent = streamerError(goneName);
  EXPECT_FALSE(absent.isPermissionDenied()) << absent.localizedDescription();
  EXPECT_EQ(absent, ScreenStreamError::startFailed("The X display " + goneName +
                                                   " cannot be reached: no X server answers there."));
  EXPECT_EQ(serviceError(goneName),
            ScreenCaptureServiceError::enumerationFailed("The X display " + goneName +
                                                         " cannot be reached: no X server answers there."));

  // A server that is there and says no: the permission is what is missing.
  const auto refusing = testing::refusingXServer(folder.path());
  ASSERT_TRUE(refusing) << "xauth could not write the cookie file";
  EXPECT_EQ(streamerError(refusing->displayName()), ScreenStreamError::screenRecordingDenied());
  EXPECT_EQ(serviceError(refusing->displayName()), ScreenCaptureServiceError::screenRecordingDenied());
}

TEST_F(DisplayLossTest, ServerListensTellsAMissingServerFromAPresentOne) {
  PrivateXServer server;
  const std::string name = server.displayName();
  const std::string number = name.substr(1);
  struct Case {
    std::string display;
    bool listens;
  };
  const std::vector<Case> whileUp{
      {name, true},
      {name + ".0", true},
      {"unix" + name, true},
      {"unix/" + name, true},
      {"tcp/localhost" + name, false},  // the server takes no TCP connections
      {"", false},
      {"no-colon", false},
      {":", false},
      {":x1", false},
      {":1x", false},
      {":99999999999", false},
  };
  for (const auto& c : whileUp) EXPECT_EQ(XConnection::serverListens(c.display), c.listens) << c.display;
  server.stop();
  EXPECT_FALSE(XConnection::serverListens(name));
  EXPECT_FALSE(XConnection::serverListens("unix/" + name));
  server.restart();
  EXPECT_EQ(server.displayName(), name);
  EXPECT_TRUE(XConnection::serverListens(name));
}

// A one-time question to the server (layout, capture permission, compositor) on a connection the
// server drops under it: the call fails and the connection is closed; the process goes on.
TEST(XConnectionServerLoss, ACallOnADroppedConnectionFailsInsteadOfEndingTheProcess) {
  PrivateXServer server;
  auto display = XConnection::open(server.displayName());
  ASSERT_TRUE(display);
  server.stop();
  // In a child process, which ends with the status it reaches: Xlib's own handling of a lost
  // connection ends the process with status 1.
  EXPECT_EXIT(
      {
        XSync(display.get(), False);
        display.reset();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  display.reset();
}

TEST_F(DisplayLossTest, StreamEndsWhenTheServerStopsAndALaterStartStreamsOnceItIsBack) {
  PrivateXServer server;
  const std::string name = server.displayName();
  auto streamer = ScreenCaptureKitH264Streamer::create(io.get_executor(), name);
  auto first = std::make_shared<Received>();
  run(streamer->start(smallConfiguration(), handlersFor(first, io)));
  ASSERT_TRUE(runUntil(io, [&] { return first->units.load() > 0 || !first->failures.empty(); }));
  ASSERT_TRUE(first->failures.empty()) << first->failures.front();

  server.stop();
  ASSERT_TRUE(runUntil(io, [&] { return !first->failures.empty(); }));
  EXPECT_EQ(first->failures,
            (std::vector<std::string>{"Screen capture stopped: The connection to the X display was lost."}));
  EXPECT_FALSE(run(streamer->isStreaming()));

  // While it is gone, the same streamer answers a request with a start failure, not a refusal.
  const std::string gone = "The X display " + name + " cannot be reached: no X server answers there.";
  try {
    run(streamer->primaryDisplaySize());
    ADD_FAILURE() << "a size while the server is gone";
  } catch (const ScreenStreamError& error) {
    EXPECT_EQ(error, ScreenStreamError::startFailed(gone)) << error.localizedDescription();
  }
  auto second = std::make_shared<Received>();
  try {
    run(streamer->start(smallConfiguration(), handlersFor(second, io)));
    ADD_FAILURE() << "a start while the server is gone";
  } catch (const ScreenStreamError& error) {
    EXPECT_EQ(error, ScreenStreamError::startFailed(gone)) << error.localizedDescription();
  }

  // Back on the same display: the next request finds it and streams.
  server.restart();
  EXPECT_EQ(run(streamer->primaryDisplaySize()), (ScreenPixelSize{640, 480}));
  auto third = std::make_shared<Received>();
  run(streamer->start(smallConfiguration(), handlersFor(third, io)));
  ASSERT_TRUE(runUntil(io, [&] { return third->units.load() > 0 || !third->failures.empty(); }));
  EXPECT_TRUE(third->failures.empty());
  EXPECT_TRUE(run(streamer->isStreaming()));
  run(streamer->stop());
  testing::drain(io);
  EXPECT_EQ(second->units.load(), 0);
  EXPECT_TRUE(second->failures.empty());
}

}  // namespace
}  // namespace vantrel
