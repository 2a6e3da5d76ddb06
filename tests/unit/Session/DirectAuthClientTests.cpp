// The manager session over a scripted in-memory transport: the phases of a connection attempt,
// the receive loop's ownership, input, the development channel, payload framing and limits.

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>

#include "AIChannel/AIWire.hpp"
#include "Protocol/LegacyFileTransfer.hpp"
#include "Session/IncomingFileReceiver.hpp"
#include "Session/ManagerMessageJoiner.hpp"
#include "Session/OutgoingFileTransfer.hpp"
#include "support/FakeTransport.hpp"
#include "support/ManagerWire.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

namespace K = DirectAuthEventKinds;
namespace E = ManagerEnvelopes;

Bytes accept() { return ManagerWire::frame(8, Bytes{'1'}); }

Bytes inputPacket(std::uint8_t mode, std::int32_t x = 10, std::int32_t y = 20) {
  Bytes p{50, 0, 0, 0, 50, mode, 0, 0};
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>((x >> (8 * i)) & 0xFF));
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>((y >> (8 * i)) & 0xFF));
  p.insert(p.end(), {0, 0, 0, 0});
  return p;
}

class FakeSession : public ::testing::Test {
 protected:
  FakeSession() : FakeSession(nullptr) {}
  explicit FakeSession(std::shared_ptr<AISecureSessionController> secure)
      : transport(std::make_shared<FakeTransport>(io.get_executor())),
        session(io, transport, std::move(secure)) {}

  ~FakeSession() override {
    try {
      session.run(session.client->disconnect());
    } catch (...) {
    }
    drain(io);
  }

  DirectAuthConfiguration config(std::uint16_t comNum = 7) { return SessionHarness::config(65333, comNum); }

  void connect() {
    transport->queueReceive(accept());
    session.run(session.client->connectAndAuthenticate(config()));
    ASSERT_EQ(session.state(), DirectAuthState::authenticated);
    baseline = transport->sent().size();
  }

  // Every frame the session sent after registration, parsed by hand.
  std::vector<ManagerWire::Frame> sentFrames() {
    auto sends = transport->sent();
    Bytes all;
    for (std::size_t i = baseline; i < sends.size(); ++i) append(all, sends[i]);
    auto frames = ManagerWire::takeFrames(all);
    EXPECT_TRUE(frames);
    EXPECT_TRUE(all.empty());
    return frames ? *frames : std::vector<ManagerWire::Frame>{};
  }

  template <typename Kind>
  bool waitForEvents(std::size_t count) {
    return session.waitFor([&] { return session.countOf<Kind>() >= count; });
  }

  // Queues a request followed by a GET_COMINFO and waits for the latter's reply: the first has
  // then been served completely.
  void serve(const Bytes& wire) {
    const auto before = session.countOf<K::LegacyComInfoResponseSent>();
    transport->queueReceive(wire);
    transport->queueReceive(ManagerWire::frame(1, E::nullDataClass(E::getComInfo, 0)));
    ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(before + 1));
  }

  asio::io_context io;
  TemporaryHome home;
  std::shared_ptr<FakeTransport> transport;
  SessionHarness session;
  std::size_t baseline = 0;
};

// ---- object -------------------------------------------------------------------------------------

TEST_F(FakeSession, NewSessionIsIdleAndDisconnectOnlyClosesTheTransport) {
  EXPECT_EQ(session.state(), DirectAuthState::idle);
  EXPECT_FALSE(session.lastError());
  EXPECT_EQ(session.run(session.client->currentMCPStatus()), "mcp_manager_not_connected");
  session.run(session.client->disconnect());
  EXPECT_EQ(transport->disconnectCount(), 1);
  EXPECT_EQ(session.state(), DirectAuthState::idle);
  EXPECT_TRUE(session.events->mirrored().empty());
  EXPECT_EQ(transport->connectCount(), 0);
}

// The events carry the date of the clock the session was given, not the machine's.
TEST(SessionWallClock, EventsAreStampedByTheGivenClock) {
  asio::io_context io;
  const auto fixed = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
  auto transport = std::make_shared<FakeTransport>(io.get_executor());
  SessionHarness session(io, transport, nullptr, {}, [fixed] { return fixed; });
  transport->queueReceive(accept());
  session.run(session.client->connectAndAuthenticate(SessionHarness::config(65333)));
  const auto events = session.events->mirrored();
  ASSERT_GE(events.size(), 3u);
  for (const auto& event : events) EXPECT_EQ(event.timestamp, fixed) << event.message();
  session.run(session.client->disconnect());
  drain(io);
}

