// A manager session over a real TCP transport against the manager simulator on loopback.

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/ip/tcp.hpp>

#include "Transport/DirectTCPTransport.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

namespace K = DirectAuthEventKinds;
namespace E = ManagerEnvelopes;
using Frame = ManagerWire::Frame;

class LoopbackSession : public ::testing::Test {
 protected:
  LoopbackSession()
      : manager(io.get_executor()),
        session(io, DirectTCPTransport::create(io.get_executor(), std::nullopt, 10.0)) {}

  ~LoopbackSession() override {
    try {
      session.run(session.client->disconnect());
    } catch (...) {
    }
    manager.stop();
    drain(io);
  }

  DirectAuthConfiguration config(VantrelClock::duration timeout = std::chrono::seconds(5)) {
    return SessionHarness::config(manager.port(), 7, timeout);
  }

  void connect() {
    session.run(session.client->connectAndAuthenticate(config()));
    ASSERT_EQ(session.state(), DirectAuthState::authenticated);
    ASSERT_TRUE(session.waitFor([&] { return manager.framesOf(connection).size() >= 2; }));
    baseline = manager.framesOf(connection).size();
  }

  // Sends one request envelope as a basic message, under a comNum that is not the session's.
  void request(const Bytes& envelope, std::uint16_t comNum = 99) {
    manager.send(ManagerWire::message(1, envelope, nextTimestamp++, comNum));
  }

  // The agent's frames on the current connection after registration.
  std::vector<Frame> replies() const {
    auto frames = manager.framesOf(connection);
    return std::vector<Frame>(frames.begin() + static_cast<std::ptrdiff_t>(baseline), frames.end());
  }

  bool waitForReplies(std::size_t count) {
    return session.waitFor([&] { return replies().size() >= count; });
  }

  // Waits until the session has emitted `count` events of a kind.
  template <typename Kind>
  bool waitForEvents(std::size_t count) {
    return session.waitFor([&] { return session.countOf<Kind>() >= count; });
  }

  // Sends a request and then a GET_COMINFO; once the reply of the second is in, the first has
  // been served completely (requests are handled strictly in order).
  void requestAndSettle(const Bytes& envelope) {
    const auto before = session.countOf<K::LegacyComInfoResponseSent>();
    request(envelope);
    request(E::nullDataClass(E::getComInfo, 0));
    ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(before + 1));
  }

  asio::io_context io;
  TemporaryHome home;
  ManagerSimulator manager;
  SessionHarness session;
  int connection = 0;
  std::size_t baseline = 0;
  std::uint16_t nextTimestamp = 100;
};

// ---- connection ---------------------------------------------------------------------------------

TEST_F(LoopbackSession, AuthenticationAndRegistrationBytesOnAFreshSession) {
  connect();
  const auto frames = manager.framesOf(0);
  ASSERT_EQ(frames.size(), 2u);
  Bytes auth = ManagerWire::header(frames[0].command, frames[0].sequenceNumber, frames[0].numChunks,
                                   frames[0].timestamp, frames[0].chunkSize, frames[0].comNum);
  append(auth, frames[0].payload);
  EXPECT_EQ(auth, (Bytes{0xFE, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x00, 0x07, 'R', '_',
                         'a', 'g', 'e', 'n', 't'}));
  Bytes registration = ManagerWire::header(frames[1].command, frames[1].sequenceNumber, frames[1].numChunks,
                                           frames[1].timestamp, frames[1].chunkSize, frames[1].comNum);
  append(registration, frames[1].payload);
  EXPECT_EQ(registration,
            (Bytes{0xFE, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x07, 0x31}));
  EXPECT_EQ(session.eventKinds(),
            (kindIndices<K::TcpConnectAttempt, K::TcpConnectReady, K::AuthCommandSent, K::AuthAccepted,
                         K::RegistrationCommandSent, K::ManagerRegistrationComplete>()));
  EXPECT_EQ(session.eventsOf<K::TcpConnectAttempt>().front(),
            (K::TcpConnectAttempt{"127.0.0.1", manager.port()}));
  EXPECT_EQ(session.eventsOf<K::RegistrationCommandSent>().front().comNum, 7);
  EXPECT_FALSE(session.lastError());
  EXPECT_TRUE(session.events->mirrorPrecedesHandler());
}

