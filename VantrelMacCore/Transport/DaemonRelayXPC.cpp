#include "Transport/DaemonRelayXPC.hpp"

#include <unistd.h>

#include "Support/Outcome.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

using relayipc::Operation;
using relayipc::Reply;
using relayipc::Request;

std::exception_ptr failure(NetworkTransportError error) { return std::make_exception_ptr(std::move(error)); }

// The error as the system renders a value in text: the case name, with its payload.
std::string textualRendering(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const NetworkTransportError& e) {
    using Case = NetworkTransportError::Case;
    switch (e.kind()) {
      case Case::invalidPort: return "invalidPort(" + std::to_string(e.port()) + ")";
      case Case::connectionFailed: return "connectionFailed(\"" + e.detail() + "\")";
      case Case::sendFailed: return "sendFailed(\"" + e.detail() + "\")";
      case Case::receiveFailed: return "receiveFailed(\"" + e.detail() + "\")";
      case Case::invalidHost: return "invalidHost";
      case Case::notConnected: return "notConnected";
      case Case::alreadyConnected: return "alreadyConnected";
      case Case::disconnected: return "disconnected";
      case Case::cancelled: return "cancelled";
      case Case::timedOut: return "timedOut";
    }
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

const SystemLog& relayLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "connection");
  return log;
}

// Throws `cancelled` when the caller gave up before the body started; afterwards the body checks
// cancellation itself where it can stop cleanly.
Awaitable<void> enterOperation() {
  const auto before = (co_await asio::this_coro::cancellation_state).cancelled();
  co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
  co_await asio::this_coro::throw_if_cancelled(false);
  if (before != asio::cancellation_type::none) throw NetworkTransportError::cancelled();
}

template <typename T>
T unwrap(typename XPCReplyGate<T>::Result result) {
  if (auto* error = std::get_if<std::exception_ptr>(&result)) std::rethrow_exception(*error);
  return std::get<T>(std::move(result));
}

XPCReplyGate<bool>::Result acknowledged(const Reply&) { return true; }

}  // namespace

std::shared_ptr<DaemonRelayTransport> DaemonRelayTransport::create(Executor executor) {
  return create(std::move(executor), Options());
}

std::shared_ptr<DaemonRelayTransport> DaemonRelayTransport::create(Executor executor, Options options) {
  return std::shared_ptr<DaemonRelayTransport>(
      new DaemonRelayTransport(std::move(executor), std::move(options)));
}

DaemonRelayTransport::DaemonRelayTransport(Executor executor, Options options)
    : strand_(makeStrand(executor)), options_(std::move(options)) {}

DaemonRelayTransport::~DaemonRelayTransport() {
  if (auto connection = std::move(connection_)) {
    asio::post(strand_, [connection] { connection->invalidate(); });
  }
}

template <typename T>
std::shared_ptr<XPCReplyGate<T>> DaemonRelayTransport::startCall(VantrelClock::duration timeout,
                                                                 Request request, Mapping<T> mapping) {
  if (!connection_) {
    auto requirement = CodeRequirement::compile(options_.daemonRequirement);
    if (!requirement) {
      throw NetworkTransportError::connectionFailed(DaemonRelayFailure::invalidSignaturePolicy);
    }
    auto path = options_.socketPath.value_or(paths::relaySocketPath(VantrelMacDaemonRelay::machServiceName));
    // The daemon runs as root (or, in a per-user setup, as this user) and is the program the
    // requirement names.
    auto check = [requirement = std::move(*requirement),
                  resolver = options_.identityResolver](const PeerCredentials& peer) {
      if (peer.uid != 0 && peer.uid != ::geteuid()) return false;
      return requirement.isSatisfiedBy(peer, resolver);
    };
    connection_ = RelayIPCClient::create(strand_, std::move(path), std::move(check));
    connection_->resume();
  }

  auto gate = std::make_shared<XPCReplyGate<T>>(strand_, VantrelClock::now() + timeout);
  outstanding_.remove_if([](const auto& weak) { return weak.expired(); });
  outstanding_.push_back(gate);

  connection_->call(std::move(request), [gate, mapping = std::move(mapping)](std::optional<Reply> reply) {
    if (!reply) {
      gate->fail(failure(NetworkTransportError::connectionFailed(DaemonRelayFailure::unavailableOrRejected)));
      return;
    }
    gate->finish(mapping(*reply));
  });
  return gate;
}

template <typename T>
Awaitable<std::optional<typename XPCReplyGate<T>::Result>> DaemonRelayTransport::awaitReply(
    std::shared_ptr<XPCReplyGate<T>> gate) {
  const auto remaining = gate->deadline() - VantrelClock::now();
  if (!gate->isFinished() && remaining <= VantrelClock::duration::zero()) {
    gate->fail(failure(NetworkTransportError::connectionFailed(DaemonRelayFailure::replyTimeout)));
  }
  if (!gate->isFinished()) {
    auto waited = co_await vantrel::attempt(withTimeout(gate->wait(), remaining));
    if (waited && !*waited) throw NetworkTransportError::cancelled();
    if (!waited) {
      matchError(
          waited.error(),
          [&gate](const TimeoutError&) {
            return gate->fail(
                failure(NetworkTransportError::connectionFailed(DaemonRelayFailure::replyTimeout)));
          },
          [](const std::exception_ptr&) -> bool { throw NetworkTransportError::cancelled(); });
    }
  }
  co_return gate->take();
}