TEST_F(FakeSession, InvalidConfigurationsChangeNothing) {
  struct Case {
    DirectAuthConfiguration configuration;
    DirectAuthError expected;
  };
  const std::vector<Case> cases{
      {{" \n", 1, "a", 0, std::chrono::nanoseconds(1)}, DirectAuthError::invalidHost()},
      {{"h", 0, "a", 0, std::chrono::nanoseconds(1)}, DirectAuthError::invalidPort(0)},
      {{"h", 1, "", 0, std::chrono::nanoseconds(1)}, DirectAuthError::invalidUserID()},
      {{"h", 1, "ü", 0, std::chrono::nanoseconds(1)}, DirectAuthError::nonASCIIUserID()},
  };
  for (const auto& c : cases) {
    try {
      session.run(session.client->connectAndAuthenticate(c.configuration));
      ADD_FAILURE() << "expected " << c.expected.localizedDescription();
    } catch (const DirectAuthError& e) {
      EXPECT_EQ(e, c.expected);
    }
  }
  EXPECT_EQ(session.state(), DirectAuthState::idle);
  EXPECT_TRUE(session.events->mirrored().empty());
  EXPECT_EQ(transport->connectCount(), 0);
}

TEST_F(FakeSession, EventsAndClipboardValuesArePostedToTheReceiversExecutor) {
  // The application's executor is another context: nothing of it runs on the session's strand.
  asio::io_context application;
  std::vector<std::size_t> handled;
  std::vector<LegacyClipboardValue> values;
  session.run(session.client->setEventHandler(application.get_executor(), [&](const DirectAuthEvent& event) {
    handled.push_back(event.kind.index());
  }));
  session.run(session.client->setClipboardHandler(
      application.get_executor(), [&](const LegacyClipboardValue& v) { values.push_back(v); }));
  connect();
  transport->queueReceive(ManagerWire::frame(1, E::string(E::clipboardText, 7, "hi"), 0, 7));
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::ClipboardReceived>() == 1; }));
  EXPECT_TRUE(handled.empty());
  EXPECT_TRUE(values.empty());
  application.run();
  EXPECT_EQ(handled, session.eventKinds());  // all of them, in order
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].textValue(), "hi");

  // Without a handler the log still sees every event.
  session.run(session.client->setEventHandler(application.get_executor(), nullptr));
  session.run(session.client->reportClipboardBridgeFailure("x"));
  application.restart();
  application.run();
  EXPECT_EQ(handled.size() + 1, session.eventKinds().size());
  // The receiver's context must outlive what is bound to it.
  session.run(session.client->setClipboardHandler(application.get_executor(), nullptr));
}

TEST_F(FakeSession, StatusOfTheDevelopmentChannel) {
  connect();
  // The default configuration keeps the channel disabled.
  EXPECT_EQ(session.run(session.client->currentMCPStatus()), "mcp_disabled");
}

// ---- connection attempt -------------------------------------------------------------------------

TEST_F(FakeSession, DisconnectWhileConnectingEndsDisconnected) {
  transport->setConnectHangs(true);
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(session.waitFor([&] { return transport->connectCount() == 1; }));
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::connecting);
  session.run(session.client->disconnect());
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));
  try {
    std::rethrow_exception(probe.error());
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::cancelled());
  }
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::disconnected);
  EXPECT_EQ(session.eventKinds(), (kindIndices<K::TcpConnectAttempt, K::Disconnect>()));
  EXPECT_FALSE(session.lastError());
}

TEST_F(FakeSession, DisconnectWhileRegistrationIsSentNeverReportsSuccess) {
  transport->queueReceive(accept());
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(waitForEvents<K::AuthAccepted>(1));
  transport->holdSends(true);
  ASSERT_TRUE(session.waitFor([&] { return transport->heldSendCount() == 1; }));
  session.run(session.client->disconnect());
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));
  ASSERT_TRUE(probe.error());
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::disconnected);
  EXPECT_EQ(session.countOf<K::Disconnect>(), 1u);
  EXPECT_EQ(session.countOf<K::ManagerRegistrationComplete>(), 0u);
  EXPECT_EQ(session.countOf<K::Error>(), 0u);
}

TEST_F(FakeSession, DisconnectWhileTheFailurePathRunsLeavesOneDisconnect) {
  auto secure = std::make_shared<RecordingSecureSession>();
  SessionHarness withSecure(io, transport, secure);
  secure->holdStops();
  transport->queueReceive(ManagerWire::frame(8, Bytes{'0'}));
  TaskProbe probe;
  probe.start(io.get_executor(), withSecure.client->connectAndAuthenticate(config()));
  // The failure path waits for the secure session to stop; a disconnect lands in between.
  ASSERT_TRUE(withSecure.waitFor([&] { return secure->waitingStops() == 1; }));
  TaskProbe disconnecting;
  disconnecting.start(io.get_executor(), withSecure.client->disconnect());
  ASSERT_TRUE(withSecure.waitFor([&] { return secure->waitingStops() == 2; }));
  secure->releaseStops();
  ASSERT_TRUE(withSecure.waitFor([&] { return probe.finished() && disconnecting.finished(); }));
  drain(io);
  // The disconnect took over: the attempt reports cancellation and the state is the disconnect's.
  EXPECT_EQ(withSecure.countOf<K::Disconnect>(), 1u);
  EXPECT_EQ(withSecure.countOf<K::AuthRejected>(), 1u);
  EXPECT_EQ(withSecure.state(), DirectAuthState::disconnected);
  try {
    std::rethrow_exception(probe.error());
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::cancelled());
  }
}