TEST_F(LoopbackSession, HostIsTrimmedBeforeUse) {
  session.run(session.client->connectAndAuthenticate(
      SessionHarness::config(manager.port(), 7, std::chrono::seconds(5), " 127.0.0.1\n")));
  EXPECT_EQ(session.eventsOf<K::TcpConnectAttempt>().front().host, "127.0.0.1");
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(LoopbackSession, RejectedAnswerFailsWithoutErrorEvent) {
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::reject);
  try {
    session.run(session.client->connectAndAuthenticate(config()));
    FAIL() << "expected a rejection";
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::rejected());
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.lastError(), DirectAuthError::rejected());
  EXPECT_EQ(session.eventKinds(), (kindIndices<K::TcpConnectAttempt, K::TcpConnectReady, K::AuthCommandSent,
                                               K::AuthRejected, K::Disconnect>()));
  // Nothing after the authentication frame: no registration.
  EXPECT_EQ(manager.framesOf(0).size(), 1u);
}

TEST_F(LoopbackSession, GarbageAnswerIsAMalformedResponse) {
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::garbage);
  try {
    session.run(session.client->connectAndAuthenticate(config()));
    FAIL() << "expected a malformed response";
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(
        e, DirectAuthError::malformedResponse("Vantrel frame invalid signature: got 0x47, expected 0xFE."));
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(
      session.eventKinds(),
      (kindIndices<K::TcpConnectAttempt, K::TcpConnectReady, K::AuthCommandSent, K::Error, K::Disconnect>()));
}

TEST_F(LoopbackSession, AnswerShapesAreCheckedInOrder) {
  struct Case {
    Bytes reply;
    DirectAuthError expected;
  };
  const std::vector<Case> cases{
      {ManagerWire::frame(8, Bytes{'1', '0'}),
       DirectAuthError::malformedResponse("expected exactly 1 payload byte, got 2")},
      {ManagerWire::frame(8, Bytes{'2'}),
       DirectAuthError::malformedResponse("expected ASCII '1' or '0', got 0x32")},
      {ManagerWire::frame(9, Bytes{'1'}), DirectAuthError::unexpectedCommand(9)},
      {ManagerWire::frame(8, Bytes{}),
       DirectAuthError::malformedResponse("expected exactly 1 payload byte, got 0")},
  };
  for (const auto& c : cases) {
    manager.setAuthReply(c.reply);
    try {
      session.run(session.client->connectAndAuthenticate(config()));
      ADD_FAILURE() << "expected " << c.expected.localizedDescription();
    } catch (const DirectAuthError& e) {
      EXPECT_EQ(e, c.expected);
    }
    EXPECT_EQ(session.state(), DirectAuthState::failed);
  }
  // Any header fields besides the command are accepted on a '1'.
  Bytes odd = ManagerWire::header(8, 0, 1, 0xBEEF, 1, 0x1234);
  odd.push_back('1');
  manager.setAuthReply(odd);
  session.run(session.client->connectAndAuthenticate(config()));
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(LoopbackSession, SilentManagerTimesOutAfterTheConfiguredLimit) {
  ManualClock clock;
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::silence);
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config(std::chrono::seconds(2))));
  ASSERT_TRUE(session.waitFor([&] { return manager.frameCount() == 1; }));
  drain(io);
  clock.advance(std::chrono::milliseconds(1999));
  drain(io);
  EXPECT_FALSE(probe.finished());
  clock.advance(std::chrono::milliseconds(2));
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));
  try {
    std::rethrow_exception(probe.error());
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::timeout());
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(
      session.eventKinds(),
      (kindIndices<K::TcpConnectAttempt, K::TcpConnectReady, K::AuthCommandSent, K::Error, K::Disconnect>()));
  EXPECT_EQ(session.eventsOf<K::Error>().front().text,
            "Authentication timed out waiting for the manager response.");
}

