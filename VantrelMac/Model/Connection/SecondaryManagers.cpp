#include "Model/Connection/SecondaryManagers.hpp"

#include <fmt/format.h>
#include <asio/post.hpp>

// g++ 12 pairs a coroutine frame's own operator delete with the global operator new after
// inlining and warns (-Wmismatched-new-delete); Asio allocates and frees the frame itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel {

Awaitable<void> installSessionHandlers(std::shared_ptr<ManagerSessionClient> client, Executor main,
                                       ManagerSessionClient::EventHandler onEvent,
                                       ManagerSessionClient::ClipboardHandler onClipboard,
                                       std::function<std::string()> pasteDestination) {
  // g++ 12 moves an argument object built inside a co_await expression by copying its bytes,
  // which breaks objects that point into themselves (strings, functions, executors): every
  // call is made first and only its awaitable is awaited.
  auto provider = pasteDestinationProvider(std::move(pasteDestination));
  auto onEventSet = client->setEventHandler(main, std::move(onEvent));
  co_await std::move(onEventSet);
  auto onClipboardSet = client->setClipboardHandler(main, std::move(onClipboard));
  co_await std::move(onClipboardSet);
  auto providerSet = client->setPasteDestinationProvider(main, std::move(provider));
  co_await std::move(providerSet);
}

std::shared_ptr<SecondaryManagers> SecondaryManagers::create(const StatusEnvironment& environment,
                                                             std::shared_ptr<ManagerSessionClient> primary,
                                                             std::weak_ptr<AccountSignIn> signIn,
                                                             Owner owner) {
  return std::shared_ptr<SecondaryManagers>(
      new SecondaryManagers(environment, std::move(primary), std::move(signIn), std::move(owner)));
}

SecondaryManagers::SecondaryManagers(const StatusEnvironment& environment,
                                     std::shared_ptr<ManagerSessionClient> primary,
                                     std::weak_ptr<AccountSignIn> signIn, Owner owner)
    : main_(environment.mainExecutor),
      sessionExecutor_(environment.sessionExecutor ? environment.sessionExecutor : environment.mainExecutor),
      factory_(environment.clients),
      clipboardBridge_(environment.clipboardBridge),
      pasteDestination_(environment.pasteDestination),
      primary_(std::move(primary)),
      signIn_(std::move(signIn)),
      owner_(std::move(owner)) {}

SecondaryManagers::~SecondaryManagers() {
  for (auto& [index, session] : sessions_) session->stopDetached();
}

void SecondaryManagers::stopAll(std::shared_ptr<void> closing) {
  ++generation_;
  auto sessions = std::move(sessions_);
  sessions_.clear();
  for (auto& [index, session] : sessions) session->stopDetached(closing);
}

std::vector<int> SecondaryManagers::indices() const {
  std::vector<int> indices;
  for (const auto& entry : sessions_) indices.push_back(entry.first);
  return indices;
}

std::shared_ptr<SecondaryManagerSession> SecondaryManagers::session(int managerIndex) const {
  const auto it = sessions_.find(managerIndex);
  return it == sessions_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<ManagerSessionClient>> SecondaryManagers::clients() const {
  std::vector<std::shared_ptr<ManagerSessionClient>> clients;
  for (const auto& [index, session] : sessions_) clients.push_back(session->client());
  return clients;
}

Awaitable<void> SecondaryManagers::configure(std::vector<AccountManagerRoute> routes, int primaryIndex,
                                             std::string userID, std::uint16_t connectionNumber) {
  return configureBody(weak_from_this(), std::move(routes), primaryIndex, std::move(userID),
                       connectionNumber);
}

Awaitable<void> SecondaryManagers::configureBody(std::weak_ptr<SecondaryManagers> weak,
                                                 std::vector<AccountManagerRoute> routes, int primaryIndex,
                                                 std::string userID, std::uint16_t connectionNumber) {
  std::uint64_t generation = 0;
  std::vector<std::shared_ptr<SecondaryManagerSession>> previous;
  {
    auto self = weak.lock();
    if (!self) co_return;
    generation = ++self->generation_;
    for (auto& [index, session] : self->sessions_) previous.push_back(session);
    self->sessions_.clear();
  }
  for (auto& session : previous) co_await session->stop();

  // Everything built here is stopped again when a newer configuration, a disconnect or a stop
  // has come in meanwhile: no session outlives them.
  std::vector<std::shared_ptr<SecondaryManagerSession>> built;
  auto superseded = [&](const std::shared_ptr<SecondaryManagers>& self) {
    return !self || generation != self->generation_;
  };
  for (const auto& route : routes) {
    if (route.managerIndex == primaryIndex) continue;
    std::shared_ptr<ManagerSessionClient> client;
    std::vector<DirectConnectionSettings> candidates;
    Executor main;
    Awaitable<void> installing;
    {
      auto self = weak.lock();
      if (superseded(self)) break;
      candidates = AccountSignIn::candidatesFor(route, userID, connectionNumber);
      if (candidates.empty()) continue;
      const auto signIn = self->signIn_.lock();
      client = self->factory_->makeSecondary(signIn ? signIn->accountContext() : nullptr);
      main = self->main_;
      const int managerIndex = route.managerIndex;
      ManagerSessionClient::EventHandler onEvent = [weak, managerIndex](const DirectAuthEvent& event) {
        if (auto self = weak.lock())
          self->owner_.log(fmt::format("[Manager {}] {}", managerIndex, event.message()), event.timestamp);
      };
      installing = installSessionHandlers(client, main, std::move(onEvent), self->owner_.applyClipboard,
                                          self->pasteDestination_);
    }
    co_await std::move(installing);
    auto self = weak.lock();
    if (superseded(self)) {
      spawnTask(
          main,
          [](std::shared_ptr<ManagerSessionClient> c) -> Awaitable<void> {
            co_await c->disconnect();
          }(client),
          "superseded secondary client", TaskStart::afterCaller);
      break;
    }
    auto session = SecondaryManagerSession::create(self->sessionExecutor_, route.managerIndex, client,
                                                   std::move(candidates));
    if (auto existing = self->sessions_.find(route.managerIndex); existing != self->sessions_.end()) {
      existing->second->stopDetached();
    }
    self->sessions_[route.managerIndex] = session;
    built.push_back(session);
    session->start([weak, main](int failedIndex) {
      asio::post(main, [weak, failedIndex] {
        const auto self = weak.lock();
        if (const auto signIn = self ? self->signIn_.lock() : nullptr) signIn->refreshRoutes(failedIndex);
      });
    });
  }

  auto self = weak.lock();
  if (superseded(self)) {
    for (auto& session : built) {
      session->stopDetached();
      if (self) {
        auto it = self->sessions_.find(session->managerIndex());
        if (it != self->sessions_.end() && it->second == session) self->sessions_.erase(it);
      }
    }
    co_return;
  }
  if (self->clipboardBridge_) {
    std::vector<std::shared_ptr<LocalClipboardSending>> clients{self->primary_};
    for (auto& session : built) clients.push_back(session->client());
    self->clipboardBridge_->setAuthClients(std::move(clients));
  }
  self->owner_.log(fmt::format("Independent manager sessions active: primary={}, secondary={}", primaryIndex,
                               self->sessions_.size()),
                   std::nullopt);
}

}  // namespace vantrel
