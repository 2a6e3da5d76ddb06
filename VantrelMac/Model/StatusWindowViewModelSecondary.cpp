// The secondary managers: one independent session per further route of the account, and the
// silent re-sign-in that fetches fresh routes when one of them stays unreachable.

#include <fmt/format.h>
#include <asio/post.hpp>

#include "Model/StatusWindowViewModel.hpp"
#include "Support/Text.hpp"

// g++ 12 pairs a coroutine frame's own operator delete with the global operator new after
// inlining and warns (-Wmismatched-new-delete); Asio allocates and frees the frame itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel {

void StatusWindowViewModel::stopSecondarySessionsDetached() {
  auto sessions = std::move(secondaryManagerSessions_);
  secondaryManagerSessions_.clear();
  for (auto& [index, session] : sessions) session->stopDetached();
}

void StatusWindowViewModel::publishClipboardClients() {
  if (!environment_.clipboardBridge) return;
  std::vector<std::shared_ptr<LocalClipboardSending>> clients{authClient_};
  for (const auto& [index, session] : secondaryManagerSessions_) clients.push_back(session->client());
  environment_.clipboardBridge->setAuthClients(std::move(clients));
}

Awaitable<void> StatusWindowViewModel::configureSecondaryManagerSessions(
    std::weak_ptr<StatusWindowViewModel> weak, std::vector<AccountManagerRoute> routes, int primaryIndex,
    std::string userID, std::uint16_t connectionNumber) {
  std::uint64_t generation = 0;
  std::vector<std::shared_ptr<SecondaryManagerSession>> previous;
  {
    auto self = weak.lock();
    if (!self) co_return;
    generation = ++self->secondaryGeneration_;
    for (auto& [index, session] : self->secondaryManagerSessions_) previous.push_back(session);
    self->secondaryManagerSessions_.clear();
  }
  for (auto& session : previous) co_await session->stop();

  // Everything built here is stopped again when a newer configuration, a disconnect or a stop
  // has come in meanwhile: no session outlives them.
  std::vector<std::shared_ptr<SecondaryManagerSession>> built;
  auto superseded = [&](const std::shared_ptr<StatusWindowViewModel>& self) {
    return !self || generation != self->secondaryGeneration_;
  };
  for (const auto& route : routes) {
    if (route.managerIndex == primaryIndex) continue;
    std::shared_ptr<ManagerSessionClient> client;
    std::vector<DirectConnectionSettings> candidates;
    Executor main;
    std::function<std::string()> pasteDestination;
    {
      auto self = weak.lock();
      if (superseded(self)) break;
      candidates = self->candidatesFor(route, userID, connectionNumber);
      if (candidates.empty()) continue;
      client = self->environment_.clients->makeSecondary(self->accountAIContext_);
      main = self->environment_.mainExecutor;
      pasteDestination = self->environment_.pasteDestination;
    }
    const int managerIndex = route.managerIndex;
    // g++ 12 moves an argument object built inside a co_await expression by copying its bytes,
    // which breaks objects that point into themselves (strings, functions, executors): every
    // call is made first and only its awaitable is awaited.
    ManagerSessionClient::EventHandler onEvent = [weak, managerIndex](const DirectAuthEvent& event) {
      if (auto self = weak.lock()) {
        self->appendDiagnostic(fmt::format("[Manager {}] {}", managerIndex, event.message()),
                               event.timestamp);
      }
    };
    ManagerSessionClient::ClipboardHandler onClipboard = [weak](const LegacyClipboardValue& value) {
      auto self = weak.lock();
      if (self && self->environment_.clipboardBridge) self->environment_.clipboardBridge->applyRemote(value);
    };
    auto provider = pasteDestinationProvider(pasteDestination);
    auto onEventSet = client->setEventHandler(main, std::move(onEvent));
    co_await std::move(onEventSet);
    auto onClipboardSet = client->setClipboardHandler(main, std::move(onClipboard));
    co_await std::move(onClipboardSet);
    auto providerSet = client->setPasteDestinationProvider(main, std::move(provider));
    co_await std::move(providerSet);
    auto self = weak.lock();
    if (superseded(self)) {
      spawnTask(
          main,
          [](std::shared_ptr<ManagerSessionClient> c) -> Awaitable<void> {
            co_await c->disconnect();
          }(client),
          "superseded secondary client");
      break;
    }
    auto session = SecondaryManagerSession::create(self->environment_.sessionExecutor, managerIndex, client,
                                                   std::move(candidates));
    if (auto existing = self->secondaryManagerSessions_.find(managerIndex);
        existing != self->secondaryManagerSessions_.end()) {
      existing->second->stopDetached();
    }
    self->secondaryManagerSessions_[managerIndex] = session;
    built.push_back(session);
    session->start([weak, main](int failedIndex) {
      asio::post(main, [weak, failedIndex] {
        if (auto model = weak.lock()) model->requestServerRouteRefresh(failedIndex);
      });
    });
  }

  auto self = weak.lock();
  if (superseded(self)) {
    for (auto& session : built) {
      session->stopDetached();
      if (self) {
        auto it = self->secondaryManagerSessions_.find(session->managerIndex());
        if (it != self->secondaryManagerSessions_.end() && it->second == session)
          self->secondaryManagerSessions_.erase(it);
      }
    }
    co_return;
  }
  if (self->environment_.clipboardBridge) {
    std::vector<std::shared_ptr<LocalClipboardSending>> clients{self->authClient_};
    for (auto& session : built) clients.push_back(session->client());
    self->environment_.clipboardBridge->setAuthClients(std::move(clients));
  }
  self->appendDiagnostic(fmt::format("Independent manager sessions active: primary={}, secondary={}",
                                     primaryIndex, self->secondaryManagerSessions_.size()));
}

