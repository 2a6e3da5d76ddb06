#include "support/ManagerSimulator.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/write.hpp>

#include <deque>
#include <mutex>

namespace vantrel::testing {

using asio::ip::tcp;

namespace {

struct Connection {
  Connection(Strand strand, int index) : socket(strand), wake(strand), resume(strand), index(index) {
    wake.expires_at(VantrelClock::time_point::max());
    resume.expires_at(VantrelClock::time_point::max());
  }
  tcp::socket socket;
  Timer wake;    // cancelled to wake the writer
  Timer resume;  // cancelled to wake a paused reader
  std::deque<Bytes> outgoing;
  bool closed = false;
  bool answeredAuth = false;
  int index;
};

}  // namespace

struct ManagerSimulator::Impl : std::enable_shared_from_this<ManagerSimulator::Impl> {
  explicit Impl(Executor executor) : strand(makeStrand(executor)), acceptor(strand) {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    listeningPort = acceptor.local_endpoint().port();
  }

  Strand strand;
  tcp::acceptor acceptor;
  std::uint16_t listeningPort = 0;
  bool stopped = false;
  bool readingPaused = false;                            // strand only
  std::vector<std::shared_ptr<Connection>> connections;  // strand only

  mutable std::mutex mutex;
  Bytes authReply = ManagerWire::frame(8, Bytes{'1'});
  std::vector<ReceivedFrame> received;
  int accepted = 0;
  bool open = false;
  bool malformed = false;
  std::size_t written = 0;

  Awaitable<void> acceptLoop(std::shared_ptr<Impl> self) {
    while (!stopped) {
      auto connection = std::make_shared<Connection>(strand, 0);
      std::error_code ec;
      co_await acceptor.async_accept(connection->socket, asio::redirect_error(asio::use_awaitable, ec));
      if (ec || stopped) co_return;
      connection->socket.set_option(tcp::no_delay(true));
      {
        std::lock_guard lock(mutex);
        connection->index = accepted++;
        open = true;
      }
      connections.push_back(connection);
      spawnTask(strand, self->readLoop(self, connection), "manager simulator read");
      spawnTask(strand, self->writeLoop(self, connection), "manager simulator write");
    }
  }