TEST_F(LoopbackSession, RefusedPortFailsAtOnce) {
  ManualClock clock;  // never advanced: the failure cannot come from a timer
  std::uint16_t closedPort = 0;
  {
    asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    closedPort = probe.local_endpoint().port();
  }
  try {
    session.run(session.client->connectAndAuthenticate(SessionHarness::config(closedPort)));
    FAIL() << "expected a transport error";
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e.kind(), DirectAuthError::Case::transport);
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.eventKinds(),
            (kindIndices<K::TcpConnectAttempt, K::TcpConnectFailure, K::Error, K::Disconnect>()));
}

TEST_F(LoopbackSession, CallerCancellationWhileWaitingForTheAnswer) {
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::silence);
  asio::cancellation_signal signal;
  bool finished = false;
  std::exception_ptr error;
  asio::co_spawn(io.get_executor(), session.client->connectAndAuthenticate(config()),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(session.waitFor([&] { return manager.frameCount() == 1; }));
  drain(io);
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(session.waitFor([&] { return finished; }));
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::cancelled());
  }
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.lastError(), DirectAuthError::cancelled());
  EXPECT_EQ(session.countOf<K::Disconnect>(), 1u);
}

TEST_F(LoopbackSession, DisconnectWhileWaitingForTheAnswerLeavesTheSessionDisconnected) {
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::silence);
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(session.waitFor([&] { return manager.frameCount() == 1; }));
  drain(io);
  session.run(session.client->disconnect());
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));
  try {
    std::rethrow_exception(probe.error());
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::cancelled());
  }
  drain(io);
  EXPECT_EQ(session.state(), DirectAuthState::disconnected);
  EXPECT_FALSE(session.lastError());
  EXPECT_EQ(session.countOf<K::Disconnect>(), 1u);
  EXPECT_EQ(session.countOf<K::Error>(), 0u);
  // The session is usable again.
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::accept);
  session.run(session.client->connectAndAuthenticate(config()));
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(LoopbackSession, BusySessionRefusesASecondAttempt) {
  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::silence);
  TaskProbe probe;
  probe.start(io.get_executor(), session.client->connectAndAuthenticate(config()));
  ASSERT_TRUE(waitForEvents<K::AuthCommandSent>(1));
  const auto eventsBefore = session.eventKinds();
  EXPECT_THROW(
      {
        try {
          session.run(session.client->connectAndAuthenticate(config()));
        } catch (const DirectAuthError& e) {
          EXPECT_EQ(e, DirectAuthError::notIdle());
          throw;
        }
      },
      DirectAuthError);
  EXPECT_EQ(session.eventKinds(), eventsBefore);
  session.run(session.client->disconnect());
  ASSERT_TRUE(session.waitFor([&] { return probe.finished(); }));

  manager.setAuthAnswer(ManagerSimulator::AuthAnswer::accept);
  session.run(session.client->connectAndAuthenticate(config()));
  try {
    session.run(session.client->connectAndAuthenticate(config()));
    ADD_FAILURE() << "expected alreadyAuthenticated";
  } catch (const DirectAuthError& e) {
    EXPECT_EQ(e, DirectAuthError::alreadyAuthenticated());
  }
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
}

