#include "Transport/DirectTCPTransport.hpp"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>

#include "Support/Outcome.hpp"
#include "Support/Text.hpp"

namespace vantrel {

struct DirectTCPTransport::Connection {
  using TLSStream = asio::ssl::stream<asio::ip::tcp::socket&>;

  struct PendingWrite {
    Bytes data;
    bool begun = false;
    bool done = false;
    std::exception_ptr error;
  };

  // What one read produced: bytes, or the error the next receive throws.
  struct ReadResult {
    Bytes data;
    std::exception_ptr error;
  };

  Connection(const Strand& strand, std::shared_ptr<ManagerTLSOptions> options)
      : resolver(strand),
        socket(strand),
        signal(strand),
        tlsOptions(std::move(options)),
        readBuffer(maximumReadLength) {
    signal.expires_at(VantrelClock::time_point::max());
    if (tlsOptions) tls.emplace(socket, tlsOptions->context);
  }

  // Wakes every operation waiting on this connection so it re-checks its condition. The timer's
  // expiry stays in the far future: cancelling its waits is the wake-up.
  void wake() { signal.cancel(); }

  // Closing is the only way to abandon a write that has begun. Waiting operations end with
  // `cancelled`; queued writes that never began are dropped.
  void close() {
    if (closed) return;
    closed = true;
    std::error_code ignored;
    resolver.cancel();
    socket.close(ignored);
    for (auto& write : writeQueue) {
      write->done = true;
      write->error = std::make_exception_ptr(NetworkTransportError::cancelled());
    }
    writeQueue.clear();
    wake();
  }

  asio::ip::tcp::resolver resolver;
  asio::ip::tcp::socket socket;
  Timer signal;
  std::shared_ptr<ManagerTLSOptions> tlsOptions;
  std::optional<TLSStream> tls;
  bool closed = false;

  bool readInFlight = false;
  bool endOfStream = false;
  std::optional<ReadResult> stashed;
  std::vector<std::uint8_t> readBuffer;

