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

TEST(DirectTCPTransportArguments, AreCheckedBeforeAnythingOpensAndNothingWorksUnconnected) {
  asio::io_context io;
  auto transport = DirectTCPTransport::create(io.get_executor(), std::nullopt, 10);
  auto errorOf = [&](auto op) { return transportErrorOf(io, io.get_executor(), std::move(op)); };
  // A blank host is refused before the port is looked at, without trimming surprises.
  for (const std::string host : {"", " ", " \t\n ", "\r\n", "\u00A0\u3000"}) {
    EXPECT_EQ(errorOf(transport->connect(host, 0)), NetworkTransportError::invalidHost()) << host;
  }
  const auto port = errorOf(transport->connect("127.0.0.1", 0));
  EXPECT_EQ(port, NetworkTransportError::invalidPort(0));
  EXPECT_EQ(port.localizedDescription(), "Port 0 is out of range (1\u202665535).");
  EXPECT_EQ(transport->phase(), DirectTCPTransport::Phase::idle);
  EXPECT_EQ(errorOf(transport->send(toBytes("x"))), NetworkTransportError::notConnected());
  EXPECT_EQ(errorOf(transport->receive()), NetworkTransportError::notConnected());
  // Disconnecting without a connection only records the phase, as often as asked.
  runAwaitable(io, io.get_executor(), transport->disconnect());
  runAwaitable(io, io.get_executor(), transport->disconnect());
  EXPECT_EQ(transport->phase(), DirectTCPTransport::Phase::cancelled);
  EXPECT_EQ(errorOf(transport->receive()), NetworkTransportError::notConnected());
}

}  // namespace
}  // namespace vantrel
