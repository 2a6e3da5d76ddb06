#include "Model/Connection/SecondaryManagerSession.hpp"

#include <asio/dispatch.hpp>

namespace vantrel {

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
      candidates_(std::move(candidates)) {}

// The connection's task holds it weakly: dropping it ends the loop.
SecondaryManagerSession::~SecondaryManagerSession() = default;

void SecondaryManagerSession::start(RepeatedFailureHandler onRepeatedFailure) {
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(onRepeatedFailure)]() mutable {
    if (self->stopped_ || self->started_ || self->candidates_.empty()) return;
    self->started_ = true;
    ConnectionPolicy policy;
    policy.timeout = authenticationTimeout;
    policy.watchInterval = supervisionInterval;
    policy.retryAtOnceAfterLoss = true;
    auto onStatus = [index = self->managerIndex_,
                     handler = std::move(handler)](const ConnectionStatus& status) {
      if (status.phase == ConnectionStatus::Phase::failed && status.attempt % 3 == 0 && handler)
        handler(index);
    };
    self->connection_ = ManagerConnection::create(self->strand_, policy, {self->client_, self->candidates_},
                                                  std::move(onStatus));
    self->connection_->start(self->candidates_, "secondary manager");
  });
}

Awaitable<void> SecondaryManagerSession::stop() { return runOn<void>(strand_, stopBody(shared_from_this())); }

void SecondaryManagerSession::stopDetached(std::shared_ptr<void> closing) {
  spawnTask(strand_, stopBody(shared_from_this(), std::move(closing)), "secondary manager session stop");
}

Awaitable<void> SecondaryManagerSession::stopBody(std::shared_ptr<SecondaryManagerSession> self,
                                                  std::shared_ptr<void> /*closing*/) {
  self->stopped_ = true;
  if (self->connection_) self->connection_->stop();
  co_await self->client_->disconnect();
}

}  // namespace vantrel
