#include <gtest/gtest.h>

#include <cctype>

#include "LoopbackPeers.hpp"
#include "Transport/DirectTCPTransport.hpp"
#include "support/TestCertificates.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::chainPEM;
using testing::PlainPeer;
using testing::runAwaitable;
using testing::runUntil;
using testing::TaskProbe;
using testing::TestCertificate;
using testing::TLSPeer;
using testing::transportErrorOf;
using Phase = DirectTCPTransport::Phase;

constexpr const char* host = "manager.test";

class ManagerTLSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = TestCertificate::make({.commonName = "Test Root", .isCA = true});
    intermediate = TestCertificate::make({.commonName = "Test Intermediate", .isCA = true}, root.get());
    leaf = TestCertificate::make({.commonName = host, .dnsNames = {host}}, intermediate.get());
  }

  std::shared_ptr<DirectTCPTransport> transportWith(std::string pin, std::optional<Bytes> anchor,
                                                    std::string serverName = host) {
    return DirectTCPTransport::create(
        io.get_executor(), ManagerTLSPolicy(std::move(serverName), std::move(pin), std::move(anchor)), 10);
  }

  std::unique_ptr<TLSPeer> peerPresenting(const TestCertificate& server,
                                          std::vector<const TestCertificate*> rest) {
    rest.insert(rest.begin(), &server);
    auto peer = std::make_unique<TLSPeer>(io, chainPEM(rest), server.privateKeyPEM());
    peer->serveOne("greetings over tls");
    return peer;
  }

  // Connects and checks that the handshake is refused and the transport may try again.
  void expectRejected(const std::shared_ptr<DirectTCPTransport>& transport, TLSPeer& peer) {
    const auto error = transportErrorOf(io, transport->connect("127.0.0.1", peer.port()));
    EXPECT_EQ(error.kind(), NetworkTransportError::Case::connectionFailed);
    EXPECT_FALSE(error.detail().empty());
    EXPECT_EQ(transport->phase(), Phase::failed);
    EXPECT_EQ(transportErrorOf(io, transport->receive()), NetworkTransportError::notConnected());
    // A new attempt is allowed (and fails the same way, not with alreadyConnected).
    peer.serveOne("again");
    const auto second = transportErrorOf(io, transport->connect("127.0.0.1", peer.port()));
    EXPECT_EQ(second.kind(), NetworkTransportError::Case::connectionFailed);
  }

  asio::io_context io;
  std::shared_ptr<TestCertificate> root, intermediate, leaf;
};

TEST_F(ManagerTLSTest, ChainToEnrolledAnchorIsAcceptedAndCarriesData) {
  auto peer = peerPresenting(*leaf, {intermediate.get()});
  auto transport = transportWith(leaf->sha256(), root->der());
  runAwaitable(io, io.get_executor(), transport->connect("127.0.0.1", peer->port()));
  EXPECT_EQ(transport->phase(), Phase::ready);
  EXPECT_EQ(peer->serverName(), host);

  Bytes got;
  while (got.size() < 18) append(got, runAwaitable(io, io.get_executor(), transport->receive()));
  EXPECT_EQ(toString(got), "greetings over tls");
  runAwaitable(io, io.get_executor(), transport->send(toBytes("ping")));
  EXPECT_EQ(toString(peer->read(4)), "ping");
}

// Which chains, pins and names the policy accepts is ManagerTLSPolicy's unit tests; here: the
// handshake asks for the configured name and a refusal fails the connect and allows a retry.
TEST_F(ManagerTLSTest, WrongHostNameIsRejectedEvenWithMatchingPin) {
  auto peer = peerPresenting(*leaf, {intermediate.get()});
  expectRejected(transportWith(leaf->sha256(), root->der(), "other.test"), *peer);
  EXPECT_EQ(peer->serverName(), "other.test");
}

TEST_F(ManagerTLSTest, PeerThatNeverFinishesTheHandshakeTimesOut) {
  ManualClock clock;
  PlainPeer silent(io);  // accepts, then says nothing
  silent.acceptOne();
  auto transport =
      DirectTCPTransport::create(io.get_executor(), ManagerTLSPolicy(host, leaf->sha256(), root->der()), 3);
  TaskProbe connecting;
  connecting.start(io.get_executor(), transport->connect("127.0.0.1", silent.port()));
  ASSERT_TRUE(runUntil(io, [&] { return silent.hasAccepted(); }));
  testing::drain(io);
  clock.advance(2900ms);
  testing::drain(io);
  EXPECT_FALSE(connecting.finished());
  EXPECT_EQ(transport->phase(), Phase::connecting);
  clock.advance(100ms);
  ASSERT_TRUE(runUntil(io, [&] { return connecting.finished(); }));
  try {
    std::rethrow_exception(connecting.error());
  } catch (const NetworkTransportError& e) {
    EXPECT_EQ(e, NetworkTransportError::timedOut());
  }
  EXPECT_EQ(transport->phase(), Phase::failed);
  EXPECT_TRUE(silent.seesClose());
}

TEST_F(ManagerTLSTest, DisconnectDuringTheHandshakeMakesConnectThrowCancelled) {
  ManualClock clock;
  PlainPeer silent(io);
  silent.acceptOne();
  auto transport = transportWith(leaf->sha256(), root->der());
  TaskProbe connecting;
  connecting.start(io.get_executor(), transport->connect("127.0.0.1", silent.port()));
  ASSERT_TRUE(runUntil(io, [&] { return silent.hasAccepted(); }));
  testing::drain(io);
  runAwaitable(io, io.get_executor(), transport->disconnect());
  ASSERT_TRUE(runUntil(io, [&] { return connecting.finished(); }));
  try {
    std::rethrow_exception(connecting.error());
  } catch (const NetworkTransportError& e) {
    EXPECT_EQ(e, NetworkTransportError::cancelled());
  }
  EXPECT_EQ(transport->phase(), Phase::failed);
  EXPECT_TRUE(silent.seesClose());
}

TEST_F(ManagerTLSTest, ConnectRacedWithATimeOutIsCancelledAndTheTransportRecovers) {
  ManualClock clock;
  PlainPeer silent(io);
  silent.acceptOne();
  auto transport = transportWith(leaf->sha256(), root->der());
  TaskProbe raced;
  raced.start(io.get_executor(), withTimeout(transport->connect("127.0.0.1", silent.port()), 2s));
  ASSERT_TRUE(runUntil(io, [&] { return silent.hasAccepted(); }));
  testing::drain(io);
  clock.advance(2s);
  ASSERT_TRUE(runUntil(io, [&] { return raced.finished(); }));
  EXPECT_THROW(std::rethrow_exception(raced.error()), TimeoutError);
  EXPECT_EQ(transport->phase(), Phase::failed);
  EXPECT_TRUE(silent.seesClose());

  auto peer = peerPresenting(*leaf, {intermediate.get()});
  runAwaitable(io, io.get_executor(), transport->connect("127.0.0.1", peer->port()));
  EXPECT_EQ(transport->phase(), Phase::ready);
}

}  // namespace
}  // namespace vantrel
