#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Transport/DirectTCPTransport.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using testing::runAwaitable;

template <typename T>
NetworkTransportError transportErrorOf(asio::io_context& io, Executor executor, Awaitable<T> op) {
  try {
    (void)runAwaitable<T>(io, executor, std::move(op));
  } catch (const NetworkTransportError& error) {
    return error;
  }
  ADD_FAILURE() << "operation did not throw a NetworkTransportError";
  return NetworkTransportError::connectionFailed("<no error>");
}

TEST(DirectTCPTransportTimeout, ClampsToOneToSixtySecondsAndDefaultsToTen) {
  struct Case {
    double given;
    double expected;
  };
  const Case cases[] = {
      {0.0, 1.0},
      {-5.0, 1.0},
      {0.5, 1.0},
      {1.0, 1.0},
      {10.0, 10.0},
      {59.5, 59.5},
      {60.0, 60.0},
      {120.0, 60.0},
      {std::numeric_limits<double>::infinity(), 10.0},
      {-std::numeric_limits<double>::infinity(), 10.0},
      {std::nan(""), 10.0},
  };
  asio::io_context io;
  for (const auto& c : cases) {
    EXPECT_EQ(DirectTCPTransport::clampConnectTimeout(c.given), c.expected) << c.given;
    auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, c.given);
    EXPECT_EQ(transport->connectTimeout(), c.expected) << c.given;
  }
}

TEST(DirectTCPTransportArguments, BlankHostIsRefusedBeforePortAndNothingIsOpened) {
  asio::io_context io;
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10);
  const std::string blanks[] = {"", " ", " \t\n ", "\r\n", "\u00A0\u3000"};
  for (const auto& host : blanks) {
    EXPECT_EQ(transportErrorOf(io, io.get_executor(), transport->connect(host, 0)),
              NetworkTransportError::invalidHost())
        << host;
    EXPECT_EQ(transport->phase(), DirectTCPTransport::Phase::idle);
  }
}

TEST(DirectTCPTransportArguments, PortZeroIsRefusedWithItsNumber) {
  asio::io_context io;
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10);
  const auto error = transportErrorOf(io, io.get_executor(), transport->connect("127.0.0.1", 0));
  EXPECT_EQ(error, NetworkTransportError::invalidPort(0));
  EXPECT_EQ(error.localizedDescription(), "Port 0 is out of range (1\u202665535).");
  EXPECT_EQ(transport->phase(), DirectTCPTransport::Phase::idle);
}

TEST(DirectTCPTransportArguments, SendAndReceiveBeforeConnectAreNotConnected) {
  asio::io_context io;
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10);
  EXPECT_EQ(transportErrorOf(io, io.get_executor(), transport->send(toBytes("x"))),
            NetworkTransportError::notConnected());
  EXPECT_EQ(transportErrorOf(io, io.get_executor(), transport->receive()),
            NetworkTransportError::notConnected());
}

TEST(DirectTCPTransportArguments, DisconnectWithoutConnectionOnlySetsThePhase) {
  asio::io_context io;
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10);
  runAwaitable(io, io.get_executor(), transport->disconnect());
  runAwaitable(io, io.get_executor(), transport->disconnect());
  EXPECT_EQ(transport->phase(), DirectTCPTransport::Phase::cancelled);
  EXPECT_EQ(transportErrorOf(io, io.get_executor(), transport->receive()),
            NetworkTransportError::notConnected());
}

}  // namespace
}  // namespace vantrel