TEST_F(LoopbackSession, ManagerClosingEndsTheSessionAndAReconnectHasOneReader) {
  connect();
  manager.closeClient();
  ASSERT_TRUE(session.waitFor([&] { return session.countOf<K::Disconnect>() == 1; }));
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  ASSERT_TRUE(session.lastError());
  EXPECT_EQ(session.lastError()->kind(), DirectAuthError::Case::transport);
  EXPECT_EQ(session.eventKinds().back(), kindIndices<K::Disconnect>().front());

  // Reconnect at once; the timestamps go on from where they stood.
  connection = 1;
  connect();
  const auto frames = manager.framesOf(1);
  EXPECT_EQ(frames[0].timestamp, 2);
  EXPECT_EQ(frames[1].timestamp, 3);
  for (int i = 0; i < 3; ++i) request(E::nullDataClass(E::getComInfo, 0));
  ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(3));
  drain(io);
  EXPECT_EQ(replies().size(), 3u);
  EXPECT_EQ(session.countOf<K::LegacyManagerCommand>(), 3u);
  EXPECT_EQ(session.comInfo->calls(), 3);
}

TEST_F(LoopbackSession, DisconnectOfALiveSessionEmitsOneDisconnect) {
  connect();
  session.events->clear();
  session.run(session.client->disconnect());
  EXPECT_EQ(session.state(), DirectAuthState::disconnected);
  EXPECT_EQ(session.eventKinds(), kindIndices<K::Disconnect>());
  EXPECT_TRUE(session.waitFor([&] { return !manager.clientOpen(); }));
  EXPECT_FALSE(session.lastError());
  // Disconnecting again changes nothing and emits nothing.
  session.run(session.client->disconnect());
  EXPECT_EQ(session.eventKinds(), kindIndices<K::Disconnect>());
}

// ---- legacy commands ----------------------------------------------------------------------------

TEST_F(LoopbackSession, ComInfoIsAnsweredUnderTheSessionsConnectionNumber) {
  connect();
  request(E::nullDataClass(E::getComInfo, 99), 99);
  ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(1));
  ASSERT_TRUE(waitForReplies(1));
  const auto reply = replies().front();
  EXPECT_EQ(reply.command, 1);
  EXPECT_EQ(reply.comNum, 7);
  EXPECT_EQ(reply.timestamp, 2);
  EXPECT_EQ(reply.numChunks, 1);
  // 679 - 11 - 15 + "3h" + "10.1.2.3"
  ASSERT_EQ(reply.payload.size(), 679u - 26u + 2u + 8u);
  EXPECT_EQ(E::kindAt228(reply.payload), 82u);
  EXPECT_EQ(E::comNumAt232(reply.payload), 7u);
  EXPECT_EQ(readU32LE(reply.payload, 524), 7u);
  const auto command = session.eventsOf<K::LegacyManagerCommand>().front();
  EXPECT_EQ(command, (K::LegacyManagerCommand{16, "GET_COMINFO", 238, 99}));
  const auto sent = session.eventsOf<K::LegacyComInfoResponseSent>().front();
  EXPECT_EQ(sent.comNum, 7);
  EXPECT_EQ(sent.payloadByteCount, static_cast<long long>(reply.payload.size()));
  EXPECT_EQ(sent.summaryFragment, "ip=10.1.2.3, 1920x1080, cpu=12%, ram=40%/16GB, diskFree=1000, uptime=3h");
}

TEST_F(LoopbackSession, ComInfoFallsBackWhenTheProviderFails) {
  connect();
  session.comInfo->failWith(std::make_exception_ptr(DirectAuthError::notConnected()));
  request(E::nullDataClass(E::getComInfo, 7), 7);
  ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(1));
  ASSERT_TRUE(waitForReplies(1));
  const auto reply = replies().front();
  ASSERT_EQ(reply.payload.size(), 664u);
  const std::string text = toString(reply.payload);
  EXPECT_NE(text.find("0.0.0.0"), std::string::npos);
  EXPECT_NE(text.find("0\xEC\xB4\x88"), std::string::npos);  // "0초"
  const auto kinds = session.eventKinds();
  ASSERT_GE(kinds.size(), 2u);
  EXPECT_EQ(std::vector<std::size_t>(kinds.end() - 2, kinds.end()),
            (kindIndices<K::LegacyComInfoSnapshotFailed, K::LegacyComInfoResponseSent>()));
  EXPECT_EQ(session.eventsOf<K::LegacyComInfoSnapshotFailed>().front().text, "Not connected.");
}