  std::deque<std::shared_ptr<PendingWrite>> writeQueue;
  bool writeInFlight = false;
  // After a failed write the stream may hold part of a buffer; later writes would corrupt it.
  std::optional<std::string> writeFailure;
};

namespace {

using Connection = DirectTCPTransport::Connection;

std::exception_ptr transportError(NetworkTransportError error) {
  return std::make_exception_ptr(std::move(error));
}

// Waits until the connection is woken or this operation is cancelled; false when cancelled.
Awaitable<bool> waitForChange(std::shared_ptr<Connection> connection) {
  std::error_code ignored;
  co_await connection->signal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() == asio::cancellation_type::none;
}

// Prepares an operation body: it checks cancellation itself where it can stop cleanly. Throws
// `cancelled` when the caller gave up before the body started.
Awaitable<void> enterOperation() {
  const auto before = (co_await asio::this_coro::cancellation_state).cancelled();
  co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
  co_await asio::this_coro::throw_if_cancelled(false);
  if (before != asio::cancellation_type::none) throw NetworkTransportError::cancelled();
}

void startRead(const std::shared_ptr<Connection>& c) {
  c->readInFlight = true;
  auto onRead = [c](std::error_code ec, std::size_t count) {
    c->readInFlight = false;
    Connection::ReadResult result;
    if (count > 0) {
      // Bytes that arrive together with an error or the end are still delivered; the next
      // read reports the condition.
      result.data.assign(c->readBuffer.begin(), c->readBuffer.begin() + static_cast<std::ptrdiff_t>(count));
    } else if (c->closed) {
      result.error = transportError(NetworkTransportError::cancelled());
    } else if (!ec || ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
      c->endOfStream = true;
      result.error = transportError(NetworkTransportError::disconnected());
    } else {
      result.error = transportError(NetworkTransportError::receiveFailed(ec.message()));
    }
    c->stashed = std::move(result);
    c->wake();
  };
  auto buffer = asio::buffer(c->readBuffer.data(), c->readBuffer.size());
  if (c->tls) {
    c->tls->async_read_some(buffer, std::move(onRead));
  } else {
    c->socket.async_read_some(buffer, std::move(onRead));
  }
}

void pumpWrites(const std::shared_ptr<Connection>& c) {
  if (c->writeInFlight || c->writeQueue.empty() || c->closed) return;
  auto write = c->writeQueue.front();
  c->writeQueue.pop_front();
  write->begun = true;
  c->writeInFlight = true;
  // No cancellation slot is bound: once begun, the buffer goes out whole or the socket closes.
  auto onWritten = [c, write](std::error_code ec, std::size_t) {
    c->writeInFlight = false;
    if (ec) {
      if (c->closed) {
        write->error = transportError(NetworkTransportError::cancelled());
      } else {
        c->writeFailure = ec.message();
        write->error = transportError(NetworkTransportError::sendFailed(*c->writeFailure));
        for (auto& queued : c->writeQueue) {
          queued->done = true;
          queued->error = transportError(NetworkTransportError::sendFailed(*c->writeFailure));
        }
        c->writeQueue.clear();
      }
    }
    write->done = true;
    c->wake();
    pumpWrites(c);
  };
  auto buffer = asio::buffer(write->data);
  if (c->tls) {
    asio::async_write(*c->tls, buffer, std::move(onWritten));
  } else {
    asio::async_write(c->socket, buffer, std::move(onWritten));
  }
}

// A write waits while more than this much of what was written has not gone out yet. Without it
// the kernel takes megabytes that a slow link needs seconds to carry, and a screen picture queued
// behind them is old when it arrives; with it what waits stays in the program, where the screen
// stream can skip taking pictures that would only queue. A best effort: a kernel without the
// option buffers as before.
constexpr int unsentLowWater = 16 * 1024;

void keepUnsentBytesFew(asio::ip::tcp::socket& socket) {
  const int bytes = unsentLowWater;
  (void)::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes);
}

// The address a host names by itself (an IPv4 or IPv6 address written out), if it is one.
std::optional<asio::ip::tcp::endpoint> literalEndpoint(const std::string& host, std::uint16_t port) {
  std::error_code error;
  const auto address = asio::ip::make_address(host, error);
  if (error) return std::nullopt;
  return asio::ip::tcp::endpoint(address, port);
}

// Name resolution, the TCP handshake and the TLS handshake with its verification. A written-out
// address is connected to as it is: the resolver (and with it DNS and the hosts file) is asked
// only about names.
Awaitable<void> establish(std::shared_ptr<Connection> c, std::string host, std::uint16_t port,
                          TCPLinkSupervision supervision) {
  if (const auto literal = literalEndpoint(host, port)) {
    const std::array<asio::ip::tcp::endpoint, 1> endpoints{*literal};
    co_await asio::async_connect(c->socket, endpoints, asio::use_awaitable);
  } else {
    auto endpoints = co_await c->resolver.async_resolve(
        host, std::to_string(port), asio::ip::tcp::resolver::numeric_service, asio::use_awaitable);
    if (c->closed) throw NetworkTransportError::cancelled();
    co_await asio::async_connect(c->socket, endpoints, asio::use_awaitable);
  }
  if (c->closed) throw NetworkTransportError::cancelled();
  // Small input and control frames must not wait for acknowledgements.
  c->socket.set_option(asio::ip::tcp::no_delay(true));
  superviseTCPLink(c->socket, supervision);
  keepUnsentBytesFew(c->socket);
  if (c->tls) {
    if (!c->tlsOptions->prepare(c->tls->native_handle())) {
      throw NetworkTransportError::connectionFailed("TLS server name rejected");
    }
    co_await c->tls->async_handshake(asio::ssl::stream_base::client, asio::use_awaitable);
    if (c->closed) throw NetworkTransportError::cancelled();
  }
}

std::exception_ptr connectFailure(const std::shared_ptr<Connection>& c, std::exception_ptr error) {
  if (c->closed) return transportError(NetworkTransportError::cancelled());
  try {
    std::rethrow_exception(error);
  } catch (const NetworkTransportError&) {
    return error;
  } catch (const std::system_error& e) {
    return transportError(NetworkTransportError::connectionFailed(e.code().message()));
  } catch (const std::exception& e) {
    return transportError(NetworkTransportError::connectionFailed(e.what()));
  } catch (...) {
    return transportError(NetworkTransportError::connectionFailed("unknown error"));
  }
}

}  // namespace

