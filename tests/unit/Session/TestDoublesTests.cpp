#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/AsyncTest.hpp"
#include "support/FakeSessionCollaborators.hpp"

namespace vantrel {
namespace {

using namespace testing;

// The injector never reads the packet, so the test hands it storage of no particular layout.
const LegacyInputPacket& anyPacket() {
  alignas(16) static const unsigned char storage[32]{};
  return *reinterpret_cast<const LegacyInputPacket*>(storage);
}

TEST(FakeScreenStreamer, ScriptedAnswersAndDelivery) {
  asio::io_context io;
  FakeScreenStreamer streamer;
  streamer.setDisplaySize({2880, 1800});
  streamer.setDPIRate(200);
  EXPECT_EQ(runAwaitable(io, streamer.primaryDisplaySize()), (ScreenPixelSize{2880, 1800}));
  EXPECT_EQ(runAwaitable(io, streamer.primaryDisplayDPIRate()), 200);
  streamer.failDisplaySize(std::make_exception_ptr(ScreenStreamError::screenRecordingDenied()));
  EXPECT_THROW(runAwaitable(io, streamer.primaryDisplaySize()), ScreenStreamError);

  std::vector<EncodedScreenAccessUnit> units;
  std::vector<std::string> failures;
  ScreenStreamHandlers handlers{[&](EncodedScreenAccessUnit unit) { units.push_back(std::move(unit)); },
                                [&](std::string text) { failures.push_back(std::move(text)); }};
  EXPECT_FALSE(runAwaitable(io, streamer.deliver(FakeScreenStreamer::makeUnit(true, 4))));
  const ScreenStreamConfiguration config(2880, 1800, 1728, 1080, true, 30, std::nullopt, 60);
  runAwaitable(io, streamer.start(config, handlers));
  EXPECT_TRUE(runAwaitable(io, streamer.isStreaming()));
  EXPECT_TRUE(runAwaitable(io, streamer.deliver(FakeScreenStreamer::makeUnit(true, 4))));
  EXPECT_TRUE(runAwaitable(io, streamer.deliver(FakeScreenStreamer::makeUnit(false, 2))));
  runAwaitable(io, streamer.requestKeyframe());
  ASSERT_EQ(units.size(), 2u);
  EXPECT_TRUE(units[0].isKeyframe);
  // SPS, PPS, then the picture, each behind a 4-byte start code.
  EXPECT_EQ(units[0].byteCount(), 5 + 8 + 5 + 4 + 5 + 4);
  EXPECT_EQ((Bytes(units[0].annexBData.begin(), units[0].annexBData.begin() + 5)), (Bytes{0, 0, 0, 1, 0x67}));
  EXPECT_EQ((Bytes(units[1].annexBData.begin(), units[1].annexBData.begin() + 5)), (Bytes{0, 0, 0, 1, 0x41}));
  EXPECT_EQ(streamer.keyframeRequests(), 1);

  EXPECT_TRUE(runAwaitable(io, streamer.fail("encoder died")));
  EXPECT_EQ(failures, std::vector<std::string>{"encoder died"});
  EXPECT_FALSE(streamer.streaming());
  EXPECT_FALSE(runAwaitable(io, streamer.deliver(FakeScreenStreamer::makeUnit(false, 1))));

  streamer.failNextStart(std::make_exception_ptr(ScreenStreamError::noDisplay()));
  EXPECT_THROW(runAwaitable(io, streamer.start(config, handlers)), ScreenStreamError);
  EXPECT_FALSE(streamer.streaming());
  runAwaitable(io, streamer.start(config, handlers));
  runAwaitable(io, streamer.start(config, handlers));  // a restart stops first
  EXPECT_EQ(streamer.starts().size(), 4u);             // the refused start is recorded too
  EXPECT_EQ(streamer.stopCount(), 1);
  runAwaitable(io, streamer.stop());
  EXPECT_EQ(streamer.stopCount(), 2);
  EXPECT_EQ(units.size(), 2u);
}

TEST(FakeInputInjector, CountsAndScriptedErrors) {
  FakeInputInjector injector;
  injector.queueError(std::make_exception_ptr(RemoteInputInjectionError::accessibilityDenied()));
  EXPECT_THROW(injector.inject(anyPacket()), RemoteInputInjectionError);
  int observed = 0;
  injector.setObserver([&](const LegacyInputPacket&) { ++observed; });
  injector.inject(anyPacket());
  injector.inject(anyPacket());
  EXPECT_EQ(injector.attemptCount(), 3);
  EXPECT_EQ(injector.injectedCount(), 2);
  EXPECT_EQ(observed, 2);
}

TEST(FakeSystemCommandExecutor, RecordsAndFails) {
  FakeSystemCommandExecutor executor;
  executor.requestReboot();
  executor.failWith(std::make_exception_ptr(SystemCommandLaunchError("systemctl", 2)));
  EXPECT_THROW(executor.requestReboot(), SystemCommandLaunchError);
  EXPECT_EQ(executor.rebootRequests(), 2);
}

TEST(EventRecorder, SeesBothReceiversInOrder) {
  EventRecorder recorder;
  auto handler = recorder.handler();
  const auto a = DirectAuthEvent::now(DirectAuthEventKinds::AuthAccepted{});
  const auto b = DirectAuthEvent::now(DirectAuthEventKinds::Error{"x"});
  recorder.mirror(a);
  handler(a);
  recorder.mirror(b);
  handler(b);
  EXPECT_TRUE(recorder.mirrorPrecedesHandler());
  EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"Auth accepted", "Error: x"}));
  EXPECT_TRUE(recorder.containsMessage("Error: x"));
  EXPECT_EQ(recorder.mirroredOf<DirectAuthEventKinds::Error>().size(), 1u);
  EXPECT_EQ(recorder.handled().size(), 2u);

  // A handler call without the mirror first is noticed.
  handler(DirectAuthEvent::now(DirectAuthEventKinds::Disconnect{}));
  EXPECT_FALSE(recorder.mirrorPrecedesHandler());
  recorder.clear();
  EXPECT_TRUE(recorder.mirrorPrecedesHandler());
  EXPECT_TRUE(recorder.mirrored().empty());
}

}  // namespace
}  // namespace vantrel
