// The screen path's failures, over a scripted transport and a manual clock: failed replies,
// failed decoder resets, failed packet sends, results that arrive after a stop and starts that
// return after a newer request.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Support/Clock.hpp"
#include "support/FakeTransport.hpp"
#include "support/ManagerWire.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

namespace K = DirectAuthEventKinds;
namespace E = ManagerEnvelopes;
using namespace std::chrono_literals;

Bytes accept() { return ManagerWire::frame(8, Bytes{'1'}); }

class ScreenFailures : public ::testing::Test {
 protected:
  ScreenFailures() : transport(std::make_shared<FakeTransport>(io.get_executor())), session(io, transport) {}

  ~ScreenFailures() override {
    transport->failSends(nullptr);
    transport->releaseAllSends();
    try {
      session.run(session.client->disconnect());
    } catch (...) {
    }
    drain(io);
  }

  void connect() {
    transport->queueReceive(accept());
    session.run(session.client->connectAndAuthenticate(SessionHarness::config(65333, 7)));
    ASSERT_EQ(session.state(), DirectAuthState::authenticated);
  }

  void request(const Bytes& envelope) { transport->queueReceive(ManagerWire::frame(1, envelope, 1, 99)); }

  void startStream() {
    request(E::screenInfo(21, 99, 1600, 900));
    ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenInfoResponseSent>() == 1; }));
    clock.advance(120ms);
    ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenCaptureStarted>() == 1; }));
  }

  std::size_t screenFramesSent() {
    std::size_t count = 0;
    Bytes all = transport->sentConcatenated();
    if (auto frames = ManagerWire::takeFrames(all)) {
      for (const auto& frame : *frames)
        if (frame.command == 4) ++count;
    }
    return count;
  }

  ManualClock clock;
  asio::io_context io;
  TemporaryHome home;
  std::shared_ptr<FakeTransport> transport;
  SessionHarness session;
};

TEST_F(ScreenFailures, FailedReplyFailsTheSessionAndReleasesTheLease) {
  connect();
  const auto error = NetworkTransportError::sendFailed("broken pipe");
  transport->failSends(std::make_exception_ptr(error));
  request(E::screenInfo(21, 99, 1600, 900));
  ASSERT_TRUE(session.waitFor([&] { return session.state() == DirectAuthState::failed; }));
  const std::string detail = transportDetail(std::make_exception_ptr(error));
  ASSERT_GE(session.countOf<K::ScreenStreamError>(), 1u);
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>()[0].text, "GET_SCREEN_INFO send failed: " + detail);
  EXPECT_EQ(session.lastError(), DirectAuthError::transport(detail));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  clock.advance(1s);
  drain(io);
  EXPECT_TRUE(session.streamer->starts().empty());
}

TEST_F(ScreenFailures, FailedDecoderResetFailsTheSessionWithoutARestart) {
  connect();
  startStream();
  const auto error = NetworkTransportError::sendFailed("reset by peer");
  transport->failSends(std::make_exception_ptr(error));
  request(E::screenInfo(25, 99, 1280, 720));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenRequest>() == 2; }));
  clock.advance(120ms);
  ASSERT_TRUE(session.waitFor([&] { return session.state() == DirectAuthState::failed; }));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>()[0].text,
            "Decoder reset notification failed: " + transportDetail(std::make_exception_ptr(error)));
  EXPECT_EQ(session.streamer->starts().size(), 1u);
  EXPECT_FALSE(session.streamer->streaming());
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
}

TEST_F(ScreenFailures, LostConnectionOnAFrameStopsTheStreamAndFailsTheSession) {
  connect();
  startStream();
  const auto error = NetworkTransportError::disconnected();
  transport->failSends(std::make_exception_ptr(error));
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  ASSERT_TRUE(session.waitFor([&] { return session.state() == DirectAuthState::failed; }));
  const auto errors = session.eventsOf<K::ScreenStreamError>();
  ASSERT_GE(errors.size(), 1u);
  EXPECT_EQ(errors[0].text.rfind("Screen frame send failed: ", 0), 0u);
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>()[0].reason, "send failure");
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
}

