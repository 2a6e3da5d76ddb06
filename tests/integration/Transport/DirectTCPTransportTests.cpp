#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "LoopbackPeers.hpp"
#include "Transport/DirectTCPTransport.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::errorOf;
using testing::PlainPeer;
using testing::runAwaitable;
using testing::runUntil;
using testing::TaskProbe;
using testing::transportErrorOf;
using Phase = DirectTCPTransport::Phase;

// An integer option of this process's TCP socket bound to `localPort`; -1 when there is none.
int optionOfLocalSocket(std::uint16_t localPort, int level, int name) {
  for (int fd = 3; fd < 4096; ++fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
    std::uint16_t port = 0;
    if (address.ss_family == AF_INET) {
      port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    } else if (address.ss_family == AF_INET6) {
      port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    if (port != localPort) continue;
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(fd, level, name, &value, &size) != 0) return -1;
    return value;
  }
  return -1;
}

class DirectTCPTransportTest : public ::testing::Test {
 protected:
  std::shared_ptr<DirectTCPTransport> makeTransport(double timeout = 10) {
    return DirectTCPTransport::create(io.get_executor(), std::nullopt, timeout);
  }

  void connect(const std::shared_ptr<DirectTCPTransport>& transport, PlainPeer& peer,
               const std::string& host = "127.0.0.1") {
    peer.acceptOne();
    runAwaitable(io, io.get_executor(), transport->connect(host, peer.port()));
    ASSERT_TRUE(runUntil(io, [&] { return peer.hasAccepted(); }));
  }

  Bytes receive(const std::shared_ptr<DirectTCPTransport>& transport) {
    return runAwaitable(io, io.get_executor(), transport->receive());
  }

  asio::io_context io;
};

TEST_F(DirectTCPTransportTest, ConnectsToTrimmedHostNameAndCarriesBytesBothWays) {
  PlainPeer peer(io);  // 127.0.0.1 only: a name that also resolves to ::1 must fall through to it
  auto transport = makeTransport();
  connect(transport, peer, " \tlocalhost\r\n");
  EXPECT_EQ(transport->phase(), Phase::ready);

  runAwaitable(io, io.get_executor(), transport->send(toBytes("hello manager")));
  EXPECT_EQ(toString(peer.read(13)), "hello manager");
  peer.write(toBytes("hello agent"));
  Bytes got;
  while (got.size() < 11) append(got, receive(transport));
  EXPECT_EQ(toString(got), "hello agent");

  // Nagle is off on the agent's socket (found among this process's descriptors by its port), and
  // the kernel watches the link: keepalive (idle 30 s, every 10 s, 3 probes) and a 60 s limit
  // for unacknowledged data.
  const auto local = peer.socket().remote_endpoint().port();
  const struct {
    int level, name, expected;
  } options[] = {{IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1},
                 {IPPROTO_TCP, TCP_KEEPIDLE, 30}, {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                 {IPPROTO_TCP, TCP_KEEPCNT, 3},   {IPPROTO_TCP, TCP_USER_TIMEOUT, 60'000}};
  for (const auto& option : options) {
    EXPECT_EQ(optionOfLocalSocket(local, option.level, option.name), option.expected) << option.name;
  }
}

// A manager that stops reading: once the buffers are full, a send stays unacknowledged and the
// kernel ends the connection after the user time-out (made small here), so the send fails
// instead of waiting for ever.
TEST_F(DirectTCPTransportTest, APeerThatStopsReadingFailsASendAfterTheUserTimeout) {
  PlainPeer peer(io);
  TCPLinkSupervision supervision;
  supervision.userTimeout = std::chrono::milliseconds(200);
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10, supervision);
  connect(transport, peer);
  std::optional<NetworkTransportError> failure;
  for (int attempt = 0; attempt < 4096 && !failure; ++attempt) {
    try {
      runAwaitable(io, io.get_executor(), transport->send(Bytes(256 * 1024, 7)));
    } catch (const NetworkTransportError& e) {
      failure = e;
    }
  }
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), NetworkTransportError::Case::sendFailed);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), *failure);
}

TEST_F(DirectTCPTransportTest, WorksOverIPv6Loopback) {
  asio::io_context& ctx = io;
  std::unique_ptr<PlainPeer> peer;
  try {
    peer = std::make_unique<PlainPeer>(ctx, "::1");
  } catch (const std::system_error&) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  auto transport = makeTransport();
  connect(transport, *peer, "::1");
  runAwaitable(io, io.get_executor(), transport->send(toBytes("v6")));
  EXPECT_EQ(toString(peer->read(2)), "v6");
}

