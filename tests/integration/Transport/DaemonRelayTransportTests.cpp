#include <gtest/gtest.h>

#include <unistd.h>

#include <asio/bind_cancellation_slot.hpp>

#include "FakeRelayDaemon.hpp"
#include "LoopbackPeers.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "Transport/DaemonRelayXPC.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using relayipc::Operation;
using relayipc::Reply;
using relayipc::Request;
using testing::errorOf;
using testing::FakeRelayDaemon;
using testing::runAwaitable;
using testing::runUntil;
using testing::TaskProbe;
using testing::TemporaryHome;
using testing::transportErrorOf;

const auto unavailable = NetworkTransportError::connectionFailed("daemon_unavailable_or_signature_rejected");
const auto replyTimeout = NetworkTransportError::connectionFailed("daemon_reply_timeout");

// This test program stands in for the daemon's executable.
std::optional<CodeIdentity> selfIsTheDaemon(const PeerCredentials& peer) {
  if (peer.pid != ::getpid()) return std::nullopt;
  return CodeIdentity{XPCPeerPolicy::teamID, XPCPeerPolicy::daemonID};
}

class DaemonRelayTransportTest : public ::testing::Test {
 protected:
  DaemonRelayTransportTest() : socketPath(paths::relaySocketPath(VantrelMacDaemonRelay::machServiceName)) {}

  std::shared_ptr<DaemonRelayTransport> makeTransport() {
    DaemonRelayTransport::Options options;
    options.identityResolver = &selfIsTheDaemon;
    return DaemonRelayTransport::create(io.get_executor(), std::move(options));
  }

  void startDaemon() { daemon = std::make_unique<FakeRelayDaemon>(io, socketPath); }

  TemporaryHome home;
  asio::io_context io;
  std::filesystem::path socketPath;
  std::unique_ptr<FakeRelayDaemon> daemon;
};

TEST_F(DaemonRelayTransportTest, ConnectPassesTheHostAsGivenAndPortZero) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("  manager.test\n", 0));
  ASSERT_EQ(daemon->requests().size(), 1u);
  EXPECT_EQ(daemon->requests()[0].operation, Operation::connect);
  EXPECT_EQ(daemon->requests()[0].host, "  manager.test\n");
  EXPECT_EQ(daemon->requests()[0].port, 0);
  runAwaitable(io, io.get_executor(), transport->connect("m", 65535));
  EXPECT_EQ(daemon->requests()[1].port, 65535);
  EXPECT_EQ(daemon->acceptedCount(), 1);  // one relay connection serves every call
}

TEST_F(DaemonRelayTransportTest, BlankHostIsRefusedWithoutContactingTheDaemon) {
  startDaemon();
  auto transport = makeTransport();
  EXPECT_EQ(transportErrorOf(io, transport->connect(" \t\n", 80)), NetworkTransportError::invalidHost());
  EXPECT_EQ(transportErrorOf(io, transport->connect("bad\xFF", 80)), NetworkTransportError::invalidHost());
  testing::drain(io);
  EXPECT_EQ(daemon->acceptedCount(), 0);
  EXPECT_TRUE(daemon->requests().empty());
}

