// The manager's screen requests served by a session over loopback TCP, with a scripted streamer
// and a manual clock: the reply bytes, the delayed start, restarts, stops and back-pressure.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "ConnectedSessionTest.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Support/Clock.hpp"
#include "Transport/DirectTCPTransport.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/SessionFileFixtures.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

namespace K = DirectAuthEventKinds;
namespace E = ManagerEnvelopes;
using Frame = ManagerWire::Frame;
using namespace std::chrono_literals;

void putInt32(Bytes& bytes, std::size_t offset, std::int64_t value) {
  const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes screenRequest(std::uint32_t kind, std::int32_t picWidth, std::int32_t picHeight, std::int32_t accel = 5,
                    std::int32_t cursor = 1) {
  return E::screenInfo(kind, 99, picWidth, picHeight, accel, cursor);
}

// The reply the agent must send for `request`, written field by field.
Bytes expectedInfoReply(Bytes request, std::int64_t displayWidth, std::int64_t displayHeight,
                        std::int64_t targetWidth, std::int64_t targetHeight, std::int64_t dpi) {
  putInt32(request, 228, 25);
  putInt32(request, 232, ConnectedSessionTest::sessionComNum);
  putInt32(request, 483, displayWidth);
  putInt32(request, 487, displayHeight);
  putInt32(request, 491, targetWidth);
  putInt32(request, 495, targetHeight);
  putInt32(request, 507, 3);
  putInt32(request, 511, 1);
  putInt32(request, 515, 0);
  putInt32(request, 519, dpi);
  return request;
}

// The decoder-reset notification for `request`: kind 25, the session's number, four zero sizes,
// version 3; everything else as the manager sent it.
Bytes expectedDecoderReset(Bytes request) {
  putInt32(request, 228, 25);
  putInt32(request, 232, ConnectedSessionTest::sessionComNum);
  for (std::size_t offset : {483u, 487u, 491u, 495u}) putInt32(request, offset, 0);
  putInt32(request, 507, 3);
  return request;
}

// One access unit as the manager reassembles it from command-4 frames.
struct ReceivedUnit {
  Bytes data;
  std::uint16_t timestamp = 0;
  bool isKeyframe() const { return data.size() > 4 && data[4] == 0x67; }
  // The fill byte of FakeScreenStreamer::makeUnit, used as the unit's id.
  std::uint8_t id() const { return data.back(); }
};

class SessionScreen : public ConnectedSessionTest {
 protected:
  SessionScreen() : ConnectedSessionTest(true) {}

  // Sends a screen request and waits until the session has handled it (its request event).
  void screen(const Bytes& envelope) {
    const auto before = session.countOf<K::ScreenRequest>();
    request(envelope);
    ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenRequest>() > before; }));
    drain(io);
  }

  // Sends a request without an answer and waits until it has been served (a GET_COMINFO after
  // it is answered only once the first is done).
  void settle(const Bytes& envelope) {
    const auto before = session.countOf<K::LegacyComInfoResponseSent>();
    request(envelope);
    request(E::nullDataClass(E::getComInfo, 0));
    ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::LegacyComInfoResponseSent>() > before; }));
  }

  // Moves the manual clock and lets the session act on it.
  void advance(VantrelClock::duration by) {
    clock->advance(by);
    drain(io);
  }

  // Advances past the start delay and waits for the stream to run.
  void startStream() {
    const auto before = session.streamer->starts().size();
    clock->advance(120ms);
    ASSERT_TRUE(session.waitFor([&] {
      return session.countOf<K::ScreenCaptureStarted>() > 0 && session.streamer->starts().size() > before &&
             session.streamer->streaming();
    }));
    drain(io);
  }

  void deliver(bool keyframe, std::size_t bytes, std::uint8_t id) {
    ASSERT_TRUE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(keyframe, bytes, id))));
    drain(io);
  }

  std::vector<Frame> replies() const {
    auto frames = manager.framesOf(0);
    return std::vector<Frame>(frames.begin() + static_cast<std::ptrdiff_t>(baseline), frames.end());
  }

  std::vector<Frame> basicReplies() const {
    std::vector<Frame> out;
    for (auto& frame : replies())
      if (frame.command == 1 && E::kindAt228(frame.payload) != 82u) out.push_back(frame);
    return out;
  }

  std::vector<ReceivedUnit> units() const {
    std::vector<ReceivedUnit> out;
    for (const auto& frame : replies()) {
      if (frame.command != 4) continue;
      if (frame.sequenceNumber == 0) out.push_back({{}, frame.timestamp});
      out.back().data.insert(out.back().data.end(), frame.payload.begin(), frame.payload.end());
    }
    return out;
  }

  bool waitForUnits(std::size_t count) {
    return session.waitFor([&] { return units().size() >= count; });
  }
};

