// The primary manager's connection: cycles over candidate endpoints, reconnect with back-off,
// recovery after wake or network return, the direct-connection form and the user's disconnect.

#include <fmt/format.h>
#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

#include <charconv>

#include "Model/StatusWindowViewModel.hpp"
#include "Protocol/ManagerSlot.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace {

std::int64_t slotOf(std::uint16_t connectionNumber) {
  return static_cast<std::int64_t>(connectionNumber) + 1;
}

}  // namespace

void StatusWindowViewModel::beginConnecting(std::vector<DirectConnectionSettings> candidates,
                                            std::string reason) {
  if (candidates.empty()) return;
  disconnectWasRequested_ = false;
  routeCandidates_ = candidates;
  reconnectTask_.cancel();
  setConnectionError(std::nullopt);
  setIsConnectionBusy(true);
  setConnectionState(DirectAuthState::connecting);
  appendDiagnostic(
      fmt::format("Connection cycle started (reason={}, endpoints={})", reason, candidates.size()));

  // The cancelled cycle (or closing task) is awaited before the first attempt, so the two never
  // use the client at the same time.
  auto previous = connectTaskDone_;
  auto done = std::make_shared<AsyncLatch>(environment_.mainExecutor);
  connectTaskDone_ = done;
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  connectTask_.start([weak, candidates = std::move(candidates), previous, done](TaskTokenPtr token) {
    return settingWhenDone(done, connectionCycle(weak, std::move(token), candidates, previous));
  });
}

Awaitable<void> StatusWindowViewModel::connectionCycle(std::weak_ptr<StatusWindowViewModel> weak,
                                                       TaskTokenPtr token,
                                                       std::vector<DirectConnectionSettings> candidates,
                                                       std::shared_ptr<AsyncLatch> previous) {
  co_await AsyncLatch::waitFor(previous);
  if (token->isCancelled()) co_return;
  co_await installAuthEventHandlerIfNeeded(weak);
  if (token->isCancelled()) co_return;
  std::shared_ptr<ManagerSessionClient> client;
  {
    auto self = weak.lock();
    if (!self) co_return;
    client = self->authClient_;
  }

  std::string lastError;
  const auto count = candidates.size();
  for (std::size_t i = 0; i < count; ++i) {
    const auto candidate = candidates[i];
    {
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      self->applyConnectionSettings(candidate, false);
      self->setConnectionState(DirectAuthState::connecting);
      self->appendDiagnostic(fmt::format("Endpoint {}/{}: {}:{} (managerSlot={}, comNum={})", i + 1, count,
                                         text::loggable(candidate.host), candidate.port,
                                         slotOf(candidate.connectionNumber), candidate.connectionNumber));
    }
    std::exception_ptr failure;
    DirectAuthConfiguration configuration{candidate.host, candidate.port, candidate.userID,
                                          candidate.connectionNumber, endpointTimeout};
    try {
      auto attempt = client->connectAndAuthenticate(std::move(configuration));
      co_await std::move(attempt);
    } catch (...) {
      failure = std::current_exception();
    }
    // A cancelled cycle ends here whatever the attempt did: a newer cycle or a disconnect owns
    // the state now.
    if (token->isCancelled()) co_return;
    if (!failure) {
      const auto state = co_await client->currentState();
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      self->applyConnectionSettings(candidate, true);
      self->setConnectionState(state);
      self->setConnectionError(std::nullopt);
      self->setIsConnectionBusy(false);
      self->reconnectAttempt_ = 0;
      self->reconnectTask_.cancel();
      self->appendDiagnostic(
          fmt::format("Endpoint selected and cached: {}:{}", candidate.host, candidate.port));
      co_return;
    }
    lastError = localizedDescription(failure);
    co_await client->disconnect();
    if (token->isCancelled()) co_return;
  }

  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return;
  self->setConnectionState(DirectAuthState::failed);
  self->setConnectionError(lastError);
  self->setIsConnectionBusy(false);
  self->scheduleReconnect();
}

void StatusWindowViewModel::scheduleReconnect() {
  if (disconnectWasRequested_ || isConnectionBusy_ || routeCandidates_.empty() || reconnectTask_.isRunning())
    return;
  const auto delay = reconnectDelay(reconnectAttempt_);
  ++reconnectAttempt_;
  appendDiagnostic(fmt::format("Reconnect scheduled in {}s (attempt={})", delay.count(), reconnectAttempt_));
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  reconnectTask_.start([weak, delay](TaskTokenPtr token) -> Awaitable<void> {
    return [](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
              VantrelClock::duration delay) -> Awaitable<void> {
      co_await sleepFor(delay);
      auto self = weak.lock();
      if (!self || token->isCancelled() || self->disconnectWasRequested_) co_return;
      if (self->reconnectTask_.token() == token) self->reconnectTask_.release();
      self->beginConnecting(self->routeCandidates_, "automatic reconnect");
    }(weak, std::move(token), delay);
  });
}