TEST_F(ScreenFailures, OtherSendFailureStopsTheStreamButKeepsTheSession) {
  connect();
  startStream();
  transport->failSends(std::make_exception_ptr(NetworkTransportError::sendFailed("no buffer space")));
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStopped>() == 1; }));
  drain(io);
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>()[0].reason, "send failure");
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  EXPECT_FALSE(session.streamer->streaming());
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
}

TEST_F(ScreenFailures, ResultOfAFrameSentAfterTheStopIsIgnored) {
  connect();
  startStream();
  transport->holdSends(true);
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  ASSERT_TRUE(session.waitFor([&] { return transport->heldSendCount() == 1; }));
  // A second unit waits in the sender; the stop drops it.
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(false, 100, 2))));
  drain(io);
  request(E::nullDataClass(E::getScreenEnd, 99));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStopped>() == 1; }));
  transport->holdSends(false);
  transport->releaseAllSends();
  drain(io);
  EXPECT_EQ(screenFramesSent(), 1u);  // the one in flight; the waiting one never went out
  EXPECT_EQ(session.countOf<K::ScreenFirstEncodedFrame>(), 0u);
  EXPECT_EQ(session.countOf<K::ScreenFrameStats>(), 0u);
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(ScreenFailures, AStartOvertakenByANewerOneLeavesItAlone) {
  // A streamer that needs 200 ms to start: the newer request's start begins while the older
  // start is still waiting for the streamer.
  connect();
  session.streamer->setStartDelay(200ms);
  const auto screenLeases = [&] { return session.gate->snapshot().screenSessions(); };
  request(E::screenInfo(21, 99, 1600, 900));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenInfoResponseSent>() == 1; }));
  clock.advance(120ms);  // the first start begins (its own lease beside the session's) …
  ASSERT_TRUE(session.waitFor([&] { return session.streamer->startCalls() == 1; }));
  drain(io);
  EXPECT_EQ(screenLeases(), 2);
  clock.advance(10ms);
  request(E::screenInfo(25, 99, 1280, 720));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenRequest>() == 2; }));
  clock.advance(120ms);  // … the second begins at 250 ms, while the first still waits
  ASSERT_TRUE(session.waitFor([&] { return session.streamer->startCalls() == 2; }));
  drain(io);
  EXPECT_EQ(screenLeases(), 3);
  clock.advance(70ms);  // 320 ms: the first start returns, overtaken
  ASSERT_TRUE(session.waitFor([&] { return session.streamer->starts().size() == 1 && screenLeases() == 2; }));
  drain(io);
  EXPECT_EQ(session.countOf<K::ScreenCaptureStarted>(), 0u);
  clock.advance(130ms);  // 450 ms: the second start returns
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenCaptureStarted>() == 1; }));
  drain(io);
  EXPECT_EQ(session.eventsOf<K::ScreenCaptureStarted>()[0], (K::ScreenCaptureStarted{1280, 720, 30}));
  // The second start replaced the first, which had marked the stream active.
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>(),
            std::vector<K::ScreenStopped>{{"replaced by manager screen configuration"}});
  EXPECT_EQ(screenLeases(), 1);
  ASSERT_TRUE(session.streamer->streaming());
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  ASSERT_TRUE(session.waitFor([&] { return screenFramesSent() == 1; }));
}

// A start still waiting for the streamer when the manager ends the stream and asks again. It
// returns while the newer start waits out the restart delay (50 ms) or while the newer start
// itself waits for the streamer (200 ms), having started or failed; either way the newer stream
// must come up and stay, with its lease.
struct StaleStartCase {
  std::chrono::milliseconds streamerStartTime;
  bool staleStartFails = false;
};

class StaleScreenStart : public ScreenFailures, public ::testing::WithParamInterface<StaleStartCase> {};