TEST_F(DaemonRelayTransportTest, RepliesMapToResultsAndErrors) {
  startDaemon();
  struct Case {
    const char* name;
    std::function<std::optional<Reply>(const Request&)> respond;
    std::optional<NetworkTransportError> expectedError;
    std::optional<std::string> expectedData;
  };
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));

  const std::vector<Case> receives = {
      {"data", [](const Request& r) { return FakeRelayDaemon::data(r, toBytes("bytes")); }, std::nullopt,
       "bytes"},
      {"data and error",
       [](const Request& r) { return FakeRelayDaemon::data(r, toBytes("bytes"), "read failed"); },
       NetworkTransportError::receiveFailed("read failed"), std::nullopt},
      {"error only", [](const Request& r) { return FakeRelayDaemon::data(r, std::nullopt, ""); },
       NetworkTransportError::receiveFailed(""), std::nullopt},
      {"empty data", [](const Request& r) { return FakeRelayDaemon::data(r, Bytes{}); },
       NetworkTransportError::disconnected(), std::nullopt},
      {"no data", [](const Request& r) { return FakeRelayDaemon::data(r, std::nullopt); },
       NetworkTransportError::disconnected(), std::nullopt},
  };
  for (const auto& c : receives) {
    daemon->setResponder(c.respond);
    if (c.expectedError) {
      EXPECT_EQ(transportErrorOf(io, transport->receive()), *c.expectedError) << c.name;
    } else {
      EXPECT_EQ(toString(runAwaitable(io, io.get_executor(), transport->receive())), *c.expectedData)
          << c.name;
    }
  }

  daemon->setResponder([](const Request& r) { return FakeRelayDaemon::failure(r, "no route to manager"); });
  const auto connectError = transportErrorOf(io, transport->connect("m", 2));
  EXPECT_EQ(connectError, NetworkTransportError::connectionFailed("no route to manager"));
  EXPECT_EQ(connectError.localizedDescription(), "TCP connection failed: no route to manager");
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))),
            NetworkTransportError::sendFailed("no route to manager"));

  daemon->setResponder([](const Request& r) { return FakeRelayDaemon::ok(r); });
  runAwaitable(io, io.get_executor(), transport->send(toBytes("frame")));
  EXPECT_EQ(daemon->requests().back().data, toBytes("frame"));
  runAwaitable(io, io.get_executor(), transport->disconnect());
  EXPECT_EQ(daemon->requests().back().operation, Operation::disconnect);
}

TEST_F(DaemonRelayTransportTest, CallsTimeOutAfterTenSecondsAndReceiveAfterSixty) {
  ManualClock clock;
  startDaemon();
  daemon->setResponder([](const Request&) { return std::nullopt; });  // the daemon never answers
  auto transport = makeTransport();

  TaskProbe connecting;
  connecting.start(io.get_executor(), transport->connect("m", 1));
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  clock.advance(9999ms);
  testing::drain(io);
  EXPECT_FALSE(connecting.finished());
  clock.advance(1ms);
  ASSERT_TRUE(runUntil(io, [&] { return connecting.finished(); }));
  EXPECT_EQ(errorOf(connecting.error()), replyTimeout);
  EXPECT_EQ(replyTimeout.localizedDescription(), "TCP connection failed: daemon_reply_timeout");

  TaskProbe receiving;
  receiving.start(io.get_executor(), transport->receive());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 2; }));
  clock.advance(59s);
  testing::drain(io);
  EXPECT_FALSE(receiving.finished());
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return receiving.finished(); }));
  EXPECT_EQ(errorOf(receiving.error()), replyTimeout);

  // The late reply is dropped; the next receive asks again and gets only the new bytes.
  daemon->answerHeld(1, FakeRelayDaemon::data(daemon->held(1), toBytes("late")));
  testing::drain(io);
  daemon->setResponder([](const Request& r) -> std::optional<Reply> {
    if (r.operation != Operation::receive) return std::nullopt;
    return FakeRelayDaemon::data(r, toBytes("fresh"));
  });
  EXPECT_EQ(toString(runAwaitable(io, io.get_executor(), transport->receive())), "fresh");
}

TEST_F(DaemonRelayTransportTest, MissingDaemonFailsEveryCallAtOnceUntilDisconnect) {
  ManualClock clock;  // never advanced: a failure that waited for a timer would hang
  MemoryLogSink log;
  auto transport = makeTransport();
  EXPECT_EQ(transportErrorOf(io, transport->connect("m", 1)), unavailable);
  EXPECT_EQ(unavailable.localizedDescription(),
            "TCP connection failed: daemon_unavailable_or_signature_rejected");
  startDaemon();  // too late for the connection already made
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), unavailable);
  EXPECT_EQ(transportErrorOf(io, transport->receive()), unavailable);
  testing::drain(io);
  EXPECT_EQ(daemon->acceptedCount(), 0);

  runAwaitable(io, io.get_executor(), transport->disconnect());
  EXPECT_TRUE(log.contains(
      "VantrelMac daemon disconnect failed: connectionFailed(\"daemon_unavailable_or_signature_rejected\")"));
  // After disconnect the next call makes a new relay connection.
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  EXPECT_EQ(daemon->acceptedCount(), 1);
}