// ---- the reply ----------------------------------------------------------------------------------

struct SizeCase {
  ScreenPixelSize display;
  std::int32_t picWidth, picHeight;
  std::int64_t targetWidth, targetHeight;
};

TEST_F(SessionScreen, ReplyBytesForRequestsInsideAndOutsideTheRange) {
  connect();
  const SizeCase cases[] = {
      {{2560, 1440}, 1600, 900, 1600, 900},    // inside: taken as asked
      {{2560, 1440}, 1601, 901, 1600, 900},    // odd sides rounded down
      {{2560, 1440}, 320, 180, 320, 180},      // the lower corner of the range
      {{2560, 1440}, 3840, 2160, 1920, 1080},  // the upper corner, limited to 1920 x 1080
      {{2560, 1440}, 5000, 900, 1920, 1080},   // width outside: aspect fit
      {{2560, 1440}, 319, 900, 1920, 1080},    // just below the range
      {{2560, 1440}, 1600, 2161, 1920, 1080},  // height just above the range
      {{1366, 768}, 3840, 2160, 1366, 768},    // never scaled up
      {{3000, 1000}, 0, 0, 1920, 640},         // aspect kept in the fit
      {{1000, 3000}, 1600, 900, 1000, 900},    // each side limited by itself in range
      {{0, 0}, 1600, 900, 1280, 720},          // no display size: the fallback
  };
  session.streamer->setDPIRate(150);
  std::size_t expectedReplies = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.display.width << "x" << c.display.height << " asks " << c.picWidth
                                      << "x" << c.picHeight);
    session.streamer->setDisplaySize(c.display);
    const Bytes envelope = screenRequest(21, c.picWidth, c.picHeight);
    screen(envelope);
    ++expectedReplies;
    ASSERT_TRUE(session.waitFor([&] { return basicReplies().size() >= expectedReplies; }));
    const auto reply = basicReplies().back();
    EXPECT_EQ(reply.comNum, sessionComNum);
    EXPECT_EQ(reply.payload, expectedInfoReply(envelope, c.display.width, c.display.height, c.targetWidth,
                                               c.targetHeight, 150));
    EXPECT_EQ(session.eventsOf<K::ScreenRequest>().back(),
              (K::ScreenRequest{c.display.width, c.display.height, c.targetWidth, c.targetHeight, true, 5,
                                sessionComNum}));
    EXPECT_EQ(session.eventsOf<K::ScreenInfoResponseSent>().back(),
              (K::ScreenInfoResponseSent{sessionComNum, 527, c.display.width, c.display.height, c.targetWidth,
                                         c.targetHeight}));
  }
  // No start yet: each request replaced the pending one.
  EXPECT_TRUE(session.streamer->starts().empty());
  startStream();
  ASSERT_EQ(session.streamer->starts().size(), 1u);
  EXPECT_EQ(session.streamer->starts()[0],
            ScreenStreamConfiguration(0, 0, 1280, 720, true, 30, 8'000'000, 60));
}