// After a failure the session is already down and has said so: a disconnect still stops the
// secure session, closes the transport and leaves the session disconnected, but neither repeats
// the closing nor reports it again, however the session failed and however often it is asked.
TEST_F(FakeSession, DisconnectAfterAFailureSettlesTheSessionWithoutASecondClosing) {
  struct Case {
    const char* name;
    std::function<void(FakeTransport&, SessionHarness&)> fail;
    DirectAuthError expected;
  };
  const auto attemptFails = [](FakeTransport&, SessionHarness& s) {
    EXPECT_THROW(s.run(s.client->connectAndAuthenticate(SessionHarness::config(65333))), DirectAuthError);
  };
  const std::vector<Case> cases{
      {"connection refused",
       [&](FakeTransport& t, SessionHarness& s) {
         t.failNextConnect(std::make_exception_ptr(NetworkTransportError::connectionFailed("refused")));
         attemptFails(t, s);
       },
       DirectAuthError::transport("TCP connection failed: refused")},
      {"closed during authentication",
       [&](FakeTransport& t, SessionHarness& s) {
         t.endOfStream();
         attemptFails(t, s);
       },
       DirectAuthError::transport("The TCP connection was closed.")},
      {"rejected",
       [&](FakeTransport& t, SessionHarness& s) {
         t.queueReceive(ManagerWire::frame(8, Bytes{'0'}));
         attemptFails(t, s);
       },
       DirectAuthError::rejected()},
      {"failed from the receive loop",
       [](FakeTransport& t, SessionHarness& s) {
         t.queueReceive(accept());
         s.run(s.client->connectAndAuthenticate(SessionHarness::config(65333)));
         t.failSends(std::make_exception_ptr(NetworkTransportError::sendFailed("broken pipe")));
         t.queueReceive(ManagerWire::frame(1, E::nullDataClass(E::getComInfo, 0)));
         ASSERT_TRUE(s.waitFor([&] { return s.countOf<K::Disconnect>() == 1; }));
       },
       DirectAuthError::transport("Transport error: TCP send failed: broken pipe")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto failing = std::make_shared<FakeTransport>(io.get_executor());
    auto secure = std::make_shared<RecordingSecureSession>();
    SessionHarness s(io, failing, secure);
    c.fail(*failing, s);
    drain(io);
    ASSERT_EQ(s.state(), DirectAuthState::failed);
    ASSERT_EQ(s.countOf<K::Disconnect>(), 1u);
    const auto eventsBefore = s.eventKinds();
    const int closesBefore = failing->disconnectCount();
    const int stopsBefore = secure->stops();

    s.run(s.client->disconnect());
    drain(io);
    EXPECT_EQ(s.state(), DirectAuthState::disconnected);
    EXPECT_EQ(s.eventKinds(), eventsBefore);  // no second "Disconnected", nothing else either
    EXPECT_EQ(failing->disconnectCount(), closesBefore + 1);
    EXPECT_FALSE(failing->isConnected());
    EXPECT_EQ(secure->stops(), stopsBefore + 1);
    EXPECT_EQ(s.lastError(), c.expected);

    s.run(s.client->disconnect());
    drain(io);
    EXPECT_EQ(s.state(), DirectAuthState::disconnected);
    EXPECT_EQ(s.eventKinds(), eventsBefore);
  }
}

TEST_F(FakeSession, CallerCancellationWhileConnecting) {
  transport->setConnectHangs(true);
  asio::cancellation_signal signal;
  bool finished = false;
  std::exception_ptr error;
  asio::co_spawn(io.get_executor(), session.client->connectAndAuthenticate(config()),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(session.waitFor([&] { return transport->connectCount() == 1; }));
  drain(io);
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(session.waitFor([&] { return finished; }));
  try {
    std::rethrow_exception(error);
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::cancelled());
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.eventKinds(),
            (kindIndices<K::TcpConnectAttempt, K::TcpConnectFailure, K::Error, K::Disconnect>()));
  EXPECT_EQ(session.eventsOf<K::Error>().front().text, "Authentication was cancelled.");
}

TEST_F(FakeSession, ConnectThatNeverFinishesTimesOut) {
  ManualClock clock;
  transport->setConnectHangs(true);
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(session.waitFor([&] { return transport->connectCount() == 1; }));
  drain(io);
  clock.advance(std::chrono::seconds(5));
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));
  try {
    std::rethrow_exception(probe.error());
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::timeout());
  }
  EXPECT_EQ(session.eventKinds(),
            (kindIndices<K::TcpConnectAttempt, K::TcpConnectFailure, K::Error, K::Disconnect>()));
  EXPECT_EQ(session.eventsOf<K::TcpConnectFailure>().front().text,
            "Authentication timed out waiting for the manager response.");
  // The race closed the transport and the failure path closed it again.
  EXPECT_EQ(transport->disconnectCount(), 2);
}