TEST_F(DaemonRelayTransportTest, DaemonCrashFailsTheWaitingCallAndLaterOnes) {
  ManualClock clock;
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  TaskProbe receiving;
  receiving.start(io.get_executor(), transport->receive());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  daemon->crash();
  ASSERT_TRUE(runUntil(io, [&] { return receiving.finished(); }));
  EXPECT_EQ(errorOf(receiving.error()), unavailable);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), unavailable);
}

TEST_F(DaemonRelayTransportTest, SendCompletesWhileAReceiveWaits) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  TaskProbe receiving;
  receiving.start(io.get_executor(), transport->receive());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  runAwaitable(io, io.get_executor(), transport->send(toBytes("while waiting")));
  EXPECT_FALSE(receiving.finished());
  daemon->answerHeld(0, FakeRelayDaemon::data(daemon->held(0), toBytes("answer")));
  ASSERT_TRUE(runUntil(io, [&] { return receiving.finished(); }));
  EXPECT_FALSE(receiving.error());
}

TEST_F(DaemonRelayTransportTest, AReceiveWhoseCallerGaveUpHandsItsBytesToTheNextReceive) {
  ManualClock clock;
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  TaskProbe raced;
  raced.start(io.get_executor(), withTimeout(transport->receive(), 5s));
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  clock.advance(5s);
  ASSERT_TRUE(runUntil(io, [&] { return raced.finished(); }));
  EXPECT_THROW(std::rethrow_exception(raced.error()), TimeoutError);

  daemon->answerHeld(0, FakeRelayDaemon::data(daemon->held(0), toBytes("kept")));
  const auto requestsBefore = daemon->requests().size();
  EXPECT_EQ(toString(runAwaitable(io, io.get_executor(), transport->receive())), "kept");
  EXPECT_EQ(daemon->requests().size(), requestsBefore);  // no second receive request
}

TEST_F(DaemonRelayTransportTest, ConnectAndSendRacedWithATimeOutEndWhenTheirCallerGivesUp) {
  ManualClock clock;
  startDaemon();
  daemon->setResponder([](const Request&) { return std::nullopt; });
  auto transport = makeTransport();
  TaskProbe connecting;
  connecting.start(io.get_executor(), withTimeout(transport->connect("m", 1), 5s));
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  clock.advance(5s);
  ASSERT_TRUE(runUntil(io, [&] { return connecting.finished(); }));
  EXPECT_THROW(std::rethrow_exception(connecting.error()), TimeoutError);

  TaskProbe sending;
  sending.start(io.get_executor(), withTimeout(transport->send(toBytes("x")), 5s));
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 2; }));
  clock.advance(5s);
  ASSERT_TRUE(runUntil(io, [&] { return sending.finished(); }));
  EXPECT_THROW(std::rethrow_exception(sending.error()), TimeoutError);

  // Late replies to abandoned calls change nothing; the connection keeps working.
  daemon->answerHeld(0, FakeRelayDaemon::ok(daemon->held(0)));
  daemon->answerHeld(0, FakeRelayDaemon::failure(daemon->held(0), "late"));
  daemon->setResponder(nullptr);
  runAwaitable(io, io.get_executor(), transport->send(toBytes("next")));
  EXPECT_EQ(daemon->requests().back().data, toBytes("next"));
}

TEST_F(DaemonRelayTransportTest, DisconnectEndsAWaitingReceiveWithCancelled) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  TaskProbe receiving;
  receiving.start(io.get_executor(), transport->receive());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  runAwaitable(io, io.get_executor(), transport->disconnect());
  ASSERT_TRUE(runUntil(io, [&] { return receiving.finished(); }));
  EXPECT_EQ(errorOf(receiving.error()), NetworkTransportError::cancelled());
  EXPECT_EQ(daemon->requests().back().operation, Operation::disconnect);
  ASSERT_TRUE(runUntil(io, [&] { return daemon->openClientCount() == 0; }));
}