TEST_F(SessionScreen, GetScreenInfoStartsWithoutAReplyAndShortRecordsAreRefused) {
  connect();
  screen(screenRequest(25, 1600, 900, 3, 0));
  EXPECT_TRUE(basicReplies().empty());
  EXPECT_EQ(session.eventsOf<K::ScreenRequest>().back(),
            (K::ScreenRequest{1920, 1080, 1600, 900, false, 3, sessionComNum}));
  // A record too short to hold the numbers is no screen request.
  Bytes shortRequest = screenRequest(21, 1600, 900);
  shortRequest.resize(522);
  settle(shortRequest);
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>(),
            std::vector<K::ScreenStreamError>{{"GET_SCREEN payload failed ScreenInfo validation"}});
  EXPECT_TRUE(basicReplies().empty());
  startStream();
  ASSERT_EQ(session.streamer->starts().size(), 1u);
  EXPECT_EQ(session.streamer->starts()[0],
            ScreenStreamConfiguration(1920, 1080, 1600, 900, false, 30, 8'000'000, 60));
}

// ---- the delayed start --------------------------------------------------------------------------

TEST_F(SessionScreen, NoFrameBefore120Milliseconds) {
  connect();
  screen(screenRequest(21, 1600, 900));
  advance(119ms);
  EXPECT_TRUE(session.streamer->starts().empty());
  EXPECT_FALSE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 1))));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);  // watching holds the lease already
  clock->advance(1ms);
  ASSERT_TRUE(session.waitFor([&] { return session.streamer->streaming(); }));
  drain(io);
  EXPECT_EQ(session.eventsOf<K::ScreenCaptureStarted>(),
            (std::vector<K::ScreenCaptureStarted>{{1600, 900, 30}}));
  EXPECT_TRUE(units().empty());
  deliver(true, 100, 1);
  ASSERT_TRUE(waitForUnits(1));
  EXPECT_TRUE(units()[0].isKeyframe());
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);
}

TEST_F(SessionScreen, ThreeRequestsWithin120MillisecondsGiveOneStart) {
  connect();
  screen(screenRequest(25, 1600, 900));
  advance(50ms);
  screen(screenRequest(25, 1280, 720));
  advance(50ms);
  screen(screenRequest(25, 1024, 576));
  advance(119ms);  // 219 ms after the first, 119 ms after the last
  EXPECT_TRUE(session.streamer->starts().empty());
  startStream();
  advance(1s);
  ASSERT_EQ(session.streamer->starts().size(), 1u);
  EXPECT_EQ(session.streamer->starts()[0].targetWidth(), 1024);
  EXPECT_EQ(session.countOf<K::ScreenCaptureStarted>(), 1u);
  EXPECT_EQ(session.countOf<K::ScreenStopped>(), 0u);
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);
}

TEST_F(SessionScreen, RestartSendsTwoIdenticalDecoderResetsThenStartsAfresh) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  for (std::uint8_t id = 1; id <= 3; ++id) deliver(id == 1, 2000, id);
  ASSERT_TRUE(waitForUnits(3));
  const auto repliesBefore = basicReplies().size();
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);

  const Bytes change = screenRequest(25, 1280, 720);
  screen(change);
  EXPECT_EQ(basicReplies().size(), repliesBefore);  // nothing before the delay
  startStream();
  ASSERT_EQ(session.streamer->starts().size(), 2u);
  const auto resets = basicReplies();
  ASSERT_EQ(resets.size(), repliesBefore + 2);
  EXPECT_EQ(resets[repliesBefore].payload, expectedDecoderReset(change));
  EXPECT_EQ(resets[repliesBefore + 1].payload, resets[repliesBefore].payload);
  EXPECT_EQ(resets[repliesBefore].comNum, sessionComNum);
  EXPECT_NE(resets[repliesBefore].timestamp, resets[repliesBefore + 1].timestamp);
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>(),
            std::vector<K::ScreenStopped>{{"replaced by manager screen configuration"}});
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);

  // The new stream's frames follow the resets on the wire.
  deliver(true, 500, 9);
  ASSERT_TRUE(waitForUnits(4));
  const auto all = replies();
  std::size_t lastReset = 0, firstNewUnit = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].command == 1 && all[i].payload == resets[repliesBefore].payload) lastReset = i;
    if (all[i].command == 4 && all[i].payload.back() == 9 && firstNewUnit == 0) firstNewUnit = i;
  }
  EXPECT_LT(lastReset, firstNewUnit);
  // Statistics restart with the stream: the new stream's first frame is reported again.
  EXPECT_EQ(session.countOf<K::ScreenFirstEncodedFrame>(), 2u);
}