// Lets the kernel end a connection whose peer has vanished (keepalive probes on an idle link) or
// stopped reading (data unacknowledged for the user time-out), so that the session fails as for
// any transport error instead of waiting for ever.
void superviseTCPLink(asio::ip::tcp::socket& socket, const TCPLinkSupervision& supervision) {
  const int fd = socket.native_handle();
  const auto seconds = [](std::chrono::seconds value) { return static_cast<int>(value.count()); };
  const int on = 1;
  const int idle = seconds(supervision.keepaliveIdle);
  const int interval = seconds(supervision.keepaliveInterval);
  const int probes = supervision.keepaliveProbes;
  const auto userTimeout = static_cast<unsigned int>(supervision.userTimeout.count());
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) != 0) {
    throw NetworkTransportError::connectionFailed(std::string("socket options refused: ") +
                                                  std::strerror(errno));
  }
}

std::shared_ptr<DirectTCPTransport> DirectTCPTransport::create(Executor executor,
                                                               std::optional<ManagerTLSPolicy> tlsPolicy,
                                                               double connectTimeout,
                                                               TCPLinkSupervision supervision) {
  return std::shared_ptr<DirectTCPTransport>(
      new DirectTCPTransport(std::move(executor), std::move(tlsPolicy), connectTimeout, supervision));
}

DirectTCPTransport::DirectTCPTransport(Executor executor, std::optional<ManagerTLSPolicy> tlsPolicy,
                                       double connectTimeout, TCPLinkSupervision supervision)
    : strand_(makeStrand(executor)),
      tlsPolicy_(std::move(tlsPolicy)),
      connectTimeout_(clampConnectTimeout(connectTimeout)),
      supervision_(supervision) {}

DirectTCPTransport::~DirectTCPTransport() {
  // The last reference may go on any thread, but no operation body runs any more (each one
  // holds a reference), so the connection can be taken here.
  if (auto remaining = std::move(connection_)) {
    // The connection's handlers run on the strand; close it there.
    asio::post(strand_, [remaining] { remaining->close(); });
  }
}

double DirectTCPTransport::clampConnectTimeout(double seconds) noexcept {
  if (!std::isfinite(seconds)) return 10.0;
  return std::min(std::max(seconds, 1.0), 60.0);
}

std::shared_ptr<DirectTCPTransport::Connection> DirectTCPTransport::readyConnection() const {
  if (phase_ != Phase::ready || !connection_) return nullptr;
  return connection_;
}

Awaitable<void> DirectTCPTransport::connect(std::string host, std::uint16_t port) {
  return runOn<void>(strand_, connectBody(shared_from_this(), std::move(host), port));
}

Awaitable<void> DirectTCPTransport::disconnect() {
  return runOn<void>(strand_, disconnectBody(shared_from_this()));
}

Awaitable<void> DirectTCPTransport::send(Bytes data) {
  return runOn<void>(strand_, sendBody(shared_from_this(), std::move(data)));
}

Awaitable<Bytes> DirectTCPTransport::receive() {
  return runOn<Bytes>(strand_, receiveBody(shared_from_this()));
}