TEST_F(LoopbackSession, CurrentFolderRequestAnswersWithTheProviderOrTheFallback) {
  connect();
  // No provider, no Downloads folder: the home folder.
  request(E::nullDataClass(E::getCurrentFolder, 99));
  ASSERT_TRUE(waitForEvents<K::PasteDestinationSent>(1));
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(replies()[0].payload, E::currentFolder(7, home.path().string(), ""));
  EXPECT_EQ(replies()[0].comNum, 7);

  // With a Downloads folder it is used.
  std::filesystem::create_directories(home.path() / "Downloads");
  request(E::nullDataClass(E::getCurrentFolder, 99));
  ASSERT_TRUE(waitForEvents<K::PasteDestinationSent>(2));
  ASSERT_TRUE(waitForReplies(2));
  EXPECT_EQ(replies()[1].payload, E::currentFolder(7, (home.path() / "Downloads").string(), ""));

  // A provider wins, even with an empty answer.
  session.run(session.client->setPasteDestinationProvider(io.get_executor(),
                                                          []() -> Awaitable<std::string> { co_return ""; }));
  request(E::nullDataClass(E::getCurrentFolder, 99));
  ASSERT_TRUE(waitForEvents<K::PasteDestinationSent>(3));
  ASSERT_TRUE(waitForReplies(3));
  EXPECT_EQ(replies()[2].payload, E::currentFolder(7, "", ""));
  EXPECT_EQ(session.countOf<K::PasteDestinationSent>(), 3u);
}

TEST_F(LoopbackSession, PasteRequestAsksTheManagerForItsFolder) {
  connect();
  request(E::nullDataClass(E::getManagerControlV, 99));
  ASSERT_TRUE(waitForReplies(1));
  const auto reply = replies().front();
  EXPECT_EQ(reply.comNum, 7);
  EXPECT_EQ(reply.payload, E::nullDataClass(E::getCurrentFolder, 7));
  ASSERT_EQ(reply.payload.size(), 238u);
  EXPECT_EQ(Bytes(reply.payload.begin() + 228, reply.payload.begin() + 236),
            (Bytes{0x22, 0, 0, 0, 7, 0, 0, 0}));
}

TEST_F(LoopbackSession, CommandsWithoutAReplySendNothing) {
  connect();
  session.executor->failWith(nullptr);
  requestAndSettle(E::nullDataClass(E::reboot, 99));
  EXPECT_EQ(session.executor->rebootRequests(), 1);
  EXPECT_EQ(session.eventsOf<K::SystemCommandAccepted>(), std::vector<K::SystemCommandAccepted>{{"reboot"}});

  session.executor->failWith(std::make_exception_ptr(DirectAuthError::notConnected()));
  requestAndSettle(E::nullDataClass(E::reboot, 99));
  EXPECT_EQ(session.eventsOf<K::SystemCommandFailed>(),
            (std::vector<K::SystemCommandFailed>{{"reboot", "Not connected."}}));

  requestAndSettle(E::nullDataClass(E::shutdown, 99));
  requestAndSettle(E::nullDataClass(200, 99));
  requestAndSettle(E::nullDataClass(E::frameControl2A, 99));
  requestAndSettle(E::nullDataClass(E::getScreenEnd, 99));
  requestAndSettle(E::nullDataClass(E::getScreenEndKeyCheck, 99));
  EXPECT_EQ(session.streamer->keyframeRequests(), 0);
  EXPECT_EQ(session.countOf<K::ScreenStopped>(), 0u);

  std::vector<std::string> names;
  for (const auto& c : session.eventsOf<K::LegacyManagerCommand>()) {
    if (c.kind != E::getComInfo) names.push_back(c.name);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"REBOOT", "REBOOT", "SHUTDOWN", "UNKNOWN_0xC8", "FRAME_CONTROL_2A",
                                      "GET_SCREEN_END", "GET_SCREEN_END_KEYCHECK"}));
  // Only the GET_COMINFO replies went out.
  for (const auto& reply : replies()) EXPECT_EQ(E::kindAt228(reply.payload), 82u);
  EXPECT_EQ(replies().size(), 7u);
}