TEST_F(SessionScreen, KeyframeFirstAfterEveryStartAndLateUnitsOfAnOldStartAreDropped) {
  connect();
  for (int start = 0; start < 3; ++start) {
    SCOPED_TRACE(start);
    screen(screenRequest(25, 1600, 900));
    startStream();
    const auto before = units().size();
    // A unit the previous encoder finished after its stream was replaced never goes out.
    if (start > 0) {
      EXPECT_TRUE(session.run(session.streamer->deliverLate(static_cast<std::size_t>(start - 1),
                                                            FakeScreenStreamer::makeUnit(false, 300, 0xEE))));
      drain(io);
      EXPECT_EQ(units().size(), before);
    }
    deliver(true, 3000, static_cast<std::uint8_t>(10 * start + 1));
    deliver(false, 300, static_cast<std::uint8_t>(10 * start + 2));
    ASSERT_TRUE(waitForUnits(before + 2));
    const auto all = units();
    EXPECT_TRUE(all[before].isKeyframe());
    EXPECT_EQ(all[before].id(), 10 * start + 1);
    EXPECT_EQ(all[before + 1].id(), 10 * start + 2);
  }
  for (const auto& unit : units()) EXPECT_NE(unit.id(), 0xEE);
  // First-frame events: one per start, each a keyframe.
  const auto firsts = session.eventsOf<K::ScreenFirstEncodedFrame>();
  ASSERT_EQ(firsts.size(), 3u);
  for (const auto& first : firsts) EXPECT_TRUE(first.isKeyframe);
}

TEST_F(SessionScreen, UnitsAreCutIntoCommand4FramesUnderOneTimestamp) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  const auto unit = FakeScreenStreamer::makeUnit(true, 130'000, 0x42);
  ASSERT_TRUE(session.run(session.streamer->deliver(unit)));
  ASSERT_TRUE(waitForUnits(1));
  ASSERT_TRUE(session.waitFor([&] { return units()[0].data.size() == unit.annexBData.size(); }));
  std::vector<Frame> frames;
  for (const auto& frame : replies())
    if (frame.command == 4) frames.push_back(frame);
  ASSERT_EQ(frames.size(), 3u);  // 130,027 bytes: 60,000 + 60,000 + 10,027
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].sequenceNumber, i);
    EXPECT_EQ(frames[i].numChunks, 3);
    EXPECT_EQ(frames[i].timestamp, frames[0].timestamp);
    EXPECT_EQ(frames[i].comNum, sessionComNum);
  }
  EXPECT_EQ(units()[0].data, unit.annexBData);
  EXPECT_EQ(session.eventsOf<K::ScreenFirstEncodedFrame>(),
            (std::vector<K::ScreenFirstEncodedFrame>{{130'027, 3, true}}));
}

TEST_F(SessionScreen, StatisticsEveryThirtySentFrames) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  for (int i = 1; i <= 29; ++i) deliver(i == 1, 10, static_cast<std::uint8_t>(i));
  ASSERT_TRUE(waitForUnits(29));
  drain(io);
  EXPECT_EQ(session.countOf<K::ScreenFrameStats>(), 0u);
  deliver(false, 10, 30);
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenFrameStats>() == 1; }));
  // 29 units of 5 + 10 bytes and one keyframe of 5 + 10 bytes plus 22 bytes of parameter sets.
  EXPECT_EQ(session.eventsOf<K::ScreenFrameStats>()[0], (K::ScreenFrameStats{30, 30 * 15 + 22, 1}));
  for (int i = 31; i <= 60; ++i) deliver(false, 10, static_cast<std::uint8_t>(i));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenFrameStats>() == 2; }));
  EXPECT_EQ(session.eventsOf<K::ScreenFrameStats>()[1].framesSent, 60);
}