TEST_F(FakeSession, TransportErrorsAreMappedWhileConnecting) {
  transport->failNextConnect(std::make_exception_ptr(NetworkTransportError::connectionFailed("refused")));
  try {
    session.run(session.client->connectAndAuthenticate(config()));
    FAIL();
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::transport("TCP connection failed: refused"));
  }
  EXPECT_EQ(session.eventsOf<K::TcpConnectFailure>().front().text,
            "Transport error: TCP connection failed: refused");
  EXPECT_EQ(session.lastError(), DirectAuthError::transport("TCP connection failed: refused"));
}

TEST_F(FakeSession, EmptyReadsDoNotEndTheWaitAndFramesAfterTheAnswerAreServedInOrder) {
  transport->queueReceive(Bytes{});
  Bytes together = accept();
  append(together, ManagerWire::frame(1, E::nullDataClass(E::reboot, 0)));
  append(together, ManagerWire::frame(1, E::nullDataClass(E::getCurrentFolder, 0)));
  transport->queueReceive(together);
  session.run(session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(waitForEvents<K::PasteDestinationSent>(1));
  EXPECT_EQ(session.executor->rebootRequests(), 1);
  const auto commands = session.eventsOf<K::LegacyManagerCommand>();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].name, "REBOOT");
  EXPECT_EQ(commands[1].name, "GET_CURRENT_FOLDER");
  // Both came after the registration.
  const auto kinds = session.eventKinds();
  const auto registered =
      std::find(kinds.begin(), kinds.end(), kindIndices<K::ManagerRegistrationComplete>()[0]);
  const auto firstCommand = std::find(kinds.begin(), kinds.end(), kindIndices<K::LegacyManagerCommand>()[0]);
  EXPECT_LT(registered, firstCommand);
}

TEST_F(FakeSession, AuthenticationPayloadLimit) {
  transport->queueReceive(accept());
  session.run(session.client->connectAndAuthenticate(
      SessionHarness::config(65333, 7, std::chrono::seconds(5), "h", std::string(59998, 'u'))));
  EXPECT_EQ(transport->sent().front().size(), 12u + 60000u);
  session.run(session.client->disconnect());
  try {
    session.run(session.client->connectAndAuthenticate(
        SessionHarness::config(65333, 7, std::chrono::seconds(5), "h", std::string(59999, 'u'))));
    FAIL();
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::malformedResponse("Auth request payload exceeds maximum chunk size."));
  }
  EXPECT_EQ(transport->connectCount(), 2);
}

TEST_F(FakeSession, SecureSessionFollowsRegistrationAndDisconnect) {
  auto secure = std::make_shared<RecordingSecureSession>();
  SessionHarness withSecure(io, transport, secure);
  transport->queueReceive(accept());
  withSecure.run(withSecure.client->connectAndAuthenticate(config(7)));
  ASSERT_EQ(secure->starts().size(), 1u);
  EXPECT_EQ(secure->starts()[0].account, "agent");
  EXPECT_EQ(secure->starts()[0].host, "127.0.0.1");
  EXPECT_EQ(secure->starts()[0].legacyPort, 65333);
  EXPECT_EQ(secure->starts()[0].slot, 8);
  withSecure.run(withSecure.client->disconnect());
  EXPECT_EQ(secure->stops(), 1);
}

// ---- receive loop -------------------------------------------------------------------------------