TEST_F(LoopbackSession, ClipboardValuesFromTheManagerReachTheHandler) {
  connect();
  const Bytes png = E::tinyPNG();
  requestAndSettle(E::strings(E::clipboardText, 99, {"first", "안녕"}));
  requestAndSettle(E::imagePNG(99, png));
  requestAndSettle(E::nullDataClass(E::clipboardFile, 99));
  requestAndSettle(E::nullDataClass(E::clipboardText, 99));  // no string: rejected
  ASSERT_EQ(session.clipboard.size(), 3u);
  EXPECT_EQ(session.clipboard[0], LegacyClipboardValue::text("안녕"));
  EXPECT_EQ(session.clipboard[1], LegacyClipboardValue::imagePNG(png));
  EXPECT_EQ(session.clipboard[2], LegacyClipboardValue::files());
  EXPECT_EQ(session.eventsOf<K::ClipboardReceived>(),
            (std::vector<K::ClipboardReceived>{
                {"text", 6, 1}, {"image", static_cast<long long>(png.size()), 1}, {"files", 0, 1}}));
  EXPECT_EQ(session.eventsOf<K::ClipboardRejected>(),
            std::vector<K::ClipboardRejected>{{"Invalid legacy clipboard envelope."}});
  for (const auto& reply : replies()) EXPECT_EQ(E::kindAt228(reply.payload), 82u);
}

TEST_F(LoopbackSession, OneMebibyteClipboardTextArrivesInChunksIntact) {
  connect();
  std::string text;
  text.reserve(1 << 20);
  for (std::size_t i = 0; text.size() < (1u << 20); ++i) text.push_back(static_cast<char>('a' + i % 26));
  const Bytes envelope = E::string(E::clipboardText, 99, text);
  ASSERT_GT(envelope.size(), 17u * 60000u);
  request(envelope);
  ASSERT_TRUE(session.waitFor([&] { return session.clipboard.size() == 1; }));
  EXPECT_EQ(session.clipboard[0], LegacyClipboardValue::text(text));
  EXPECT_EQ(session.eventsOf<K::ClipboardReceived>().front(), (K::ClipboardReceived{"text", 1 << 20, 1}));
  // One frame event for the whole message.
  EXPECT_EQ(session.eventsOf<K::ManagerFrame>(),
            (std::vector<K::ManagerFrame>{{1, static_cast<long long>(envelope.size()), 99}}));
  EXPECT_EQ(session.countOf<K::ClipboardRejected>(), 0u);
}