TEST_F(SessionScreen, KeyframeRequestsReachTheStreamerOnlyWhileStreaming) {
  connect();
  settle(E::nullDataClass(E::frameControl2A, 99));
  EXPECT_EQ(session.streamer->keyframeRequests(), 0);
  screen(screenRequest(21, 1600, 900));
  startStream();
  settle(E::nullDataClass(E::frameControl2A, 99));
  EXPECT_EQ(session.streamer->keyframeRequests(), 1);
}

// ---- stopping -----------------------------------------------------------------------------------

class SessionScreenStop : public SessionScreen, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(SessionScreenStop, StopsTheStreamAndReleasesTheLease) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  deliver(true, 100, 1);
  ASSERT_TRUE(waitForUnits(1));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);
  settle(E::nullDataClass(GetParam(), 99));
  EXPECT_FALSE(session.streamer->streaming());
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>(), std::vector<K::ScreenStopped>{{"manager GET_SCREEN_END"}});
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  EXPECT_FALSE(session.run(session.streamer->deliver(FakeScreenStreamer::makeUnit(true, 100, 2))));
  EXPECT_TRUE(session.run(session.streamer->deliverLate(0, FakeScreenStreamer::makeUnit(true, 100, 3))));
  advance(1s);
  EXPECT_EQ(units().size(), 1u);

  // A stop while only watching (the start still pending) releases the lease without an event
  // and the start never happens.
  screen(screenRequest(21, 1600, 900));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);
  settle(E::nullDataClass(GetParam(), 99));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  advance(1s);
  EXPECT_EQ(session.streamer->starts().size(), 1u);
  EXPECT_EQ(session.countOf<K::ScreenStopped>(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EndAndEndKeyCheck, SessionScreenStop, ::testing::Values(24u, 29u));

TEST_F(SessionScreen, DisconnectStopsTheStreamAndReleasesTheLease) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  session.run(session.client->disconnect());
  EXPECT_FALSE(session.streamer->streaming());
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>(), std::vector<K::ScreenStopped>{{"disconnect"}});
}

// ---- failures -----------------------------------------------------------------------------------

TEST_F(SessionScreen, DisplayFailuresStopWithoutAStoppedEvent) {
  connect();
  session.streamer->failDisplaySize(std::make_exception_ptr(ScreenStreamError::screenRecordingDenied()));
  settle(screenRequest(21, 1600, 900));
  EXPECT_EQ(session.eventsOf<K::ScreenPermissionDenied>(),
            std::vector<K::ScreenPermissionDenied>{{"Screen Recording permission is not granted."}});
  session.streamer->failDisplaySize(std::make_exception_ptr(ScreenStreamError::noDisplay()));
  settle(screenRequest(21, 1600, 900));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>(),
            std::vector<K::ScreenStreamError>{
                {"Primary display size unavailable: No shareable display is available for capture."}});
  EXPECT_EQ(session.countOf<K::ScreenStopped>(), 0u);
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  EXPECT_TRUE(basicReplies().empty());
  advance(1s);
  EXPECT_TRUE(session.streamer->starts().empty());
}

TEST_F(SessionScreen, FailedStartsReleaseTheLease) {
  connect();
  session.streamer->failNextStart(std::make_exception_ptr(ScreenStreamError::startFailed("encoder")));
  screen(screenRequest(21, 1600, 900));
  clock->advance(120ms);
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStreamError>() == 1; }));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>()[0].text, "Screen stream start failed: encoder");
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  session.streamer->failNextStart(std::make_exception_ptr(ScreenStreamError::screenRecordingDenied()));
  screen(screenRequest(21, 1600, 900));
  clock->advance(120ms);
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenPermissionDenied>() == 1; }));
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  EXPECT_EQ(session.countOf<K::ScreenCaptureStarted>(), 0u);
  EXPECT_EQ(session.countOf<K::ScreenStopped>(), 0u);
}