TEST_F(FakeSession, ReconnectAfterALoopFailureLeavesExactlyOneReader) {
  connect();
  ASSERT_TRUE(session.waitFor([&] { return transport->waitingReceives() == 1; }));
  // The system-information reply cannot be sent: the session fails from inside the loop.
  transport->failSends(std::make_exception_ptr(NetworkTransportError::sendFailed("broken pipe")));
  transport->queueReceive(ManagerWire::frame(1, E::nullDataClass(E::getComInfo, 0)));
  ASSERT_TRUE(waitForEvents<K::Disconnect>(1));
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.eventsOf<K::LegacyComInfoResponseFailed>(),
            std::vector<K::LegacyComInfoResponseFailed>{{"Transport error: TCP send failed: broken pipe"}});
  EXPECT_EQ(session.lastError(), DirectAuthError::transport("Transport error: TCP send failed: broken pipe"));

  transport->failSends(nullptr);
  connect();
  ASSERT_TRUE(session.waitFor([&] { return transport->waitingReceives() == 1; }));
  drain(io);
  EXPECT_EQ(transport->waitingReceives(), 1);
  for (int i = 0; i < 4; ++i)
    transport->queueReceive(ManagerWire::frame(1, E::nullDataClass(E::getComInfo, 0)));
  ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(4));
  drain(io);
  EXPECT_EQ(sentFrames().size(), 4u);
  EXPECT_EQ(transport->waitingReceives(), 1);
}

TEST_F(FakeSession, FramesAreRoutedByTheirCommand) {
  connect();
  transport->queueReceive(ManagerWire::frame(21, Bytes{1, 2}));              // file cancel: file handler only
  transport->queueReceive(ManagerWire::frame(10, Bytes(632, 0)));            // file information
  transport->queueReceive(ManagerWire::frame(22, Bytes{1}));                 // unknown: frame event only
  transport->queueReceive(ManagerWire::message(12, Bytes(70000, 3), 5, 0));  // file data in two chunks
  serve(ManagerWire::frame(1, toBytes("no envelope")));
  const auto frames = session.eventsOf<K::ManagerFrame>();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], (K::ManagerFrame{22, 1, 0}));
  EXPECT_EQ(frames[1], (K::ManagerFrame{1, 11, 0}));
  // Cancel and a record of zeros (no destination folder); the data frames of that refused file
  // add no failure.
  const std::string noFolder =
      "The destination folder \u201C\u201D is not usable here: it is not an absolute path on this computer.";
  EXPECT_EQ(session.eventsOf<K::FileTransferFailed>(),
            (std::vector<K::FileTransferFailed>{{"Transfer cancelled by manager"}, {noFolder}}));
  EXPECT_EQ(session.countOf<K::ClipboardRejected>(), 0u);  // file chunks are never joined
}

TEST_F(FakeSession, DevelopmentChannelRequestsAreAnsweredUnderTheSessionsConnectionNumber) {
  connect();
  const std::string request = std::string(AIWire::prefixText) + R"({"id":"r1","command":"status"})";
  transport->queueReceive(ManagerWire::frame(1, toBytes(request), 9, 0x4321));
  ASSERT_TRUE(session.waitFor([&] { return transport->sent().size() > baseline; }));
  const auto frames = sentFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].command, 1);
  EXPECT_EQ(frames[0].comNum, 7);
  const std::string answer = toString(frames[0].payload);
  EXPECT_EQ(answer.rfind(std::string(AIWire::prefixText), 0), 0u);
  EXPECT_NE(answer.find("\"r1\""), std::string::npos);
  EXPECT_EQ(session.countOf<K::ManagerFrame>(), 0u);
}

TEST_F(FakeSession, InputIsInjectedAndReportedInSummary) {
  connect();
  for (int i = 0; i < 250; ++i) transport->queueReceive(ManagerWire::frame(7, inputPacket(1)));
  transport->queueReceive(ManagerWire::frame(7, inputPacket(2)));
  transport->queueReceive(ManagerWire::frame(7, Bytes(19, 0)));
  serve(Bytes{});
  EXPECT_EQ(session.injector->injectedCount(), 251);
  EXPECT_EQ(session.eventsOf<K::InputEventApplied>(),
            (std::vector<K::InputEventApplied>{
                {"mouse-move", 1}, {"mouse-move", 100}, {"mouse-move", 200}, {"left-down", 251}}));
  EXPECT_EQ(session.eventsOf<K::InputPacketRejected>(),
            std::vector<K::InputPacketRejected>{{"HEADER_INPUT payload must be exactly 20 bytes"}});
  EXPECT_EQ(session.countOf<K::ManagerFrame>(), 1u);  // only the GET_COMINFO
  EXPECT_TRUE(session.gate->snapshot().counts.empty());
}

TEST_F(FakeSession, KeyInputIsReportedAtTheFirstAndEveryHundredthPacket) {
  connect();
  for (int i = 0; i < 150; ++i)
    transport->queueReceive(ManagerWire::frame(7, inputPacket(i % 2 == 0 ? 5 : 6)));
  serve(Bytes{});
  EXPECT_EQ(session.eventsOf<K::InputEventApplied>(),
            (std::vector<K::InputEventApplied>{{"key-down", 1}, {"key-up", 100}}));
}