void StatusWindowViewModel::recoverConnection(std::string reason) {
  if (disconnectWasRequested_ || routeCandidates_.empty()) return;
  appendDiagnostic("macOS recovery signal: " + reason);
  reconnectTask_.cancel();
  replaceConnectTask([reason](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
                              std::shared_ptr<ManagerSessionClient> client) -> Awaitable<void> {
    return [](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
              std::shared_ptr<ManagerSessionClient> client, std::string reason) -> Awaitable<void> {
      co_await client->disconnect();
      // A newer signal, cycle or disconnect took the slot meanwhile: it decides, not this one.
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      if (self->connectTask_.token() == token) self->connectTask_.release();
      self->beginConnecting(self->routeCandidates_, reason);
    }(std::move(weak), std::move(token), std::move(client), reason);
  });
}

void StatusWindowViewModel::replaceConnectTask(
    std::function<Awaitable<void>(std::weak_ptr<StatusWindowViewModel>, TaskTokenPtr,
                                  std::shared_ptr<ManagerSessionClient>)>
        body) {
  auto done = std::make_shared<AsyncLatch>(environment_.mainExecutor);
  connectTaskDone_ = done;
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  connectTask_.start([weak, body = std::move(body), done, client = authClient_](TaskTokenPtr token) {
    // The closing await is never cut short: the next cycle waits for it through `done`.
    return settingWhenDone(done,
                           [](auto body, std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
                              std::shared_ptr<ManagerSessionClient> client) -> Awaitable<void> {
                             co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
                             auto closing = body(std::move(weak), std::move(token), std::move(client));
                             co_await std::move(closing);
                           }(body, weak, std::move(token), client));
  });
}

void StatusWindowViewModel::connect() {
  if (!canConnect()) return;
  const auto outcome =
      DirectConnectionFormParser::validate(managerHost_, managerPortText_, userID_, managerSlotText_);
  if (outcome.validation == DirectConnectionFormValidation::valid && outcome.settings) {
    applyConnectionSettings(*outcome.settings, true);
    beginConnecting({*outcome.settings}, "manual/cached route");
    return;
  }
  const auto message = outcome.validation == DirectConnectionFormValidation::valid
                           ? std::string("Invalid connection form.")
                           : std::string(vantrel::message(outcome.validation));
  setConnectionError(message);
  setConnectionState(DirectAuthState::failed);
  appendDiagnostic("Form validation failed: " + message);
}

void StatusWindowViewModel::disconnect() {
  storedCredentialReadTask_.cancel();
  // A pending automatic-login retry would sign in and reconnect over the user's Disconnect.
  automaticLoginRetryTask_.cancel();
  disconnectWasRequested_ = true;
  sessionAccountPassword_.clear();
  sessionAssignedSlot_.reset();
  ++sessionEpoch_;
  routeCandidates_.clear();
  reconnectTask_.cancel();
  routeRefreshTask_.cancel();
  ++secondaryGeneration_;
  stopSecondarySessionsDetached();
  if (environment_.clipboardBridge) environment_.clipboardBridge->setAuthClients({authClient_});
  setIsConnectionBusy(true);
  setConnectionState(DirectAuthState::disconnecting);
  appendDiagnostic("Disconnect requested");
  replaceConnectTask([](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
                        std::shared_ptr<ManagerSessionClient> client) -> Awaitable<void> {
    return [](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
              std::shared_ptr<ManagerSessionClient> client) -> Awaitable<void> {
      co_await client->disconnect();
      const auto state = co_await client->currentState();
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      self->setConnectionState(state);
      self->setIsConnectionBusy(false);
    }(std::move(weak), std::move(token), std::move(client));
  });
}

void StatusWindowViewModel::applyConnectionSettings(const DirectConnectionSettings& settings, bool persist) {
  setManagerHost(settings.host);
  setManagerPortText(std::to_string(settings.port));
  setUserID(settings.userID);
  setManagerSlotText(std::to_string(slotOf(settings.connectionNumber)));
  if (persist) settings.save(*environment_.defaults);
}

void StatusWindowViewModel::persistConnectionSettings() {
  // The port as typed: an optional plus sign, then digits only; anything else saves 65333.
  std::uint16_t port = 65333;
  std::string_view text = managerPortText_;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::uint16_t parsed = 0;
  const auto* end = text.data() + text.size();
  if (!text.empty() && std::from_chars(text.data(), end, parsed).ptr == end &&
      std::from_chars(text.data(), end, parsed).ec == std::errc()) {
    port = parsed;
  }
  auto connectionNumber = ManagerSlot::comNumFromSlotText(managerSlotText_);
  if (!connectionNumber)
    connectionNumber = DirectConnectionSettings::load(*environment_.defaults).connectionNumber;
  DirectConnectionSettings{managerHost_, port, userID_, *connectionNumber}.save(*environment_.defaults);
}

}  // namespace vantrel