TEST_F(DirectTCPTransportTest, SecondConnectIsRefusedAndTheFirstKeepsWorking) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  EXPECT_EQ(transportErrorOf(io, transport->connect("127.0.0.1", peer.port())),
            NetworkTransportError::alreadyConnected());
  // Argument checks come before the phase.
  EXPECT_EQ(transportErrorOf(io, transport->connect("  ", peer.port())),
            NetworkTransportError::invalidHost());
  EXPECT_EQ(transportErrorOf(io, transport->connect("127.0.0.1", 0)), NetworkTransportError::invalidPort(0));
  EXPECT_EQ(transport->phase(), Phase::ready);
  runAwaitable(io, io.get_executor(), transport->send(toBytes("still")));
  EXPECT_EQ(toString(peer.read(5)), "still");

  runAwaitable(io, io.get_executor(), transport->disconnect());
  EXPECT_TRUE(peer.seesClose());
  EXPECT_EQ(transport->phase(), Phase::cancelled);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), NetworkTransportError::notConnected());
  EXPECT_EQ(transportErrorOf(io, transport->receive()), NetworkTransportError::notConnected());

  connect(transport, peer);
  EXPECT_EQ(transport->phase(), Phase::ready);
  runAwaitable(io, io.get_executor(), transport->send(toBytes("again")));
  EXPECT_EQ(toString(peer.read(5)), "again");
}

TEST_F(DirectTCPTransportTest, RefusedPortFailsAtOnceNotAfterTheTimeOut) {
  ManualClock clock;  // never advanced: only an immediate failure can end the connect
  std::uint16_t closedPort = 0;
  {
    PlainPeer gone(io);
    closedPort = gone.port();
  }
  auto transport = makeTransport(60);
  const auto error = transportErrorOf(io, transport->connect("127.0.0.1", closedPort));
  EXPECT_EQ(error.kind(), NetworkTransportError::Case::connectionFailed);
  EXPECT_FALSE(error.detail().empty());
  EXPECT_EQ(error.localizedDescription(), "TCP connection failed: " + error.detail());
  EXPECT_EQ(transport->phase(), Phase::failed);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), NetworkTransportError::notConnected());

  // The transport is reusable after a failure.
  PlainPeer peer(io);
  connect(transport, peer);
  EXPECT_EQ(transport->phase(), Phase::ready);
}

TEST_F(DirectTCPTransportTest, PeerCloseEndsPendingAndLaterReceivesWithDisconnected) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  TaskProbe pending;
  pending.start(io.get_executor(), transport->receive());
  testing::drain(io);
  EXPECT_FALSE(pending.finished());
  peer.socket().close();
  ASSERT_TRUE(runUntil(io, [&] { return pending.finished(); }));
  EXPECT_EQ(errorOf(pending.error()), NetworkTransportError::disconnected());
  EXPECT_EQ(transportErrorOf(io, transport->receive()), NetworkTransportError::disconnected());
  EXPECT_EQ(transport->phase(), Phase::ready);
}

TEST_F(DirectTCPTransportTest, BytesSentWithTheCloseAreDeliveredBeforeDisconnected) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  peer.write(toBytes("last words"));
  peer.socket().shutdown(asio::ip::tcp::socket::shutdown_send);
  Bytes got;
  while (true) {
    try {
      append(got, receive(transport));
    } catch (const NetworkTransportError& e) {
      EXPECT_EQ(e, NetworkTransportError::disconnected());
      break;
    }
  }
  EXPECT_EQ(toString(got), "last words");
}

TEST_F(DirectTCPTransportTest, LargeWriteArrivesInOrderInPiecesOfAtMost64KiB) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  Bytes sent(200000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  peer.write(sent);
  Bytes got;
  std::size_t largest = 0;
  while (got.size() < sent.size()) {
    auto piece = receive(transport);
    ASSERT_FALSE(piece.empty());
    ASSERT_LE(piece.size(), DirectTCPTransport::maximumReadLength);
    largest = std::max(largest, piece.size());
    append(got, piece);
  }
  EXPECT_EQ(got, sent);
  // The bytes were all waiting, so a read takes the full 64 KiB rather than a smaller slice.
  EXPECT_EQ(largest, 65536u);
}

TEST_F(DirectTCPTransportTest, ConcurrentSendsNeverInterleave) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  constexpr int frames = 16;
  constexpr std::size_t frameSize = 300000;  // larger than a socket buffer: writes go in parts
  int finished = 0;
  for (int i = 0; i < frames; ++i) {
    Bytes frame(frameSize, static_cast<std::uint8_t>(i + 1));
    // Sent from outside the strand, as a session and its screen sender would.
    asio::co_spawn(io.get_executor(), transport->send(std::move(frame)), [&](std::exception_ptr e) {
      EXPECT_FALSE(e);
      ++finished;
    });
  }
  const Bytes all = peer.read(frames * frameSize);
  ASSERT_TRUE(runUntil(io, [&] { return finished == frames; }));
  std::vector<bool> seen(frames + 1, false);
  for (int f = 0; f < frames; ++f) {
    const auto first = all[static_cast<std::size_t>(f) * frameSize];
    ASSERT_GE(first, 1);
    ASSERT_LE(first, frames);
    EXPECT_FALSE(seen[first]) << "frame " << int(first) << " twice";
    seen[first] = true;
    for (std::size_t k = 0; k < frameSize; ++k) {
      ASSERT_EQ(all[f * frameSize + k], first) << "bytes of two frames interleaved at frame " << f;
    }
  }
}