TEST_F(FakeSession, AccessibilityDenialIsReportedOnceUntilAnInjectionSucceeds) {
  connect();
  for (int i = 0; i < 3; ++i) {
    session.injector->queueError(std::make_exception_ptr(RemoteInputInjectionError::accessibilityDenied()));
  }
  session.injector->queueError(nullptr);  // success
  session.injector->queueError(std::make_exception_ptr(RemoteInputInjectionError::accessibilityDenied()));
  session.injector->queueError(std::make_exception_ptr(RemoteInputInjectionError::unsupportedMode(9)));
  for (int i = 0; i < 6; ++i) transport->queueReceive(ManagerWire::frame(7, inputPacket(1)));
  serve(Bytes{});
  EXPECT_EQ(session.countOf<K::InputPermissionDenied>(), 2u);
  EXPECT_EQ(session.eventsOf<K::InputPermissionDenied>().front().text,
            "Grant VantrelMac in Privacy & Security > Accessibility, then relaunch");
  EXPECT_EQ(session.countOf<K::InputPacketRejected>(), 1u);
}

TEST_F(FakeSession, InputIsDroppedSilentlyWhileAnUpdateIsInstalled) {
  connect();
  ASSERT_TRUE(session.gate->reserveInstallationIfIdle(Uuid::random(), 0));
  transport->queueReceive(ManagerWire::frame(7, inputPacket(1)));
  transport->queueReceive(ManagerWire::frame(7, Bytes(3, 0)));
  serve(Bytes{});
  EXPECT_EQ(session.injector->attemptCount(), 0);
  EXPECT_EQ(session.countOf<K::InputPacketRejected>(), 0u);
  EXPECT_EQ(session.countOf<K::InputEventApplied>(), 0u);
}

TEST_F(FakeSession, AMessageOverTheJoinLimitIsDroppedAndTheSessionGoesOn) {
  connect();
  const std::uint16_t chunks = static_cast<std::uint16_t>(ManagerMessageJoiner::maximumMessageChunks);
  ASSERT_EQ(chunks, 1120);
  const Bytes chunk(60000, 0x41);
  for (std::uint16_t i = 0; i < chunks; ++i) {
    Bytes frame = ManagerWire::header(1, i, chunks, 55, 60000, 0);
    append(frame, chunk);
    transport->queueReceive(std::move(frame));
  }
  serve(Bytes{});
  EXPECT_EQ(session.eventsOf<K::ClipboardRejected>(),
            std::vector<K::ClipboardRejected>{{"manager message dropped: more than 67174400 bytes"}});
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  EXPECT_EQ(session.countOf<K::ManagerFrame>(), 1u);
}

