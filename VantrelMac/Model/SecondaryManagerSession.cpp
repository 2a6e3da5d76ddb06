#include "Model/SecondaryManagerSession.hpp"

#include <asio/dispatch.hpp>
#include <asio/this_coro.hpp>

#include <array>

namespace vantrel {

std::chrono::seconds SecondaryManagerSession::backoff(int failures) noexcept {
  static constexpr std::array<int, 5> table{2, 5, 10, 20, 30};
  const auto index = failures - 1 < 0 ? 0 : (failures - 1 > 4 ? 4 : failures - 1);
  return std::chrono::seconds(table[static_cast<std::size_t>(index)]);
}

std::shared_ptr<SecondaryManagerSession> SecondaryManagerSession::create(
    Executor executor, int managerIndex, std::shared_ptr<ManagerSessionClient> client,
    std::vector<DirectConnectionSettings> candidates) {
  return std::shared_ptr<SecondaryManagerSession>(new SecondaryManagerSession(
      std::move(executor), managerIndex, std::move(client), std::move(candidates)));
}

SecondaryManagerSession::SecondaryManagerSession(Executor executor, int managerIndex,
                                                 std::shared_ptr<ManagerSessionClient> client,
                                                 std::vector<DirectConnectionSettings> candidates)
    : strand_(makeStrand(executor)),
      managerIndex_(managerIndex),
      client_(std::move(client)),
      candidates_(std::move(candidates)),
      task_(strand_, "secondary manager session") {}

SecondaryManagerSession::~SecondaryManagerSession() = default;

void SecondaryManagerSession::start(RepeatedFailureHandler onRepeatedFailure) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(onRepeatedFailure)]() mutable {
    if (self->stopped_ || self->task_.token() || self->candidates_.empty()) return;
    std::weak_ptr<SecondaryManagerSession> weak = self;
    self->task_.start([weak, client = self->client_, candidates = self->candidates_,
                       index = self->managerIndex_, handler = std::move(handler)](TaskTokenPtr token) {
      return run(weak, std::move(token), client, candidates, index, handler);
    });
  });
}

Awaitable<void> SecondaryManagerSession::stop() { return runOn<void>(strand_, stopBody(shared_from_this())); }

void SecondaryManagerSession::stopDetached() {
  spawnTask(strand_, stopBody(shared_from_this()), "secondary manager session stop");
}

Awaitable<void> SecondaryManagerSession::stopBody(std::shared_ptr<SecondaryManagerSession> self) {
  self->stopped_ = true;
  self->task_.cancel();
  co_await self->client_->disconnect();
}

Awaitable<void> SecondaryManagerSession::run(std::weak_ptr<SecondaryManagerSession> weak, TaskTokenPtr token,
                                             std::shared_ptr<ManagerSessionClient> client,
                                             std::vector<DirectConnectionSettings> candidates,
                                             int managerIndex, RepeatedFailureHandler onRepeatedFailure) {
  // The loop closes its session on the way out; cancellation is checked where it matters.
  co_await asio::this_coro::throw_if_cancelled(false);
  (void)weak;
  int failures = 0;
  while (!token->isCancelled()) {
    bool wasAuthenticated = false;
    for (const auto& candidate : candidates) {
      if (token->isCancelled()) co_return;
      std::exception_ptr failure;
      DirectAuthConfiguration configuration{candidate.host, candidate.port, candidate.userID,
                                            candidate.connectionNumber, authenticationTimeout};
      try {
        auto attempt = client->connectAndAuthenticate(std::move(configuration));
        co_await std::move(attempt);
      } catch (...) {
        failure = std::current_exception();
      }
      if (failure) {
        bool cancelled = token->isCancelled() || isCancellation(failure);
        try {
          std::rethrow_exception(failure);
        } catch (const DirectAuthError& error) {
          cancelled = cancelled || error.kind() == DirectAuthError::Case::cancelled;
        } catch (...) {
        }
        if (cancelled) co_return;
        co_await client->disconnect();
        continue;
      }
      // Watch the session while it stays authenticated.
      while (true) {
        if (token->isCancelled()) {
          co_await client->disconnect();
          co_return;
        }
        if (co_await client->currentState() != DirectAuthState::authenticated) break;
        try {
          co_await sleepFor(supervisionInterval);
        } catch (...) {
        }
      }
      co_await client->disconnect();
      failures = 0;
      wasAuthenticated = true;
      break;
    }
    if (wasAuthenticated || token->isCancelled()) continue;
    ++failures;
    if (failures % 3 == 0 && onRepeatedFailure) onRepeatedFailure(managerIndex);
    try {
      co_await sleepFor(backoff(failures));
    } catch (...) {
      co_return;
    }
  }
}

}  // namespace vantrel
