#include "Transport/DirectTCPTransport.hpp"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <cmath>
#include <deque>

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

// Name resolution, the TCP handshake and the TLS handshake with its verification.
Awaitable<void> establish(std::shared_ptr<Connection> c, std::string host, std::uint16_t port) {
  auto endpoints = co_await c->resolver.async_resolve(
      host, std::to_string(port), asio::ip::tcp::resolver::numeric_service, asio::use_awaitable);
  if (c->closed) throw NetworkTransportError::cancelled();
  co_await asio::async_connect(c->socket, endpoints, asio::use_awaitable);
  if (c->closed) throw NetworkTransportError::cancelled();
  // Small input and control frames must not wait for acknowledgements.
  c->socket.set_option(asio::ip::tcp::no_delay(true));
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

std::shared_ptr<DirectTCPTransport> DirectTCPTransport::create(Executor executor,
                                                               std::optional<ManagerTLSPolicy> tlsPolicy,
                                                               double connectTimeout) {
  return std::shared_ptr<DirectTCPTransport>(
      new DirectTCPTransport(std::move(executor), std::move(tlsPolicy), connectTimeout));
}

DirectTCPTransport::DirectTCPTransport(Executor executor, std::optional<ManagerTLSPolicy> tlsPolicy,
                                       double connectTimeout)
    : strand_(makeStrand(executor)),
      tlsPolicy_(std::move(tlsPolicy)),
      connectTimeout_(clampConnectTimeout(connectTimeout)) {}

DirectTCPTransport::~DirectTCPTransport() {
  std::shared_ptr<Connection> remaining;
  {
    std::lock_guard guard(lock_);
    remaining = std::move(connection_);
  }
  if (remaining) {
    // The connection's handlers run on the strand; close it there.
    asio::post(strand_, [remaining] { remaining->close(); });
  }
}

double DirectTCPTransport::clampConnectTimeout(double seconds) noexcept {
  if (!std::isfinite(seconds)) return 10.0;
  return std::min(std::max(seconds, 1.0), 60.0);
}

DirectTCPTransport::Phase DirectTCPTransport::phase() const {
  std::lock_guard guard(lock_);
  return phase_;
}

std::shared_ptr<DirectTCPTransport::Connection> DirectTCPTransport::readyConnection() const {
  std::lock_guard guard(lock_);
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

  std::uint64_t attempt = 0;
  {
    std::lock_guard guard(self->lock_);
    if (self->phase_ == Phase::connecting || self->phase_ == Phase::ready) {
      throw NetworkTransportError::alreadyConnected();
    }
    self->phase_ = Phase::connecting;
    attempt = ++self->attempt_;
  }

  std::shared_ptr<Connection> c;
  try {
    c = std::make_shared<Connection>(self->strand_, self->tlsPolicy_ ? self->tlsPolicy_->options() : nullptr);
  } catch (const std::exception& e) {
    std::lock_guard guard(self->lock_);
    if (self->attempt_ == attempt) self->phase_ = Phase::failed;
    throw NetworkTransportError::connectionFailed(e.what());
  }
  {
    std::lock_guard guard(self->lock_);
    if (self->attempt_ != attempt || self->phase_ != Phase::connecting) {
      // A disconnect came first: this attempt is over before it opened anything.
      if (self->attempt_ == attempt) self->phase_ = Phase::failed;
      throw NetworkTransportError::cancelled();
    }
    self->connection_ = c;
  }

  // The first of ready, failure, time-out, disconnect and the caller's cancellation decides.
  auto outcome = std::make_shared<OnceResume<std::exception_ptr>>();
  auto finish = [outcome, c](std::exception_ptr error) {
    if (outcome->resume(std::move(error))) c->wake();
  };

  Timer deadline(self->strand_);
  deadline.expires_after(std::chrono::duration_cast<VantrelClock::duration>(
      std::chrono::duration<double>(self->connectTimeout_)));
  deadline.async_wait([finish, weak = std::weak_ptr<Connection>(c)](std::error_code ec) {
    if (ec) return;
    finish(transportError(NetworkTransportError::timedOut()));
    if (auto c = weak.lock()) c->close();
  });

  asio::co_spawn(self->strand_, establish(c, trimmedHost, port), [finish, c](std::exception_ptr error) {
    finish(error ? connectFailure(c, error) : nullptr);
  });

  while (!outcome->hasValue()) {
    const bool stillWanted = co_await waitForChange(c);
    if (!stillWanted) finish(transportError(NetworkTransportError::cancelled()));
  }
  deadline.cancel();
  auto error = outcome->take().value_or(nullptr);

  if (!error) {
    std::lock_guard guard(self->lock_);
    if (self->attempt_ == attempt && self->phase_ == Phase::connecting && self->connection_ == c &&
        !c->closed) {
      self->phase_ = Phase::ready;
      co_return;
    }
    // Disconnected between the handshake and here.
    error = transportError(NetworkTransportError::cancelled());
  }

  {
    std::lock_guard guard(self->lock_);
    if (self->attempt_ == attempt) {
      if (self->connection_ == c) self->connection_.reset();
      self->phase_ = Phase::failed;
    }
  }
  c->close();
  std::rethrow_exception(error);
}

Awaitable<void> DirectTCPTransport::disconnectBody(std::shared_ptr<DirectTCPTransport> self) {
  std::shared_ptr<Connection> taken;
  {
    std::lock_guard guard(self->lock_);
    taken = std::move(self->connection_);
    self->connection_.reset();
    self->phase_ = Phase::cancelled;
  }
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