Awaitable<void> DirectTCPTransport::connectBody(std::shared_ptr<DirectTCPTransport> self, std::string host,
                                                std::uint16_t port) {
  co_await enterOperation();
  const auto trimmedHost = text::trimmed(host);
  if (trimmedHost.empty()) throw NetworkTransportError::invalidHost();
  if (port == 0) throw NetworkTransportError::invalidPort(0);

  if (self->phase_ == Phase::connecting || self->phase_ == Phase::ready) {
    throw NetworkTransportError::alreadyConnected();
  }
  self->phase_ = Phase::connecting;
  const std::uint64_t attempt = ++self->attempt_;

  std::shared_ptr<Connection> c;
  try {
    c = std::make_shared<Connection>(self->strand_, self->tlsPolicy_ ? self->tlsPolicy_->options() : nullptr);
  } catch (const std::exception& e) {
    self->phase_ = Phase::failed;
    throw NetworkTransportError::connectionFailed(e.what());
  }
  self->connection_ = c;

  // The first of ready, failure and time-out decides; a disconnect closes the connection and a
  // cancelled caller cancels the race, both of which end the establishment at once.
  const auto limit = std::chrono::duration_cast<VantrelClock::duration>(
      std::chrono::duration<double>(self->connectTimeout_));
  auto outcome =
      co_await vantrel::attempt(withTimeout(establish(c, trimmedHost, port, self->supervision_), limit));
  std::exception_ptr error;
  const bool callerGaveUp =
      (co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none;
  if (!outcome) {
    error = c->closed || callerGaveUp
                ? transportError(NetworkTransportError::cancelled())
                : matchError(
                      outcome.error(),
                      [](const TimeoutError&) { return transportError(NetworkTransportError::timedOut()); },
                      [&c](const std::exception_ptr& other) { return connectFailure(c, other); });
  } else if (self->attempt_ != attempt || self->phase_ != Phase::connecting || self->connection_ != c ||
             c->closed) {
    // Disconnected between the handshake and here.
    error = transportError(NetworkTransportError::cancelled());
  } else {
    self->phase_ = Phase::ready;
    co_return;
  }
  if (self->attempt_ == attempt) {
    if (self->connection_ == c) self->connection_.reset();
    self->phase_ = Phase::failed;
  }
  c->close();
  std::rethrow_exception(error);
}

Awaitable<void> DirectTCPTransport::disconnectBody(std::shared_ptr<DirectTCPTransport> self) {
  auto taken = std::move(self->connection_);
  self->connection_.reset();
  self->phase_ = Phase::cancelled;
  if (taken) taken->close();
  co_return;
}

Awaitable<void> DirectTCPTransport::sendBody(std::shared_ptr<DirectTCPTransport> self, Bytes data) {
  co_await enterOperation();
  auto c = self->readyConnection();
  if (!c) throw NetworkTransportError::notConnected();
  if (c->closed) throw NetworkTransportError::notConnected();
  if (c->writeFailure) throw NetworkTransportError::sendFailed(*c->writeFailure);

  auto write = std::make_shared<Connection::PendingWrite>();
  write->data = std::move(data);
  c->writeQueue.push_back(write);
  pumpWrites(c);

  while (!write->done) {
    const bool stillWanted = co_await waitForChange(c);
    if (write->done) break;
    if (!stillWanted) {
      if (!write->begun) {
        std::erase(c->writeQueue, write);
      }
      // A write that has begun goes on to its end; only closing the connection stops it.
      throw NetworkTransportError::cancelled();
    }
  }
  if (write->error) std::rethrow_exception(write->error);
}

Awaitable<Bytes> DirectTCPTransport::receiveBody(std::shared_ptr<DirectTCPTransport> self) {
  co_await enterOperation();
  auto c = self->readyConnection();
  if (!c || c->closed) throw NetworkTransportError::notConnected();

  while (true) {
    if (c->closed) throw NetworkTransportError::cancelled();
    if (c->stashed) {
      auto result = std::move(*c->stashed);
      c->stashed.reset();
      if (result.error) std::rethrow_exception(result.error);
      co_return std::move(result.data);
    }
    if (c->endOfStream) throw NetworkTransportError::disconnected();
    if (!c->readInFlight) startRead(c);
    const bool stillWanted = co_await waitForChange(c);
    if (c->closed) throw NetworkTransportError::cancelled();
    // A read that finished while the caller gave up keeps its bytes for the next receive.
    if (!stillWanted) throw NetworkTransportError::cancelled();
  }
}

}  // namespace vantrel