TEST_F(FakeSession, AMessageWhoseChunksStopIsDroppedAfterThirtySecondsWithoutAChunk) {
  ManualClock clock;
  connect();
  for (std::uint16_t sequence : {0, 1}) {
    Bytes frame = ManagerWire::header(1, sequence, 3, 66, 60000, 0);
    append(frame, Bytes(60000, 0x41));
    transport->queueReceive(std::move(frame));
    ASSERT_TRUE(session.waitFor([&] { return transport->waitingReceives() == 1; }));
    drain(io);
    clock.advance(std::chrono::seconds(20));  // each chunk restarts the wait
    drain(io);
  }
  EXPECT_EQ(session.countOf<K::ClipboardRejected>(), 0u);
  clock.advance(std::chrono::seconds(10));
  ASSERT_TRUE(waitForEvents<K::ClipboardRejected>(1));
  EXPECT_EQ(
      session.eventsOf<K::ClipboardRejected>(),
      std::vector<K::ClipboardRejected>{{"manager message dropped: no chunk for 30 s after 2 of 3 chunks"}});
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(FakeSession, AManagerThatStopsReadingFailsTheSessionAfterTheSendLimit) {
  ManualClock clock;
  connect();
  transport->holdSends(true);  // nothing the agent sends is taken any more
  transport->queueReceive(ManagerWire::frame(1, E::nullDataClass(E::getComInfo, 0)));
  ASSERT_TRUE(session.waitFor([&] { return transport->heldSendCount() == 1; }));
  drain(io);
  clock.advance(std::chrono::seconds(59));
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(session.waitFor([&] { return session.state() == DirectAuthState::failed; }));
  EXPECT_EQ(session.lastError(), DirectAuthError::timeout());
  EXPECT_EQ(session.countOf<K::Disconnect>(), 1u);
  EXPECT_EQ(session.countOf<K::LegacyComInfoResponseFailed>(), 1u);
  transport->holdSends(false);
}

// A batch that announces more files than it sends holds the update gate only until 60 s pass
// without a record or data, or until the session ends.
TEST_F(FakeSession, AnAbandonedFileBatchLosesItsLease) {
  ManualClock clock;
  const auto fileRecord = [&](std::int32_t index) {
    LegacyFileMetadata r;
    r.comNum = 7;
    r.currentIndex = index;
    r.total = 3;
    r.fileSize = 1;
    r.filename = "f" + std::to_string(index);
    r.destinationFolder = (home.path() / "in").string();
    return ManagerWire::frame(10, r.encode().value(), 0, 7);
  };
  for (const bool idle : {true, false}) {
    SCOPED_TRACE(idle ? "idle" : "session ends");
    connect();
    transport->queueReceive(fileRecord(0));
    transport->queueReceive(ManagerWire::frame(12, toBytes("a"), 0, 7));
    transport->queueReceive(ManagerWire::frame(15, {}, 0, 7));
    ASSERT_TRUE(waitForEvents<K::FileTransferCompleted>(idle ? 1 : 2));
    EXPECT_EQ(session.gate->snapshot().fileTransfers(), 1);
    if (idle) {
      clock.advance(std::chrono::seconds(59));
      drain(io);
      EXPECT_EQ(session.gate->snapshot().fileTransfers(), 1);
      clock.advance(std::chrono::seconds(1));
      ASSERT_TRUE(session.waitFor([&] { return session.gate->snapshot().fileTransfers() == 0; }));
      EXPECT_EQ(session.eventsOf<K::FileTransferFailed>(),
                std::vector<K::FileTransferFailed>{{std::string(IncomingFileReceiver::idleText)}});
      session.run(session.client->disconnect());
    } else {
      session.run(session.client->disconnect());
      EXPECT_EQ(session.gate->snapshot().fileTransfers(), 0);
    }
  }
}

TEST_F(FakeSession, HostileBytesEndOrLeaveTheSessionAsTheyShould) {
  connect();
  const Bytes prefix = E::prefix(E::getComInfo, 0);
  transport->queueReceive(ManagerWire::frame(1, toBytes("garbage")));
  transport->queueReceive(ManagerWire::frame(1, Bytes(prefix.begin(), prefix.begin() + 231)));
  transport->queueReceive(ManagerWire::frame(1, Bytes(5000, 0xFF)));
  Bytes announcing = ManagerWire::header(1, 0, 0xFFFF, 1, 2, 0);  // 65,535 chunks announced
  announcing.insert(announcing.end(), {1, 2});
  transport->queueReceive(announcing);
  Bytes clipboard = ManagerWire::message(1, E::string(E::clipboardText, 0, std::string(70000, 'c')), 2, 0);
  transport->queueReceive(Bytes(clipboard.begin(), clipboard.begin() + 60012));  // first of two chunks
  transport->queueReceive(ManagerWire::frame(1, E::nullDataClass(E::shutdown, 0)));
  serve(Bytes{});
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  EXPECT_TRUE(session.clipboard.empty());
  EXPECT_EQ(session.countOf<K::ClipboardRejected>(), 2u);
  EXPECT_EQ(session.countOf<K::LegacyManagerCommand>(), 2u);  // SHUTDOWN and GET_COMINFO

  // Twelve bytes without the signature end the session; eleven are only buffered.
  transport->queueReceive(Bytes(11, 0x00));
  ASSERT_TRUE(session.waitFor([&] { return transport->waitingReceives() == 1; }));
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  EXPECT_EQ(session.countOf<K::Disconnect>(), 0u);
  transport->queueReceive(Bytes{0x00});
  ASSERT_TRUE(waitForEvents<K::Disconnect>(1));
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.lastError(),
            DirectAuthError::malformedResponse("Vantrel frame invalid signature: got 0x00, expected 0xFE."));
  EXPECT_EQ(session.eventKinds().back(), kindIndices<K::Disconnect>().front());
}

// ---- outgoing payloads --------------------------------------------------------------------------

TEST_F(FakeSession, APayloadOverOneChunkLeavesInOneSend) {
  connect();
  // An envelope of 242 + 3 + 59,756 = 60,001 bytes.
  session.run(session.client->sendLocalClipboardText(std::string(59756, 't')));
  const auto sends = transport->sent();
  ASSERT_EQ(sends.size(), baseline + 1);
  EXPECT_EQ(sends.back().size(), 60001u + 24u);
  const auto frames = sentFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].chunkSize, 60000);
  EXPECT_EQ(frames[1].chunkSize, 1);
  EXPECT_EQ(frames[0].sequenceNumber, 0);
  EXPECT_EQ(frames[1].sequenceNumber, 1);
  EXPECT_EQ(frames[0].numChunks, 2);
  EXPECT_EQ(frames[0].timestamp, frames[1].timestamp);
  EXPECT_EQ(ManagerWire::joinMessages(frames).front(),
            E::string(E::clipboardText, 7, std::string(59756, 't')));
}

