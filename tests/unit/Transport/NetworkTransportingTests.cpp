#include <gtest/gtest.h>

#include "Transport/NetworkTransporting.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeTransport.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using E = NetworkTransportError;

TEST(NetworkTransportError, TextsAreExact) {
  const std::pair<E, const char*> cases[] = {
      {E::invalidPort(0), "Port 0 is out of range (1\u202665535)."},
      {E::invalidPort(65535), "Port 65535 is out of range (1\u202665535)."},
      {E::connectionFailed("refused"), "TCP connection failed: refused"},
      {E::connectionFailed(""), "TCP connection failed: "},
      {E::sendFailed("pipe"), "TCP send failed: pipe"},
      {E::receiveFailed("reset"), "TCP receive failed: reset"},
      {E::invalidHost(), "Host must be a non-empty hostname or IP address."},
      {E::notConnected(), "Not connected to a remote endpoint."},
      {E::alreadyConnected(), "Already connected; disconnect before connecting again."},
      {E::disconnected(), "The TCP connection was closed."},
      {E::cancelled(), "The network operation was cancelled."},
      {E::timedOut(), "The network operation timed out."},
  };
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(error.localizedDescription(), text);
    EXPECT_FALSE(error.failureReason().has_value());
  }
}

TEST(NetworkTransportError, EqualityComparesCaseAndPayload) {
  EXPECT_EQ(E::connectionFailed("a"), E::connectionFailed("a"));
  EXPECT_NE(E::connectionFailed("a"), E::connectionFailed("b"));
  EXPECT_NE(E::connectionFailed("a"), E::sendFailed("a"));
  EXPECT_EQ(E::timedOut(), E::timedOut());
  EXPECT_NE(E::invalidPort(1), E::invalidPort(2));
}

TEST(UnimplementedNetworkTransport, EveryCallButDisconnectThrows) {
  asio::io_context io;
  UnimplementedNetworkTransport transport(io.get_executor());
  const std::string text = "Network transport is not implemented.";
  try {
    testing::runAwaitable(io, transport.connect("h", 1));
    FAIL();
  } catch (const UnimplementedNetworkTransport::Error& e) {
    EXPECT_EQ(e.localizedDescription(), text);
  }
  EXPECT_THROW(testing::runAwaitable(io, transport.send(Bytes{1})), UnimplementedNetworkTransport::Error);
  EXPECT_THROW(testing::runAwaitable(io, transport.receive()), UnimplementedNetworkTransport::Error);
  EXPECT_NO_THROW(testing::runAwaitable(io, transport.disconnect()));
}

// The scripted transport the session tests rely on.
class FakeTransportTest : public ::testing::Test {
 protected:
  asio::io_context io;
  ManualClock clock;
  std::shared_ptr<testing::FakeTransport> transport =
      std::make_shared<testing::FakeTransport>(io.get_executor());
};

TEST_F(FakeTransportTest, ReceiveWaitsForQueuedBytesThenEndOfStream) {
  testing::runAwaitable(io, transport->connect("127.0.0.1", 65333));
  EXPECT_EQ(transport->lastPort(), 65333);
  testing::TaskProbe probe;
  Bytes got;
  auto reader = [&]() -> Awaitable<void> { got = co_await transport->receive(); };
  probe.start(io.get_executor(), reader());
  testing::drain(io);
  EXPECT_FALSE(probe.finished());
  EXPECT_EQ(transport->waitingReceives(), 1);
  transport->queueReceive(Bytes{1, 2, 3});
  ASSERT_TRUE(testing::runUntil(io, [&] { return probe.finished(); }));
  EXPECT_EQ(got, (Bytes{1, 2, 3}));
  transport->endOfStream();
  try {
    testing::runAwaitable(io, transport->receive());
    FAIL();
  } catch (const E& e) {
    EXPECT_EQ(e, E::disconnected());
  }
}

TEST_F(FakeTransportTest, TimeoutCancelsAWaitingReceive) {
  testing::runAwaitable(io, transport->connect("h", 1));
  testing::TaskProbe probe;
  probe.start(io.get_executor(), withTimeout(transport->receive(), 1s));
  testing::drain(io);
  clock.advance(1s);
  ASSERT_TRUE(testing::runUntil(io, [&] { return probe.finished(); }));
  EXPECT_THROW(std::rethrow_exception(probe.error()), TimeoutError);
  EXPECT_EQ(transport->waitingReceives(), 0);
}

TEST_F(FakeTransportTest, HeldSendsCompleteInOrderOneByOne) {
  testing::runAwaitable(io, transport->connect("h", 1));
  transport->holdSends(true);
  testing::TaskProbe a, b;
  a.start(io.get_executor(), transport->send(Bytes{1}));
  b.start(io.get_executor(), transport->send(Bytes{2}));
  testing::drain(io);
  EXPECT_EQ(transport->heldSendCount(), 2u);
  EXPECT_TRUE(transport->sent().empty());
  transport->releaseOneSend();
  ASSERT_TRUE(testing::runUntil(io, [&] { return a.finished(); }));
  testing::drain(io);
  EXPECT_FALSE(b.finished());
  EXPECT_EQ(transport->sent(), (std::vector<Bytes>{{1}}));
  transport->releaseAllSends();
  ASSERT_TRUE(testing::runUntil(io, [&] { return b.finished(); }));
  EXPECT_EQ(transport->sentConcatenated(), (Bytes{1, 2}));
  EXPECT_EQ(transport->heldSendCount(), 0u);
}

TEST_F(FakeTransportTest, InjectedErrorsSurface) {
  transport->failNextConnect(std::make_exception_ptr(E::connectionFailed("refused")));
  EXPECT_THROW(testing::runAwaitable(io, transport->connect("h", 1)), E);
  EXPECT_THROW(testing::runAwaitable(io, transport->send(Bytes{1})), E);  // not connected
  testing::runAwaitable(io, transport->connect("h", 1));
  transport->queueReceiveError(std::make_exception_ptr(E::receiveFailed("reset")));
  EXPECT_THROW(testing::runAwaitable(io, transport->receive()), E);
  transport->failSends(std::make_exception_ptr(E::sendFailed("pipe")));
  EXPECT_THROW(testing::runAwaitable(io, transport->send(Bytes{1})), E);
  testing::runAwaitable(io, transport->disconnect());
  EXPECT_EQ(transport->disconnectCount(), 1);
  EXPECT_FALSE(transport->isConnected());
}

}  // namespace
}  // namespace vantrel