void StatusWindowViewModel::requestServerRouteRefresh(int failedManagerIndex) {
  if (routeRefreshTask_.isRunning() || sessionAccountPassword_.empty() || !sessionAssignedSlot_) return;
  const auto current = VantrelClock::now();
  if (lastRouteRefresh_ && current - *lastRouteRefresh_ < routeRefreshInterval) return;
  lastRouteRefresh_ = current;
  appendDiagnostic(
      fmt::format("Refreshing manager routes after repeated failures (manager={})", failedManagerIndex));
  auto request = makeLoginRequest(accountID_, sessionAccountPassword_, sessionAssignedSlot_);
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  routeRefreshTask_.start([weak, request = std::move(request)](TaskTokenPtr token) {
    return routeRefresh(weak, std::move(token), request);
  });
}

Awaitable<void> StatusWindowViewModel::routeRefresh(std::weak_ptr<StatusWindowViewModel> weak,
                                                    TaskTokenPtr token, AccountLoginRequest request) {
  auto call = askLoginServer(weak, std::move(request));
  LoginAnswer answer = co_await std::move(call);
  if (!answer.client) co_return;
  const auto client = answer.client;
  const auto failure = answer.failure;
  auto& result = answer.result;
  // A refresh cut short by a disconnect or stop applies nothing, not even its failure line.
  if (token->isCancelled()) co_return;
  if (failure) {
    auto self = weak.lock();
    if (!self) co_return;
    if (self->routeRefreshTask_.token() == token) self->routeRefreshTask_.release();
    self->appendDiagnostic("Manager route refresh failed: " + localizedDescription(failure));
    co_return;
  }
  const auto primaryState = co_await client->currentState();
  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return;
  if (self->accountAIContext_) self->accountAIContext_->refresh(*result);
  if (self->routeRefreshTask_.token() == token) self->routeRefreshTask_.release();
  self->sessionAssignedSlot_ = result->assignedSlot;
  self->appendDiagnostic(
      fmt::format("Manager routes refreshed from login server (routes={})", result->routes.size()));

  const auto& routes = result->routes;
  auto chosen = std::find_if(routes.begin(), routes.end(), [&](const AccountManagerRoute& route) {
    return route.managerIndex == self->primaryManagerIndex_;
  });
  const bool keptIndexPresent = chosen != routes.end();
  if (!keptIndexPresent && !routes.empty()) chosen = routes.begin();
  const bool validSlot = result->assignedSlot >= 1 && result->assignedSlot <= 65536;
  if (!validSlot) co_return;
  const auto connectionNumber = static_cast<std::uint16_t>(result->assignedSlot - 1);
  int secondaryPrimary = self->primaryManagerIndex_;
  if (chosen != routes.end()) {
    auto candidates = self->candidatesFor(*chosen, result->accountID, connectionNumber);
    self->primary_->setEndpoints(candidates);
    ManagerRouteCache cache{1, result->accountID, result->assignedSlot, chosen->managerIndex, routes};
    cache.save(*self->environment_.defaults);
    self->managerRouteCache_ = std::move(cache);
    if (primaryState != DirectAuthState::authenticated) {
      self->primaryManagerIndex_ = chosen->managerIndex;
      self->beginConnecting(std::move(candidates), "server route refresh");
    }
    // The chosen route is where the primary reconnects: it never gets a second session.
    secondaryPrimary = keptIndexPresent ? self->primaryManagerIndex_ : chosen->managerIndex;
  }
  auto accountID = result->accountID;
  auto allRoutes = result->routes;
  self.reset();
  auto configuring = configureSecondaryManagerSessions(weak, std::move(allRoutes), secondaryPrimary,
                                                       std::move(accountID), connectionNumber);
  co_await std::move(configuring);
}

}  // namespace vantrel