TEST_F(SessionScreen, StreamerFailureStopsWithItsMessage) {
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  ASSERT_TRUE(session.run(session.streamer->fail("Screen encode failed: x")));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ScreenStopped>() == 1; }));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>().back().text, "Screen encode failed: x");
  EXPECT_EQ(session.eventsOf<K::ScreenStopped>()[0].reason, "Screen encode failed: x");
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 0);
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(SessionScreen, UpdateInProgressRefusesTheRequest) {
  connect();
  ASSERT_TRUE(session.gate->reserveInstallationIfIdle(Uuid::random(), 0));
  settle(screenRequest(21, 1600, 900));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>(),
            std::vector<K::ScreenStreamError>{{"Update installation in progress"}});
  EXPECT_EQ(session.countOf<K::ScreenRequest>(), 0u);
  EXPECT_TRUE(basicReplies().empty());
  session.gate->cancelInstallation(std::nullopt);
}

// ---- back-pressure ------------------------------------------------------------------------------

TEST_F(SessionScreen, SlowManagerNeverMakesTheAgentBufferMoreThanOneWaitingUnit) {
  manager.setReceiveBufferSize(64 * 1024);
  drain(io);
  connect();
  screen(screenRequest(21, 1600, 900));
  startStream();
  manager.pauseReading(true);
  drain(io);
  // 48 units of 256 KiB: far more than the two sockets' buffers hold together.
  constexpr int unitCount = 48;
  for (int id = 1; id <= unitCount; ++id) deliver(id == 1, 256u * 1024, static_cast<std::uint8_t>(id));
  manager.pauseReading(false);
  ASSERT_TRUE(session.waitFor([&] {
    const auto all = units();
    return !all.empty() && all.back().id() == unitCount && all.back().data.size() > 256u * 1024;
  }));
  drain(io);
  const auto all = units();
  // What went out: every unit until the connection backed up (the last of them was in flight),
  // then only the newest — the one unit that was waiting. Nothing else was held.
  ASSERT_LT(all.size(), static_cast<std::size_t>(unitCount));
  for (std::size_t i = 0; i + 1 < all.size(); ++i) EXPECT_EQ(all[i].id(), i + 1);
  EXPECT_EQ(all.back().id(), unitCount);
  EXPECT_TRUE(all.front().isKeyframe());
  for (const auto& unit : all) EXPECT_EQ(unit.data.size(), 256u * 1024 + (unit.isKeyframe() ? 27 : 5));
}

// ---- everything over one connection -------------------------------------------------------------