  Awaitable<void> readLoop(std::shared_ptr<Impl> self, std::shared_ptr<Connection> connection) {
    Bytes buffer;
    std::uint8_t chunk[65536];
    while (!connection->closed) {
      while (self->readingPaused && !connection->closed) {
        std::error_code ignored;
        connection->resume.expires_at(VantrelClock::time_point::max());
        co_await connection->resume.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
      }
      if (connection->closed) break;
      std::error_code ec;
      const std::size_t n = co_await connection->socket.async_read_some(
          asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
      buffer.insert(buffer.end(), chunk, chunk + n);
      auto frames = ManagerWire::takeFrames(buffer);
      if (!frames) {
        std::lock_guard lock(mutex);
        malformed = true;
        break;
      }
      for (auto& frame : *frames) {
        const bool isAuth = frame.command == 8 && !connection->answeredAuth;
        {
          std::lock_guard lock(mutex);
          received.push_back({connection->index, frame});
        }
        if (isAuth) {
          connection->answeredAuth = true;
          Bytes reply;
          {
            std::lock_guard lock(mutex);
            reply = authReply;
          }
          if (!reply.empty()) enqueue(connection, std::move(reply));
        }
      }
    }
    close(connection);
  }

  Awaitable<void> writeLoop(std::shared_ptr<Impl> self, std::shared_ptr<Connection> connection) {
    (void)self;
    while (!connection->closed) {
      if (connection->outgoing.empty()) {
        std::error_code ec;
        co_await connection->wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        continue;
      }
      Bytes next = std::move(connection->outgoing.front());
      connection->outgoing.pop_front();
      std::error_code ec;
      co_await asio::async_write(connection->socket, asio::buffer(next),
                                 asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
      std::lock_guard lock(mutex);
      written += next.size();
    }
  }

  void enqueue(const std::shared_ptr<Connection>& connection, Bytes raw) {
    if (connection->closed) return;
    connection->outgoing.push_back(std::move(raw));
    connection->wake.cancel();
  }

  void close(const std::shared_ptr<Connection>& connection) {
    if (connection->closed) return;
    connection->closed = true;
    std::error_code ignored;
    connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
    connection->socket.close(ignored);
    connection->wake.cancel();
    connection->resume.cancel();
    std::lock_guard lock(mutex);
    if (!connections.empty() && connections.back() == connection) open = false;
  }

  std::shared_ptr<Connection> newest() const { return connections.empty() ? nullptr : connections.back(); }
};

ManagerSimulator::ManagerSimulator(Executor executor) : impl_(std::make_shared<Impl>(executor)) {
  spawnTask(impl_->strand, impl_->acceptLoop(impl_), "manager simulator accept");
}

ManagerSimulator::~ManagerSimulator() { stop(); }

std::uint16_t ManagerSimulator::port() const { return impl_->listeningPort; }

void ManagerSimulator::setAuthAnswer(AuthAnswer answer) {
  Bytes reply;
  switch (answer) {
    case AuthAnswer::accept: reply = ManagerWire::frame(8, Bytes{'1'}); break;
    case AuthAnswer::reject: reply = ManagerWire::frame(8, Bytes{'0'}); break;
    case AuthAnswer::garbage: reply = toBytes("GARBAGE!!!!!"); break;
    case AuthAnswer::silence: break;
  }
  setAuthReply(std::move(reply));
}

void ManagerSimulator::setAuthReply(Bytes raw) {
  std::lock_guard lock(impl_->mutex);
  impl_->authReply = std::move(raw);
}

void ManagerSimulator::send(Bytes raw) {
  asio::post(impl_->strand, [impl = impl_, raw = std::move(raw)]() mutable {
    if (auto connection = impl->newest()) impl->enqueue(connection, std::move(raw));
  });
}

void ManagerSimulator::pauseReading(bool paused) {
  asio::post(impl_->strand, [impl = impl_, paused] {
    impl->readingPaused = paused;
    if (!paused) {
      for (auto& connection : impl->connections) connection->resume.cancel();
    }
  });
}

void ManagerSimulator::setReceiveBufferSize(int bytes) {
  asio::post(impl_->strand, [impl = impl_, bytes] {
    std::error_code ignored;
    impl->acceptor.set_option(tcp::socket::receive_buffer_size(bytes), ignored);
  });
}

void ManagerSimulator::closeClient() {
  asio::post(impl_->strand, [impl = impl_] {
    if (auto connection = impl->newest()) impl->close(connection);
  });
}

void ManagerSimulator::stop() {
  asio::post(impl_->strand, [impl = impl_] {
    impl->stopped = true;
    std::error_code ignored;
    impl->acceptor.close(ignored);
    for (auto& connection : impl->connections) impl->close(connection);
  });
}

int ManagerSimulator::acceptedCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

bool ManagerSimulator::clientOpen() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->open;
}

std::vector<ManagerSimulator::ReceivedFrame> ManagerSimulator::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::vector<ManagerWire::Frame> ManagerSimulator::framesOf(int connection) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<ManagerWire::Frame> out;
  for (const auto& r : impl_->received) {
    if (r.connection == connection) out.push_back(r.frame);
  }
  return out;
}

std::size_t ManagerSimulator::frameCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received.size();
}

std::vector<ManagerWire::Frame> ManagerSimulator::framesWithCommand(std::uint8_t command,
                                                                    int connection) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<ManagerWire::Frame> out;
  for (const auto& r : impl_->received) {
    if (r.frame.command == command && (connection < 0 || r.connection == connection)) {
      out.push_back(r.frame);
    }
  }
  return out;
}

bool ManagerSimulator::sawMalformedBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->malformed;
}

std::size_t ManagerSimulator::bytesWritten() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->written;
}

}  // namespace vantrel::testing
