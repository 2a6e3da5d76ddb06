#include "support/FakeTransport.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

#include <set>

namespace vantrel::testing {

// The live transports of one io_context.
struct FakeTransport::Registry {
  std::mutex mutex;
  std::set<FakeTransport*> transports;
};

// Shuts down with the io_context, before the strand and timer services do and before the context
// destroys the handlers still queued in it: a strand or timer destroyed after its context is a use
// after free, and a test may keep a transport longer than the owner of the context lives.
class FakeTransport::ContextEnd final : public asio::execution_context::service {
 public:
  static asio::execution_context::id id;

  explicit ContextEnd(asio::execution_context& context) : service(context) {}

  std::shared_ptr<Registry> join(FakeTransport* transport) {
    std::lock_guard lock(registry_->mutex);
    registry_->transports.insert(transport);
    return registry_;
  }

 private:
  void shutdown() override {
    std::lock_guard lock(registry_->mutex);
    for (auto* transport : registry_->transports) transport->letGoOfContext();
    registry_->transports.clear();
  }

  std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

asio::execution_context::id FakeTransport::ContextEnd::id;

FakeTransport::FakeTransport(Executor executor)
    : strand_(makeStrand(executor)), wakeTimer_(std::in_place, *strand_) {
  wakeTimer_->expires_at(VantrelClock::time_point::max());
  // Joined after the strand and timer exist, so that their services shut down after this one.
  registry_ = asio::use_service<ContextEnd>(asio::query(executor, asio::execution::context)).join(this);
}

FakeTransport::~FakeTransport() {
  std::lock_guard lock(registry_->mutex);
  registry_->transports.erase(this);
}

void FakeTransport::letGoOfContext() {
  std::lock_guard lock(mutex_);
  wakeTimer_.reset();  // pending waits are cancelled into the context's queue, destroyed with it
  strand_.reset();
}

void FakeTransport::wake() {
  std::lock_guard lock(mutex_);
  if (strand_) asio::post(*strand_, [this] { wakeTimer_->cancel(); });
}

// Waits until `wake()` or until this operation is cancelled (then throws `cancelled`).
Awaitable<void> FakeTransport::waitForChange() {
  std::error_code ec;
  // The expiry stays at the far future; `wake()` cancels the pending waits instead, so several
  // operations can wait at once without disturbing each other.
  co_await wakeTimer_->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw NetworkTransportError::cancelled();
}

Awaitable<void> FakeTransport::connect(std::string host, std::uint16_t port) {
  co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
  co_await asio::this_coro::throw_if_cancelled(false);
  co_await asio::post(*strand_, asio::use_awaitable);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    ++connectCount_;
    lastHost_ = host;
    lastPort_ = port;
    if (auto error = std::exchange(connectError_, nullptr)) std::rethrow_exception(error);
    generation = generation_;
  }
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) throw NetworkTransportError::cancelled();
      if (!connectHangs_) {
        connected_ = true;
        co_return;
      }
    }
    co_await waitForChange();
  }
}

Awaitable<void> FakeTransport::disconnect() {
  co_await asio::post(*strand_, asio::use_awaitable);
  {
    std::lock_guard lock(mutex_);
    ++disconnectCount_;
    connected_ = false;
    ++generation_;
  }
  wakeTimer_->cancel();
}

Awaitable<void> FakeTransport::send(Bytes data) {
  co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
  co_await asio::this_coro::throw_if_cancelled(false);
  co_await asio::post(*strand_, asio::use_awaitable);
  std::size_t ticket = 0;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) throw NetworkTransportError::notConnected();
    if (sendError_) std::rethrow_exception(sendError_);
    ticket = sendsStarted_++;
    generation = generation_;
  }
  bool held = false;
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (!holdSends_ || ticket < sendsReleased_) {
        if (held) --heldNow_;
        sent_.push_back(std::move(data));
        co_return;
      }
      if (generation != generation_) {
        if (held) --heldNow_;
        throw NetworkTransportError::sendFailed("connection closed");
      }
      if (!held) {
        held = true;
        ++heldNow_;
      }
    }
    try {
      co_await waitForChange();
    } catch (...) {
      std::lock_guard lock(mutex_);
      --heldNow_;
      throw;
    }
  }
}

Awaitable<Bytes> FakeTransport::receive() {
  co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
  co_await asio::this_coro::throw_if_cancelled(false);
  co_await asio::post(*strand_, asio::use_awaitable);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) throw NetworkTransportError::notConnected();
    generation = generation_;
    ++waitingReceives_;
  }
  struct Leave {
    FakeTransport* self;
    ~Leave() {
      std::lock_guard lock(self->mutex_);
      --self->waitingReceives_;
    }
  } leave{this};
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) throw NetworkTransportError::notConnected();
      if (!incoming_.empty()) {
        auto chunk = std::move(incoming_.front());
        incoming_.pop_front();
        co_return chunk;
      }
      if (endOfStream_) throw NetworkTransportError::disconnected();
    }
    co_await waitForChange();
  }
}

void FakeTransport::queueReceive(Bytes chunk) {
  {
    std::lock_guard lock(mutex_);
    incoming_.emplace_back(std::move(chunk));
  }
  wake();
}

void FakeTransport::endOfStream() {
  {
    std::lock_guard lock(mutex_);
    endOfStream_ = true;
  }
  wake();
}

void FakeTransport::failNextConnect(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  connectError_ = std::move(error);
}

void FakeTransport::setConnectHangs(bool hangs) {
  {
    std::lock_guard lock(mutex_);
    connectHangs_ = hangs;
  }
  wake();
}

void FakeTransport::failSends(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  sendError_ = std::move(error);
}

void FakeTransport::holdSends(bool hold) {
  {
    std::lock_guard lock(mutex_);
    holdSends_ = hold;
    if (hold) sendsReleased_ = sendsStarted_;
  }
  wake();
}

void FakeTransport::releaseOneSend() {
  {
    std::lock_guard lock(mutex_);
    ++sendsReleased_;
  }
  wake();
}

void FakeTransport::releaseAllSends() {
  {
    std::lock_guard lock(mutex_);
    sendsReleased_ = sendsStarted_;
  }
  wake();
}

std::vector<Bytes> FakeTransport::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

Bytes FakeTransport::sentConcatenated() const {
  std::lock_guard lock(mutex_);
  Bytes all;
  for (const auto& chunk : sent_) append(all, chunk);
  return all;
}

std::size_t FakeTransport::heldSendCount() const {
  std::lock_guard lock(mutex_);
  return heldNow_;
}

int FakeTransport::connectCount() const {
  std::lock_guard lock(mutex_);
  return connectCount_;
}

int FakeTransport::disconnectCount() const {
  std::lock_guard lock(mutex_);
  return disconnectCount_;
}

std::string FakeTransport::lastHost() const {
  std::lock_guard lock(mutex_);
  return lastHost_;
}

std::uint16_t FakeTransport::lastPort() const {
  std::lock_guard lock(mutex_);
  return lastPort_;
}

bool FakeTransport::isConnected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

int FakeTransport::waitingReceives() const {
  std::lock_guard lock(mutex_);
  return waitingReceives_;
}

}  // namespace vantrel::testing
