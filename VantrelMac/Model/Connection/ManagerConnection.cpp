#include "Model/Connection/ManagerConnection.hpp"

#include <asio/this_coro.hpp>

#include <algorithm>
#include <array>

#include "Support/ExecutorCheck.hpp"
#include "Support/Outcome.hpp"

// g++ 12 pairs a coroutine frame's own operator delete with the global operator new after
// inlining and warns (-Wmismatched-new-delete); Asio allocates and frees the frame itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel {

namespace {

// What a cut-short step ended with: its own error, or a cancellation when it had finished.
template <typename T>
std::exception_ptr interruptionOf(const Outcome<T>& outcome) {
  return outcome ? std::make_exception_ptr(CancellationError()) : outcome.error();
}

// The source's target, with an error it throws before its first await carried like any other.
Awaitable<std::optional<ManagerConnection::Target>> targetFrom(ManagerConnection::Prepare prepare) {
  co_return co_await prepare();
}

// The status that opens a cycle.
ConnectionStatus started(std::size_t endpointCount, std::string reason) {
  ConnectionStatus status;
  status.phase = ConnectionStatus::Phase::started;
  status.state = DirectAuthState::connecting;
  status.endpointCount = endpointCount;
  status.reason = std::move(reason);
  return status;
}

}  // namespace

VantrelClock::duration ManagerConnection::backoffDelay(int failures) noexcept {
  static constexpr std::array<int, 5> table{2, 5, 10, 20, 30};
  const auto index = std::clamp(failures - 1, 0, static_cast<int>(table.size()) - 1);
  return std::chrono::seconds(table[static_cast<std::size_t>(index)]);
}

VantrelClock::duration ConnectionPolicy::delayAfter(int failures) const noexcept {
  return retry == Retry::fixed ? fixedDelay : ManagerConnection::backoffDelay(failures);
}

std::shared_ptr<ManagerConnection> ManagerConnection::create(Executor executor, ConnectionPolicy policy,
                                                             Target target, StatusHandler onStatus,
                                                             Prepare prepare) {
  return std::shared_ptr<ManagerConnection>(new ManagerConnection(
      std::move(executor), policy, std::move(target), std::move(onStatus), std::move(prepare)));
}

ManagerConnection::ManagerConnection(Executor executor, ConnectionPolicy policy, Target target,
                                     StatusHandler onStatus, Prepare prepare)
    : executor_(std::move(executor)),
      policy_(policy),
      onStatus_(std::move(onStatus)),
      prepare_(std::move(prepare)),
      target_(std::move(target)),
      task_(executor_, "manager connection", TaskStart::afterCaller) {}

ManagerConnection::~ManagerConnection() = default;

void ManagerConnection::start(std::vector<DirectConnectionSettings> endpoints, std::string reason) {
  VANTREL_EXPECT_ON(executor_);
  if (stopped_) return;
  closed_ = false;
  task_.cancel();
  waiting_ = false;
  target_.endpoints = endpoints;
  if (!publish(nullptr, started(endpoints.size(), reason))) return;
  launch(Opening::pass, std::move(endpoints), std::move(reason));
}

void ManagerConnection::setEndpoints(std::vector<DirectConnectionSettings> endpoints) {
  VANTREL_EXPECT_ON(executor_);
  target_.endpoints = std::move(endpoints);
}

void ManagerConnection::sessionEnded() {
  VANTREL_EXPECT_ON(executor_);
  if (stopped_ || closed_ || target_.endpoints.empty()) return;
  if (task_.isRunning() && !closing_) return;
  ++failures_;
  ConnectionStatus status;
  status.phase = ConnectionStatus::Phase::waiting;
  status.attempt = failures_;
  status.retryIn = policy_.delayAfter(failures_);
  if (!publish(nullptr, std::move(status)) || closing_) return;
  waiting_ = true;
  launch(Opening::pause, {}, std::string(automaticReason));
}

void ManagerConnection::recover(std::string reason) {
  VANTREL_EXPECT_ON(executor_);
  if (stopped_ || closed_) return;
  launch(Opening::recover, {}, std::move(reason));
}

