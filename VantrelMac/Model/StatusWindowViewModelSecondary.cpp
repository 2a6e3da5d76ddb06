// The secondary managers: one independent session per further route of the account.

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
      candidates = AccountSignIn::candidatesFor(route, userID, connectionNumber);
      if (candidates.empty()) continue;
      client = self->environment_.clients->makeSecondary(self->signIn_->accountContext());
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
        if (auto model = weak.lock()) model->signIn_->refreshRoutes(failedIndex);
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

}  // namespace vantrel