TEST_F(FakeSession, TheTimestampCounterWrapsAndIsNeverReset) {
  connect();  // timestamps 0 and 1
  session.run([](std::shared_ptr<DirectAuthClient> client) -> Awaitable<void> {
    for (int i = 2; i <= 65535; ++i) co_await client->notifyLocalClipboardFiles({});
  }(session.client));
  session.run(session.client->notifyLocalClipboardFiles({}));
  const auto sends = transport->sent();
  ASSERT_EQ(sends.size(), 65537u);
  auto timestampOf = [](const Bytes& wire) { return static_cast<std::uint16_t>((wire[6] << 8) | wire[7]); };
  EXPECT_EQ(timestampOf(sends[65535]), 65535);
  EXPECT_EQ(timestampOf(sends[65536]), 0);
  // A reconnect goes on from where the counter stands.
  session.run(session.client->disconnect());
  transport->queueReceive(accept());
  session.run(session.client->connectAndAuthenticate(config()));
  EXPECT_EQ(timestampOf(transport->sent().at(65537)), 1);
  EXPECT_EQ(timestampOf(transport->sent().at(65538)), 2);
}

TEST_F(FakeSession, ClipboardSendsRefuseWhatCannotBeEncoded) {
  connect();
  try {
    session.run(session.client->sendLocalClipboardText(std::string(4194305, 'x')));
    FAIL();
  } catch (const LegacyClipboardCodecError& e) {
    EXPECT_EQ(e, LegacyClipboardCodecError::valueTooLarge());
  }
  try {
    session.run(session.client->sendLocalClipboardImagePNG(toBytes("GIF89a")));
    FAIL();
  } catch (const LegacyClipboardCodecError& e) {
    EXPECT_EQ(e, LegacyClipboardCodecError::invalidEnvelope());
  }
  EXPECT_EQ(transport->sent().size(), baseline);
  EXPECT_EQ(session.countOf<K::ClipboardSent>(), 0u);

  // Trailing bytes after the PNG are not sent; the event counts what was passed in.
  Bytes png = E::tinyPNG();
  png.insert(png.end(), {1, 2, 3});
  session.run(session.client->sendLocalClipboardImagePNG(png));
  EXPECT_EQ(sentFrames().back().payload, E::imagePNG(7, E::tinyPNG()));
  EXPECT_EQ(session.eventsOf<K::ClipboardSent>().back(),
            (K::ClipboardSent{"image", static_cast<long long>(png.size()), 1}));

  session.run(session.client->notifyLocalClipboardFiles({}));
  EXPECT_EQ(session.eventsOf<K::ClipboardSent>().back(), (K::ClipboardSent{"files", 0, 0}));
  session.run(session.client->reportClipboardBridgeFailure("no access"));
  EXPECT_EQ(session.eventsOf<K::ClipboardRejected>().back().text, "Mac pasteboard send failed: no access");
}

TEST_F(FakeSession, ClipboardSendsAreQuietUnlessAuthenticated) {
  session.run(session.client->sendLocalClipboardText("a"));
  session.run(session.client->sendLocalClipboardImagePNG(toBytes("not even a png")));
  session.run(session.client->notifyLocalClipboardFiles({"file:///a"}));
  EXPECT_TRUE(transport->sent().empty());
  EXPECT_TRUE(session.events->mirrored().empty());
  session.run(session.client->reportClipboardBridgeFailure("x"));
  EXPECT_EQ(session.countOf<K::ClipboardRejected>(), 1u);
}

TEST(FileURLTests, OnlyTheFileSchemeCounts) {
  EXPECT_TRUE(isFileURL("file:///tmp/a"));
  EXPECT_TRUE(isFileURL("FILE:///tmp/a"));
  EXPECT_FALSE(isFileURL("https://example.invalid/a"));
  EXPECT_FALSE(isFileURL("/tmp/a"));
  EXPECT_FALSE(isFileURL("fil"));
}

TEST(TransportDetailTests, ErrorsAreRenderedAsTheSessionReportsThem) {
  EXPECT_EQ(transportDetail(std::make_exception_ptr(NetworkTransportError::timedOut())),
            "Authentication timed out waiting for the manager response.");
  EXPECT_EQ(transportDetail(std::make_exception_ptr(NetworkTransportError::cancelled())),
            "Authentication was cancelled.");
  EXPECT_EQ(transportDetail(std::make_exception_ptr(DirectAuthError::rejected())),
            "Manager rejected authentication (response \xE2\x80\x9C"
            "0\xE2\x80\x9D).");
  EXPECT_EQ(directAuthError(NetworkTransportError::disconnected()).kind(), DirectAuthError::Case::transport);
}

}  // namespace
}  // namespace vantrel::testing