void ManagerConnection::close() {
  VANTREL_EXPECT_ON(executor_);
  if (stopped_) return;
  closed_ = true;
  target_.endpoints.clear();
  launch(Opening::close, {}, {});
}

void ManagerConnection::stop() {
  VANTREL_EXPECT_ON(executor_);
  stopped_ = true;
  waiting_ = false;
  task_.cancel();
}

Awaitable<void> ManagerConnection::finished() {
  VANTREL_EXPECT_ON(executor_);
  return AsyncLatch::waitFor(taskDone_);
}

void ManagerConnection::launch(Opening opening, std::vector<DirectConnectionSettings> endpoints,
                               std::string reason) {
  // A new cycle waits for the one it replaces to let go of the client; a closing task does not,
  // since its disconnect is what ends an attempt still in progress.
  auto previous = taskDone_;
  auto done = std::make_shared<AsyncLatch>(executor_);
  taskDone_ = done;
  if (opening != Opening::pause) waiting_ = false;
  closing_ = opening == Opening::close || opening == Opening::recover;
  std::weak_ptr<ManagerConnection> weak = weak_from_this();
  task_.start([weak, previous, done, opening, endpoints = std::move(endpoints),
               reason = std::move(reason)](TaskTokenPtr token) {
    return settingWhenDone(done, run(weak, std::move(token), previous, opening, endpoints, reason));
  });
}

bool ManagerConnection::publish(const TaskTokenPtr& token, ConnectionStatus status) {
  VANTREL_EXPECT_ON(executor_);
  const auto current = [&] { return !stopped_ && !(token && token->isCancelled()); };
  if (!current()) return false;
  if (onStatus_) onStatus_(status);
  return current();
}

Awaitable<void> ManagerConnection::closeSession(std::shared_ptr<ManagerSessionClient> client) {
  if (client) co_await client->disconnect();
}

Awaitable<void> ManagerConnection::run(std::weak_ptr<ManagerConnection> weak, TaskTokenPtr token,
                                       std::shared_ptr<AsyncLatch> previous, Opening opening,
                                       std::vector<DirectConnectionSettings> endpoints, std::string reason) {
  // Cancellation is read from the token step by step, so that every step ends in order.
  co_await asio::this_coro::throw_if_cancelled(false);
  if (opening == Opening::pass) {
    (void)co_await attempt(AsyncLatch::waitFor(previous));
    if (token->isCancelled()) co_return;
  }
  if (opening == Opening::close || opening == Opening::recover) {
    std::shared_ptr<ManagerSessionClient> client;
    if (auto self = weak.lock()) client = self->target_.client;
    if (!client) co_return;
    // The session is closed whole: the next cycle (or the owner) relies on it being down.
    co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
    co_await closeSession(client);
    if (opening == Opening::close) {
      const auto state = co_await client->currentState();
      auto self = weak.lock();
      if (!self) co_return;
      ConnectionStatus status;
      status.phase = ConnectionStatus::Phase::closed;
      status.state = state;
      self->publish(token, std::move(status));
      co_return;
    }
    co_await asio::this_coro::reset_cancellation_state();
    auto self = weak.lock();
    if (!self || token->isCancelled()) co_return;
    self->closing_ = false;
    endpoints = self->target_.endpoints;
    if (endpoints.empty()) co_return;
    if (!self->publish(token, started(endpoints.size(), reason))) co_return;
  }

  bool pause = opening == Opening::pause;
  for (;;) {
    if (pause) {
      VantrelClock::duration delay{};
      {
        auto self = weak.lock();
        if (!self) co_return;
        delay = self->policy_.delayAfter(self->failures_);
      }
      (void)co_await attempt(sleepFor(delay));
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      self->waiting_ = false;
      endpoints = self->target_.endpoints;
      if (!self->publish(token, started(endpoints.size(), std::string(automaticReason)))) co_return;
    }
    const auto end = co_await pass(weak, token, endpoints);
    if (end == PassEnd::over) co_return;
    auto self = weak.lock();
    if (!self || token->isCancelled()) co_return;
    if (end == PassEnd::lost) {
      if (self->policy_.retryAtOnceAfterLoss) {
        pause = false;
        continue;
      }
      ++self->failures_;
    }
    // The pause that follows a failed pass or a lost session.
    self->waiting_ = true;
    ConnectionStatus status;
    status.phase = ConnectionStatus::Phase::waiting;
    status.attempt = self->failures_;
    status.retryIn = self->policy_.delayAfter(self->failures_);
    if (!self->publish(token, std::move(status))) co_return;
    pause = true;
  }
}