template <typename T>
Awaitable<T> DaemonRelayTransport::invoke(std::shared_ptr<DaemonRelayTransport> self,
                                          VantrelClock::duration timeout, Request request,
                                          Mapping<T> mapping) {
  auto gate = self->startCall<T>(timeout, std::move(request), std::move(mapping));
  auto result = co_await awaitReply(gate);
  co_return unwrap<T>(std::move(*result));
}

Awaitable<void> DaemonRelayTransport::connect(std::string host, std::uint16_t port) {
  return runOn<void>(strand_, connectBody(shared_from_this(), std::move(host), port));
}

Awaitable<void> DaemonRelayTransport::disconnect() {
  return runOn<void>(strand_, disconnectBody(shared_from_this()));
}

Awaitable<void> DaemonRelayTransport::send(Bytes data) {
  return runOn<void>(strand_, sendBody(shared_from_this(), std::move(data)));
}

Awaitable<Bytes> DaemonRelayTransport::receive() {
  return runOn<Bytes>(strand_, receiveBody(shared_from_this()));
}

Awaitable<void> DaemonRelayTransport::connectBody(std::shared_ptr<DaemonRelayTransport> self,
                                                  std::string host, std::uint16_t port) {
  co_await enterOperation();
  // Only the emptiness test uses the trimmed host; the daemon gets the text as passed. A host
  // that is not text cannot name anything and cannot be carried.
  if (text::trimmed(host).empty() || !text::isValidUTF8(host) || host.size() > relayipc::maximumTextSize) {
    throw NetworkTransportError::invalidHost();
  }
  Request request;
  request.operation = Operation::connect;
  request.host = std::move(host);
  request.port = static_cast<std::int64_t>(port);
  (void)co_await invoke<bool>(self, requestTimeout, std::move(request),
                              [](const Reply& reply) -> XPCReplyGate<bool>::Result {
                                if (reply.errorText) {
                                  return failure(NetworkTransportError::connectionFailed(*reply.errorText));
                                }
                                return true;
                              });
}

Awaitable<void> DaemonRelayTransport::sendBody(std::shared_ptr<DaemonRelayTransport> self, Bytes data) {
  co_await enterOperation();
  if (data.size() > relayipc::maximumDataSize) {
    throw NetworkTransportError::sendFailed(DaemonRelayFailure::messageTooLarge);
  }
  Request request;
  request.operation = Operation::send;
  request.data = std::move(data);
  (void)co_await invoke<bool>(self, requestTimeout, std::move(request),
                              [](const Reply& reply) -> XPCReplyGate<bool>::Result {
                                if (reply.errorText) {
                                  return failure(NetworkTransportError::sendFailed(*reply.errorText));
                                }
                                return true;
                              });
}

Awaitable<Bytes> DaemonRelayTransport::receiveBody(std::shared_ptr<DaemonRelayTransport> self) {
  co_await enterOperation();
  while (true) {
    if (!self->pendingReceive_) {
      Request request;
      request.operation = Operation::receive;
      self->pendingReceive_ = self->startCall<Bytes>(
          receiveTimeout, std::move(request), [](const Reply& reply) -> XPCReplyGate<Bytes>::Result {
            if (reply.errorText) {
              return failure(NetworkTransportError::receiveFailed(*reply.errorText));
            }
            if (reply.data && !reply.data->empty()) return *reply.data;
            return failure(NetworkTransportError::disconnected());
          });
    }
    auto gate = self->pendingReceive_;
    auto result = co_await awaitReply(gate);
    if (self->pendingReceive_ == gate) self->pendingReceive_.reset();
    if (!result) continue;  // another receive took this reply; ask again
    co_return unwrap<Bytes>(std::move(*result));
  }
}

Awaitable<void> DaemonRelayTransport::disconnectBody(std::shared_ptr<DaemonRelayTransport> self) {
  // A clean-up path: it runs to its end (at most the request time-out) and never throws, even for
  // a caller that gives up, so that the daemon always hears of it.
  co_await asio::this_coro::reset_cancellation_state(
      [](asio::cancellation_type) { return asio::cancellation_type::none; });
  co_await asio::this_coro::throw_if_cancelled(false);
  auto connection = self->connection_;
  if (!connection) co_return;

  // Operations still waiting end now, as they do on a direct connection.
  auto outstanding = std::move(self->outstanding_);
  self->outstanding_.clear();
  for (auto& weak : outstanding) {
    if (auto gate = weak.lock()) gate->fail(failure(NetworkTransportError::cancelled()));
  }
  self->pendingReceive_.reset();

  std::exception_ptr error;
  try {
    Request request;
    request.operation = Operation::disconnect;
    (void)co_await invoke<bool>(self, requestTimeout, std::move(request), &acknowledged);
  } catch (...) {
    error = std::current_exception();
  }
  if (error) {
    try {
      relayLog().notice("VantrelMac daemon disconnect failed: {}", textualRendering(error));
    } catch (...) {
    }
  }
  connection->invalidate();
  if (self->connection_ == connection) self->connection_.reset();
}

}  // namespace vantrel