TEST_P(StaleScreenStart, LeavesTheNewerStreamAndItsLeaseAlone) {
  const auto [startTime, staleFails] = GetParam();
  connect();
  session.streamer->setStartDelay(startTime);
  if (staleFails)
    session.streamer->failNextStart(std::make_exception_ptr(ScreenStreamError::startFailed("encoder")));
  const auto screenLeases = [&] { return session.gate->snapshot().screenSessions(); };
  request(E::screenInfo(21, 99, 1600, 900));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenInfoResponseSent>() == 1; }));
  clock.advance(120ms);
  ASSERT_TRUE(session.waitFor([&] { return session.streamer->startCalls() == 1; }));
  clock.advance(10ms);
  request(E::nullDataClass(E::getScreenEnd, 99));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStopped>() == 1; }));
  request(E::screenInfo(21, 99, 1280, 720));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenInfoResponseSent>() == 2; }));
  // 130 ms: the stale start returns at 120 ms + its time; the newer one begins at 250 ms and
  // returns after the same time. Each moment is reached in turn on the manual clock.
  struct Moment {
    std::chrono::milliseconds at;
    std::function<bool()> reached;
  };
  std::vector<Moment> moments{{120ms + startTime, [&] { return session.streamer->starts().size() == 1; }},
                              {250ms, [&] { return session.streamer->startCalls() == 2; }},
                              {250ms + startTime, [&] { return session.streamer->starts().size() == 2; }}};
  std::ranges::sort(moments, {}, &Moment::at);
  auto now = 130ms;
  for (const auto& moment : moments) {
    clock.advance(moment.at - now);
    now = moment.at;
    ASSERT_TRUE(session.waitFor(moment.reached)) << "at " << now.count() << " ms";
    drain(io);
  }

  EXPECT_EQ(session.streamer->startCalls(), 2);
  const std::vector<K::ScreenCaptureStarted> started{{1280, 720, 30}};
  EXPECT_EQ(session.eventsOf<K::ScreenCaptureStarted>(), started);
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>(), std::vector<K::ScreenStopped>{{"manager GET_SCREEN_END"}});
  EXPECT_EQ(session.countOf<K::ScreenStreamError>(), staleFails ? 1u : 0u);
  EXPECT_EQ(screenLeases(), 1);
  ASSERT_TRUE(session.streamer->streaming());
  ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  ASSERT_TRUE(session.waitFor([&] { return screenFramesSent() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(BeforeOrWhileTheNewerStarts, StaleScreenStart,
                         ::testing::Values(StaleStartCase{50ms}, StaleStartCase{200ms},
                                           StaleStartCase{50ms, true}, StaleStartCase{200ms, true}),
                         [](const ::testing::TestParamInfo<StaleStartCase>& info) {
                           return std::to_string(info.param.streamerStartTime.count()) + "ms" +
                                  (info.param.staleStartFails ? "Failing" : "Starting");
                         });

TEST_F(ScreenFailures, UnitsAfterTheSessionEndedAreDropped) {
  connect();
  startStream();
  session.run(session.client->disconnect());
  EXPECT_TRUE(session.run(session.streamer->deliverLate(0, FakeScreenStreamer::makeUnit(true, 100, 1))));
  drain(io);
  EXPECT_EQ(screenFramesSent(), 0u);
}

TEST_F(ScreenFailures, RequestWhileTheDisplayIsGoneEndsAsAStreamErrorAndALaterOneStreams) {
  connect();
  const auto gone =
      ScreenStreamError::startFailed("The X display :9 cannot be reached: no X server answers there.");
  session.streamer->failDisplaySize(std::make_exception_ptr(gone));
  request(E::screenInfo(21, 99, 1600, 900));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStreamError>() == 1; }));
  EXPECT_EQ(
      session.eventsOf<K::ScreenStreamError>()[0].text,
      "Primary display size unavailable: Screen stream start failed: The X display :9 cannot be reached: "
      "no X server answers there.");
  EXPECT_EQ(session.countOf<K::ScreenPermissionDenied>(), 0u);
  EXPECT_EQ(session.countOf<K::ScreenInfoResponseSent>(), 0u);
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  clock.advance(1s);
  drain(io);
  EXPECT_EQ(session.streamer->startCalls(), 0);

  // The display is back: the next request is answered and streams.
  session.streamer->failDisplaySize(nullptr);
  startStream();
  EXPECT_EQ(session.streamer->startCalls(), 1);
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

}  // namespace
}  // namespace vantrel::testing