TEST_F(LoopbackSession, FolderAnswerAndFileAndScreenRequestsReachTheirHandlers) {
  connect();
  requestAndSettle(E::currentFolder(99, "C:\\Target", "denied"));
  EXPECT_EQ(session.eventsOf<K::FileTransferFailed>(), std::vector<K::FileTransferFailed>{{"denied"}});
  requestAndSettle(E::currentFolder(99, "C:\\Target", ""));
  // The Mac user copied nothing: there is nothing to send.
  EXPECT_EQ(session.eventsOf<K::FileTransferFailed>().back().text, "No readable local clipboard files");
  requestAndSettle(E::nullDataClass(E::setCurrentFolder, 99));
  EXPECT_EQ(session.eventsOf<K::ClipboardRejected>(),
            std::vector<K::ClipboardRejected>{{"SET_CURRENT_FOLDER payload failed validation"}});
  requestAndSettle(E::nullDataClass(E::getSingleFiles, 99));
  EXPECT_EQ(session.eventsOf<K::SingleFileListFailed>(),
            std::vector<K::SingleFileListFailed>{{"GET_SINGLE_FILES path failed validation"}});
  requestAndSettle(E::string(E::getSingleFiles, 99, "/nonexistent-folder-for-this-test"));
  EXPECT_EQ(session.countOf<K::SingleFileListFailed>(), 2u);
  requestAndSettle(E::string(E::getSingleFiles + 1, 99, "{}"));
  requestAndSettle(E::nullDataClass(E::setSingleCommands, 99));
  EXPECT_EQ(session.eventsOf<K::SingleFileCommandFailed>().back().text,
            "SET_SINGLE_CMDS payload failed validation");
  EXPECT_EQ(session.countOf<K::SingleFileCommandFailed>(), 2u);
  requestAndSettle(E::nullDataClass(E::getScreen, 99));
  requestAndSettle(E::nullDataClass(E::getScreenInfo, 99));
  EXPECT_EQ(session.eventsOf<K::ScreenStreamError>(),
            std::vector<K::ScreenStreamError>(2, {"GET_SCREEN payload failed ScreenInfo validation"}));

  // While an update is being installed the listing is refused before anything else.
  ASSERT_TRUE(session.gate->reserveInstallationIfIdle(Uuid::random(), 0));
  requestAndSettle(E::string(E::getSingleFiles, 99, "/"));
  EXPECT_EQ(session.eventsOf<K::SingleFileListFailed>().back().text, "Update installation in progress");
  session.gate->cancelInstallation(std::nullopt);
  // Nothing but system-information replies was sent.
  for (const auto& reply : replies()) EXPECT_EQ(E::kindAt228(reply.payload), 82u);
}

TEST_F(LoopbackSession, RequestsAreServedOneAtATimeInArrivalOrder) {
  connect();
  session.comInfo->hold();
  request(E::nullDataClass(E::getComInfo, 99));
  request(E::nullDataClass(E::reboot, 99));
  request(E::nullDataClass(E::getCurrentFolder, 99));
  ASSERT_TRUE(session.waitFor([&] { return session.comInfo->waiting() == 1; }));
  drain(io);
  EXPECT_EQ(session.executor->rebootRequests(), 0);
  EXPECT_EQ(session.countOf<K::LegacyManagerCommand>(), 1u);
  session.comInfo->release();
  ASSERT_TRUE(waitForReplies(2));
  EXPECT_EQ(E::kindAt228(replies()[0].payload), 82u);
  EXPECT_EQ(E::kindAt228(replies()[1].payload), 35u);
  EXPECT_LT(replies()[0].timestamp, replies()[1].timestamp);
  EXPECT_EQ(session.executor->rebootRequests(), 1);
}

// ---- clipboard to the manager -------------------------------------------------------------------

TEST_F(LoopbackSession, ClipboardSendsUseTheSessionsConnectionNumber) {
  session.run(session.client->sendLocalClipboardText("ignored while idle"));
  EXPECT_TRUE(session.events->mirrored().empty());
  connect();
  session.run(session.client->sendLocalClipboardText("hi"));
  session.run(session.client->sendLocalClipboardImagePNG(E::tinyPNG()));
  session.run(session.client->notifyLocalClipboardFiles({"https://example.invalid/a", "file:///tmp/a.txt"}));
  ASSERT_TRUE(waitForReplies(3));
  EXPECT_EQ(replies()[0].payload, E::string(E::clipboardText, 7, "hi"));
  EXPECT_EQ(replies()[1].payload, E::imagePNG(7, E::tinyPNG()));
  EXPECT_EQ(replies()[2].payload, E::nullDataClass(E::clipboardFile, 7));
  for (const auto& reply : replies()) EXPECT_EQ(reply.comNum, 7);
  EXPECT_EQ(replies()[0].timestamp, 2);
  EXPECT_EQ(replies()[2].timestamp, 4);
  EXPECT_EQ(session.eventsOf<K::ClipboardSent>(),
            (std::vector<K::ClipboardSent>{
                {"text", 2, 1}, {"image", static_cast<long long>(E::tinyPNG().size()), 1}, {"files", 0, 1}}));
}

