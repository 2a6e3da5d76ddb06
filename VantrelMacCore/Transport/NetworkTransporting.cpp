#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

std::optional<std::string> NetworkTransportError::errorDescription() const {
  switch (case_) {
    case Case::invalidPort: return "Port " + std::to_string(port_) + " is out of range (1\u202665535).";
    case Case::connectionFailed: return "TCP connection failed: " + detail_;
    case Case::sendFailed: return "TCP send failed: " + detail_;
    case Case::receiveFailed: return "TCP receive failed: " + detail_;
    case Case::invalidHost: return "Host must be a non-empty hostname or IP address.";
    case Case::notConnected: return "Not connected to a remote endpoint.";
    case Case::alreadyConnected: return "Already connected; disconnect before connecting again.";
    case Case::disconnected: return "The TCP connection was closed.";
    case Case::cancelled: return "The network operation was cancelled.";
    case Case::timedOut: return "The network operation timed out.";
  }
  return std::nullopt;
}

Awaitable<void> UnimplementedNetworkTransport::connect(std::string, std::uint16_t) {
  throw Error::notImplemented();
  co_return;
}

Awaitable<void> UnimplementedNetworkTransport::disconnect() { co_return; }

Awaitable<void> UnimplementedNetworkTransport::send(Bytes) {
  throw Error::notImplemented();
  co_return;
}

Awaitable<Bytes> UnimplementedNetworkTransport::receive() {
  throw Error::notImplemented();
  co_return Bytes{};
}

}  // namespace vantrel