// Every caller relies on disconnect never throwing: it is their clean-up path, often taken by a
// task that has already been cancelled.
TEST_F(DaemonRelayTransportTest, DisconnectByACallerThatGaveUpStillDisconnectsAndNeverThrows) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  asio::cancellation_signal signal;
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(io, transport->disconnect(),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) {
                   error = e;
                   finished = true;
                 }));
  io.run_one();                               // the call has begun and queued its work
  signal.emit(asio::cancellation_type::all);  // and its caller gives up before that work runs
  ASSERT_TRUE(runUntil(io, [&] { return finished; }));
  EXPECT_FALSE(error);
  EXPECT_EQ(daemon->requests().back().operation, Operation::disconnect);
  ASSERT_TRUE(runUntil(io, [&] { return daemon->openClientCount() == 0; }));
}

TEST_F(DaemonRelayTransportTest, DisconnectFromASilentDaemonGivesUpAfterTenSecondsAndLogs) {
  ManualClock clock;
  MemoryLogSink log;
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  daemon->setResponder([](const Request&) { return std::nullopt; });
  TaskProbe disconnecting;
  disconnecting.start(io.get_executor(), transport->disconnect());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  clock.advance(9s);
  testing::drain(io);
  EXPECT_FALSE(disconnecting.finished());
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return disconnecting.finished(); }));
  EXPECT_FALSE(disconnecting.error());
  EXPECT_TRUE(
      log.contains("VantrelMac daemon disconnect failed: connectionFailed(\"daemon_reply_timeout\")"));

  daemon->setResponder(nullptr);
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  EXPECT_EQ(daemon->acceptedCount(), 2);
}

TEST_F(DaemonRelayTransportTest, DaemonThatFailsThePeerCheckIsRejected) {
  startDaemon();
  // The default identities: this test program is not the product's daemon.
  auto transport = DaemonRelayTransport::create(io.get_executor());
  EXPECT_EQ(transportErrorOf(io, transport->connect("m", 1)), unavailable);
  testing::drain(io);
  EXPECT_EQ(daemon->acceptedCount(), 1);
  EXPECT_TRUE(daemon->requests().empty()) << "nothing may reach a rejected peer";
}

TEST_F(DaemonRelayTransportTest, RequirementThatDoesNotCompileFailsWithoutAConnection) {
  startDaemon();
  DaemonRelayTransport::Options options;
  options.daemonRequirement = "anchor apple generic and identifier";
  options.identityResolver = &selfIsTheDaemon;
  auto transport = DaemonRelayTransport::create(io.get_executor(), std::move(options));
  const auto policy = NetworkTransportError::connectionFailed("invalid_daemon_signature_policy");
  EXPECT_EQ(transportErrorOf(io, transport->connect("m", 1)), policy);
  EXPECT_EQ(transportErrorOf(io, transport->receive()), policy);
  runAwaitable(io, io.get_executor(), transport->disconnect());
  testing::drain(io);
  EXPECT_EQ(daemon->acceptedCount(), 0);
}

TEST_F(DaemonRelayTransportTest, MalformedRepliesInvalidateTheConnection) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  TaskProbe receiving;
  receiving.start(io.get_executor(), transport->receive());
  ASSERT_TRUE(runUntil(io, [&] { return daemon->heldCount() == 1; }));
  daemon->writeRaw(Bytes{0, 0, 0, 5, 0x84, 0, 0, 0, 99});  // a receive reply without its fields
  ASSERT_TRUE(runUntil(io, [&] { return receiving.finished(); }));
  EXPECT_EQ(errorOf(receiving.error()), unavailable);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), unavailable);
}

TEST_F(DaemonRelayTransportTest, SendLargerThanOneRelayMessageIsRefused) {
  startDaemon();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("m", 1));
  EXPECT_EQ(transportErrorOf(io, transport->send(Bytes(relayipc::maximumDataSize + 1, 1))),
            NetworkTransportError::sendFailed("relay_message_too_large"));
  runAwaitable(io, io.get_executor(), transport->send(Bytes(relayipc::maximumDataSize, 2)));
  EXPECT_EQ(daemon->requests().back().data.size(), relayipc::maximumDataSize);
}

}  // namespace
}  // namespace vantrel