Awaitable<ManagerConnection::PassEnd> ManagerConnection::pass(
    std::weak_ptr<ManagerConnection> weak, TaskTokenPtr token,
    std::vector<DirectConnectionSettings> endpoints) {
  std::shared_ptr<ManagerSessionClient> client;
  Prepare prepare;
  ConnectionPolicy policy;
  {
    auto self = weak.lock();
    if (!self) co_return PassEnd::over;
    client = self->target_.client;
    prepare = self->prepare_;
    policy = self->policy_;
  }
  std::exception_ptr lastError;
  bool prepared = true;
  if (prepare) {
    auto target = co_await attempt(targetFrom(std::move(prepare)));
    auto self = weak.lock();
    if (!self) co_return PassEnd::over;
    if (target && *target) {
      self->target_ = std::move(**target);
      client = self->target_.client;
      endpoints = self->target_.endpoints;
      if (token->isCancelled() && self->stopped_) self->interruption_ = interruptionOf(target);
    }
    if (token->isCancelled()) co_return PassEnd::over;
    if (!target) {
      lastError = target.error();
      prepared = false;
    }
  }

  const auto count = prepared ? endpoints.size() : 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto endpoint = endpoints[i];
    {
      auto self = weak.lock();
      if (!self) co_return PassEnd::over;
      ConnectionStatus status;
      status.phase = ConnectionStatus::Phase::trying;
      status.state = DirectAuthState::connecting;
      status.endpoint = endpoint;
      status.endpointIndex = i + 1;
      status.endpointCount = count;
      if (!self->publish(token, std::move(status))) co_return PassEnd::over;
    }
    DirectAuthConfiguration configuration{endpoint.host, endpoint.port, endpoint.userID,
                                          endpoint.connectionNumber, policy.timeout};
    auto call = client->connectAndAuthenticate(std::move(configuration));
    const auto connected = co_await attempt(std::move(call));
    // A cut-short attempt ends the cycle whatever it did: a newer call owns the connection now.
    if (token->isCancelled()) {
      if (auto self = weak.lock(); self && self->stopped_) self->interruption_ = interruptionOf(connected);
      co_return PassEnd::over;
    }
    if (!connected) {
      lastError = connected.error();
      co_await client->disconnect();
      if (token->isCancelled()) co_return PassEnd::over;
      continue;
    }

    auto state = co_await client->currentState();
    {
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return PassEnd::over;
      self->failures_ = 0;
      ConnectionStatus status;
      status.phase = ConnectionStatus::Phase::connected;
      status.state = state;
      status.endpoint = endpoint;
      status.endpointIndex = i + 1;
      status.endpointCount = count;
      if (!self->publish(token, std::move(status))) co_return PassEnd::over;
    }
    if (!policy.watchInterval) co_return PassEnd::over;
    while (state == DirectAuthState::authenticated) {
      const auto slept = co_await attempt(sleepFor(*policy.watchInterval));
      if (token->isCancelled()) {
        if (auto self = weak.lock(); self && self->stopped_) self->interruption_ = interruptionOf(slept);
        co_return PassEnd::over;
      }
      state = co_await client->currentState();
    }
    co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
    co_await closeSession(client);
    co_await asio::this_coro::reset_cancellation_state();
    co_return token->isCancelled() ? PassEnd::over : PassEnd::lost;
  }

  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return PassEnd::over;
  ++self->failures_;
  ConnectionStatus status;
  status.phase = ConnectionStatus::Phase::failed;
  status.state = DirectAuthState::failed;
  if (lastError) status.error = localizedDescription(lastError);
  status.attempt = self->failures_;
  co_return self->publish(token, std::move(status)) ? PassEnd::failed : PassEnd::over;
}

}  // namespace vantrel