// ---- hostile manager ----------------------------------------------------------------------------

TEST_F(LoopbackSession, BadSignatureAfterRegistrationFailsTheSession) {
  connect();
  manager.send(Bytes(12, 0x00));
  ASSERT_TRUE(waitForEvents<K::Disconnect>(1));
  EXPECT_EQ(session.state(), DirectAuthState::failed);
  EXPECT_EQ(session.lastError(),
            DirectAuthError::malformedResponse("Vantrel frame invalid signature: got 0x00, expected 0xFE."));
}

TEST_F(LoopbackSession, OversizedChunkFailsTheSession) {
  connect();
  manager.send(ManagerWire::header(1, 0, 1, 0, 60001, 0));
  ASSERT_TRUE(waitForEvents<K::Disconnect>(1));
  EXPECT_EQ(session.lastError(),
            DirectAuthError::malformedResponse("Vantrel frame chunkSize 60001 exceeds maximum 60000."));
}

TEST_F(LoopbackSession, GarbageEnvelopesAndBrokenMessagesAreSurvived) {
  connect();
  request(toBytes("definitely not an envelope"));
  const Bytes prefix = E::prefix(E::getComInfo, 0);
  request(Bytes(prefix.begin(), prefix.begin() + 231));
  Bytes noMarker = E::nullDataClass(E::getComInfo, 0);
  noMarker[214] = 0x08;
  request(noMarker);
  // A message announcing more chunks than fit, with two of its chunks.
  manager.send(ManagerWire::header(1, 0, 1200, 77, 3, 0));
  manager.send(Bytes{1, 2, 3});
  manager.send(ManagerWire::header(1, 1, 1200, 77, 3, 0));
  manager.send(Bytes{4, 5, 6});
  // An interrupted message, then a chunk without its start.
  const Bytes big = ManagerWire::message(1, E::string(E::clipboardText, 0, std::string(130000, 'x')), 78, 0);
  manager.send(Bytes(big.begin(), big.begin() + 2 * 60012));
  manager.send(ManagerWire::frame(7, Bytes(19, 0)));
  manager.send(ManagerWire::header(1, 2, 3, 79, 1, 0));
  manager.send(Bytes{9});
  request(E::nullDataClass(E::getComInfo, 0));
  ASSERT_TRUE(waitForEvents<K::LegacyComInfoResponseSent>(1));
  EXPECT_EQ(session.state(), DirectAuthState::authenticated);
  EXPECT_TRUE(session.clipboard.empty());
  EXPECT_EQ(session.eventsOf<K::ClipboardRejected>(),
            (std::vector<K::ClipboardRejected>{
                {"manager message dropped: 1200 chunks announced, at most 1120 allowed"},
                {"manager message dropped: interrupted after 2 of 3 chunks"},
                {"manager message dropped: chunk 3 of 3 arrived without its start"}}));
  EXPECT_EQ(session.eventsOf<K::InputPacketRejected>(),
            std::vector<K::InputPacketRejected>{{"HEADER_INPUT payload must be exactly 20 bytes"}});
  // Three frames that are not envelopes produced their frame events and nothing else.
  EXPECT_EQ(session.countOf<K::ManagerFrame>(), 4u);
  EXPECT_EQ(session.countOf<K::LegacyManagerCommand>(), 1u);
  EXPECT_EQ(replies().size(), 1u);
}

}  // namespace
}  // namespace vantrel::testing