TEST_F(SessionScreen, ScreenFilesAndListingOverOneConnectionInTheManagersOrder) {
  namespace fs = std::filesystem;
  TemporaryDirectory dir;
  const auto inbox = dir.path() / "inbox";
  fs::create_directory(inbox);
  const auto upload = dir.path() / "report.bin";
  const Bytes uploadBytes = patternBytes(150'000, 21);
  writeFile(upload, uploadBytes);
  const Bytes downloadBytes = patternBytes(130'000, 22);
  connect();
  session.run(session.client->notifyLocalClipboardFiles({"file://" + upload.string()}));
  drain(io);
  baseline = manager.framesOf(0).size();

  // The manager's requests, written back to back: screen, a file to the Mac, the paste request
  // that sends the Mac's file, a listing of the folder the first file went to.
  const Bytes getScreen = screenRequest(21, 1600, 900);
  request(getScreen);
  LegacyFileMetadata record;
  record.total = 1;
  record.fileSize = static_cast<std::int64_t>(downloadBytes.size());
  record.filename = "from-manager.bin";
  record.destinationFolder = inbox.string();
  manager.send(ManagerWire::frame(10, *record.encode(), nextTimestamp++, 99));
  manager.send(ManagerWire::message(12, downloadBytes, nextTimestamp++, 99));
  manager.send(ManagerWire::frame(15, Bytes{0x31}, nextTimestamp++, 99));
  request(E::currentFolder(99, "C:\\Drop", ""));
  request(E::string(E::getSingleFiles, 99, inbox.string()));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::SingleFileListSent>() == 1; }));
  drain(io);

  // The stream starts 120 ms after its request, whatever was served meanwhile.
  EXPECT_TRUE(session.streamer->starts().empty());
  startStream();
  deliver(true, 70'000, 0x5A);
  ASSERT_TRUE(session.waitFor([&] { return !units().empty() && units()[0].data.size() == 70'027; }));

  EXPECT_EQ(readFile(inbox / "from-manager.bin"), downloadBytes);
  // The agent's frames, in the order of the manager's requests.
  std::vector<std::string> order;
  Bytes uploaded;
  std::optional<LegacyFileMetadata> uploadRecord;
  for (const auto& frame : replies()) {
    std::string step;
    if (frame.command == 1 && frame.sequenceNumber == 0) {
      const auto kind = E::kindAt228(frame.payload);
      if (kind == 25u) step = "screen reply";
      if (kind == 128u) step = "listing";
    } else if (frame.command == 10) {
      step = "upload";
      uploadRecord = LegacyFileMetadata::decode(frame.payload);
    } else if (frame.command == 12) {
      uploaded.insert(uploaded.end(), frame.payload.begin(), frame.payload.end());
    } else if (frame.command == 15) {
      step = "upload end";
    } else if (frame.command == 4 && frame.sequenceNumber == 0) {
      step = "screen frame";
    }
    if (!step.empty()) order.push_back(step);
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{"screen reply", "upload", "upload end", "listing", "screen frame"}));
  EXPECT_EQ(uploaded, uploadBytes);
  ASSERT_TRUE(uploadRecord.has_value());
  EXPECT_EQ(uploadRecord->filename, "report.bin");
  EXPECT_EQ(uploadRecord->destinationFolder, "C:\\Drop");
  EXPECT_EQ(units()[0].data, FakeScreenStreamer::makeUnit(true, 70'000, 0x5A).annexBData);

  // The listing shows the file that arrived before it was asked for.
  std::optional<std::string> listingText;
  for (const auto& message : ManagerWire::joinMessages(replies())) {
    if (E::kindAt228(message) == 128u)
      listingText = LegacyClipboardCodec::decodeStringDataClass(message, 128);
  }
  ASSERT_TRUE(listingText.has_value());
  const auto listing = nlohmann::json::parse(*listingText);
  ASSERT_EQ(listing["entries"].size(), 1u);
  EXPECT_EQ(listing["entries"][0]["name"], "from-manager.bin");
  EXPECT_EQ(listing["entries"][0]["size"], 130'000);

  // The session's own account, in the same order.
  std::vector<std::size_t> kinds;
  for (const auto& event : session.events->mirrored()) {
    const auto index = event.kind.index();
    if (index == DirectAuthEvent::Kind(K::ScreenInfoResponseSent{}).index() ||
        index == DirectAuthEvent::Kind(K::FileTransferCompleted{}).index() ||
        index == DirectAuthEvent::Kind(K::SingleFileListSent{}).index() ||
        index == DirectAuthEvent::Kind(K::ScreenCaptureStarted{}).index() ||
        index == DirectAuthEvent::Kind(K::ScreenFirstEncodedFrame{}).index()) {
      kinds.push_back(index);
    }
  }
  EXPECT_EQ(kinds,
            (kindIndices<K::ScreenInfoResponseSent, K::FileTransferCompleted, K::FileTransferCompleted,
                         K::SingleFileListSent, K::ScreenCaptureStarted, K::ScreenFirstEncodedFrame>()));
  EXPECT_EQ(session.countOf<K::FileTransferFailed>(), 0u);
  EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
  EXPECT_EQ(session.gate->snapshot().screenSessions(), 1);
}

}  // namespace
}  // namespace vantrel::testing
