#include <gtest/gtest.h>

#include "Transport/NetworkTransporting.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

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

}  // namespace
}  // namespace vantrel