TEST_F(DirectTCPTransportTest, DisconnectWhileReceiveWaitsThrowsCancelled) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  TaskProbe pending;
  pending.start(io.get_executor(), transport->receive());
  testing::drain(io);
  ASSERT_FALSE(pending.finished());
  runAwaitable(io, io.get_executor(), transport->disconnect());
  ASSERT_TRUE(runUntil(io, [&] { return pending.finished(); }));
  EXPECT_EQ(errorOf(pending.error()), NetworkTransportError::cancelled());
  EXPECT_EQ(transportErrorOf(io, transport->receive()), NetworkTransportError::notConnected());
  EXPECT_TRUE(peer.seesClose());
}

TEST_F(DirectTCPTransportTest, DisconnectDuringConnectMakesItThrowCancelled) {
  PlainPeer peer(io);
  peer.acceptOne();
  auto transport = makeTransport();
  TaskProbe connecting;
  connecting.start(io.get_executor(), transport->connect("127.0.0.1", peer.port()));
  TaskProbe disconnecting;
  disconnecting.start(io.get_executor(), transport->disconnect());
  ASSERT_TRUE(runUntil(io, [&] { return connecting.finished() && disconnecting.finished(); }));
  EXPECT_EQ(errorOf(connecting.error()), NetworkTransportError::cancelled());
  EXPECT_EQ(transport->phase(), Phase::failed);
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), NetworkTransportError::notConnected());
  connect(transport, peer);
  EXPECT_EQ(transport->phase(), Phase::ready);
}

TEST_F(DirectTCPTransportTest, TimedOutReceiveLosesNoBytes) {
  ManualClock clock;
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  TaskProbe raced;
  raced.start(io.get_executor(), withTimeout(transport->receive(), 1s));
  testing::drain(io);
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return raced.finished(); }));
  EXPECT_THROW(std::rethrow_exception(raced.error()), TimeoutError);
  EXPECT_EQ(transport->phase(), Phase::ready);

  peer.write(toBytes("after the time-out"));
  Bytes got;
  while (got.size() < 18) append(got, receive(transport));
  EXPECT_EQ(toString(got), "after the time-out");
}

TEST_F(DirectTCPTransportTest, CancelledSendsNeverTearTheStream) {
  ManualClock clock;
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  // The peer does not read yet, so this write cannot finish: it begins and stays in flight.
  const Bytes big(32 * 1024 * 1024, 0xAB);
  TaskProbe inFlight;
  inFlight.start(io.get_executor(), withTimeout(transport->send(big), 1s));
  testing::drain(io);
  TaskProbe queued;
  queued.start(io.get_executor(), withTimeout(transport->send(toBytes("never sent")), 1s));
  testing::drain(io);
  clock.advance(1s);
  ASSERT_TRUE(runUntil(io, [&] { return inFlight.finished() && queued.finished(); }));
  EXPECT_THROW(std::rethrow_exception(inFlight.error()), TimeoutError);
  EXPECT_THROW(std::rethrow_exception(queued.error()), TimeoutError);

  TaskProbe later;
  later.start(io.get_executor(), transport->send(toBytes("after")));
  const Bytes got = peer.read(big.size() + 5);
  ASSERT_TRUE(runUntil(io, [&] { return later.finished(); }));
  EXPECT_FALSE(later.error());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin())) << "the begun write was torn";
  EXPECT_EQ(toString(ByteView(got).subspan(big.size())), "after");
}

TEST_F(DirectTCPTransportTest, AFailedWriteFailsEveryLaterSendWithoutWriting) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  // The peer resets the connection: writes fail once the reset has arrived.
  peer.socket().set_option(asio::socket_base::linger(true, 0));
  peer.socket().close();
  std::optional<NetworkTransportError> first;
  for (int attempt = 0; attempt < 1000 && !first; ++attempt) {
    try {
      runAwaitable(io, io.get_executor(), transport->send(Bytes(1024, 1)));
    } catch (const NetworkTransportError& e) {
      first = e;
    }
  }
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind(), NetworkTransportError::Case::sendFailed);
  EXPECT_FALSE(first->detail().empty());
  // A later send could only append to a stream that lost part of a frame: it fails the same way.
  EXPECT_EQ(transportErrorOf(io, transport->send(toBytes("x"))), *first);
  EXPECT_EQ(transport->phase(), Phase::ready);
}

TEST_F(DirectTCPTransportTest, ReleasedTransportClosesItsConnection) {
  PlainPeer peer(io);
  auto transport = makeTransport();
  connect(transport, peer);
  transport.reset();
  EXPECT_TRUE(peer.seesClose());
}

}  // namespace
}  // namespace vantrel
