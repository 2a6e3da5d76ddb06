// The model's connections: what the sign-in yields starts the primary manager's connection (its
// `ManagerConnection` reports become the published state and the diagnostics lines) and one
// session per further manager; the primary session's events, the 0.5 s state poll, the
// direct-connection form and the user's disconnect.

#include <fmt/format.h>

#include <charconv>

#include "Model/Status/StatusWindowViewModel.hpp"
#include "Protocol/ManagerSlot.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/Outcome.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace {

std::int64_t slotOf(std::uint16_t connectionNumber) {
  return static_cast<std::int64_t>(connectionNumber) + 1;
}

bool endsSession(DirectAuthState state) {
  return state == DirectAuthState::failed || state == DirectAuthState::disconnected;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The primary manager

std::shared_ptr<ManagerConnection> StatusWindowViewModel::makePrimaryConnection() {
  // No watch: the session's events tell when it ends (`handleAuthEvent`).
  ConnectionPolicy policy;
  policy.timeout = endpointTimeout;
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  return ManagerConnection::create(
      environment_.mainExecutor, policy, {authClient_, {}},
      [weak](const ConnectionStatus& status) {
        if (auto self = weak.lock()) self->applyPrimaryStatus(status);
      },
      // The client's event, clipboard and paste handlers are in place before the first attempt.
      [weak]() {
        return [](std::weak_ptr<StatusWindowViewModel> weak)
                   -> Awaitable<std::optional<ManagerConnection::Target>> {
          co_await installAuthEventHandlerIfNeeded(std::move(weak));
          co_return std::nullopt;
        }(weak);
      });
}

void StatusWindowViewModel::setConnection(DirectAuthState state, std::optional<std::string> error,
                                          bool busy) {
  state_.connectionState = state;
  state_.connectionError = std::move(error);
  state_.isConnectionBusy = busy;
  changed();
}

void StatusWindowViewModel::applyPrimaryStatus(const ConnectionStatus& status) {
  using Phase = ConnectionStatus::Phase;
  const auto& s = state_;
  switch (status.phase) {
    case Phase::started:
      setConnection(DirectAuthState::connecting, std::nullopt, true);
      appendDiagnostic(fmt::format("Connection cycle started (reason={}, endpoints={})", status.reason,
                                   status.endpointCount));
      break;
    case Phase::trying: {
      const auto& candidate = *status.endpoint;
      setConnection(DirectAuthState::connecting, s.connectionError, s.isConnectionBusy);
      applyConnectionSettings(candidate, false);
      appendDiagnostic(fmt::format("Endpoint {}/{}: {}:{} (managerSlot={}, comNum={})", status.endpointIndex,
                                   status.endpointCount, text::loggable(candidate.host), candidate.port,
                                   slotOf(candidate.connectionNumber), candidate.connectionNumber));
      break;
    }
    case Phase::connected:
      setConnection(status.state, std::nullopt, false);
      applyConnectionSettings(*status.endpoint, true);
      appendDiagnostic(
          fmt::format("Endpoint selected and cached: {}:{}", status.endpoint->host, status.endpoint->port));
      break;
    case Phase::failed:
      setConnection(DirectAuthState::failed, status.error.value_or(std::string()), false);
      break;
    case Phase::waiting:
      appendDiagnostic(fmt::format("Reconnect scheduled in {}s (attempt={})",
                                   std::chrono::duration_cast<std::chrono::seconds>(status.retryIn).count(),
                                   status.attempt));
      break;
    case Phase::closed: setConnection(status.state, s.connectionError, false); break;
  }
}

void StatusWindowViewModel::recoverConnection(std::string reason) {
  if (disconnectWasRequested_ || primary_->endpoints().empty()) return;
  appendDiagnostic("macOS recovery signal: " + reason);
  primary_->recover(std::move(reason));
}

void StatusWindowViewModel::connectPrimary(std::vector<DirectConnectionSettings> candidates,
                                           std::string reason, bool showFirst, bool saveFirst) {
  if (candidates.empty()) return;
  if (showFirst) applyConnectionSettings(candidates.front(), saveFirst);
  disconnectWasRequested_ = false;
  // The replaced cycle (or closing task) lets go of the client before the first attempt.
  primary_->start(std::move(candidates), std::move(reason));
}

void StatusWindowViewModel::keepPrimaryEndpoints(std::vector<DirectConnectionSettings> candidates) {
  primary_->setEndpoints(std::move(candidates));
}

// ---------------------------------------------------------------------------------------------
// The direct-connection form and the user's disconnect

void StatusWindowViewModel::connect() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!state_.canConnect) return;
  const auto outcome = DirectConnectionFormParser::validate(state_.managerHost, state_.managerPortText,
                                                            state_.userID, state_.managerSlotText);
  if (outcome.validation == DirectConnectionFormValidation::valid && outcome.settings) {
    connectPrimary({*outcome.settings}, "manual/cached route", true, true);
    return;
  }
  const auto message = outcome.validation == DirectConnectionFormValidation::valid
                           ? std::string("Invalid connection form.")
                           : std::string(vantrel::message(outcome.validation));
  setConnection(DirectAuthState::failed, message, state_.isConnectionBusy);
  appendDiagnostic("Form validation failed: " + message);
}

void StatusWindowViewModel::disconnect() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  signIn_->endSession(false);
  disconnectWasRequested_ = true;
  primary_->setEndpoints({});
  secondaries_->stopAll();
  if (environment_.clipboardBridge) environment_.clipboardBridge->setAuthClients({authClient_});
  setConnection(DirectAuthState::disconnecting, state_.connectionError, true);
  appendDiagnostic("Disconnect requested");
  primary_->close();
}

void StatusWindowViewModel::applyConnectionSettings(const DirectConnectionSettings& settings, bool persist) {
  state_.managerHost = settings.host;
  state_.managerPortText = std::to_string(settings.port);
  state_.userID = settings.userID;
  state_.managerSlotText = std::to_string(slotOf(settings.connectionNumber));
  changed();
  if (persist) settings.save(*environment_.defaults);
}

void StatusWindowViewModel::persistConnectionSettings() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  // The port as typed: an optional plus sign, then digits only; anything else saves 65333.
  std::string_view text = state_.managerPortText;
  if (text.starts_with('+')) text.remove_prefix(1);
  std::uint16_t parsed = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  const std::uint16_t port = error == std::errc() && stop == text.data() + text.size() ? parsed : 65333;
  auto connectionNumber = ManagerSlot::comNumFromSlotText(state_.managerSlotText);
  if (!connectionNumber)
    connectionNumber = DirectConnectionSettings::load(*environment_.defaults).connectionNumber;
  DirectConnectionSettings{state_.managerHost, port, state_.userID, *connectionNumber}.save(
      *environment_.defaults);
}

// ---------------------------------------------------------------------------------------------
// The primary's handlers and events, and the state poll

Awaitable<void> StatusWindowViewModel::installAuthEventHandlerIfNeeded(
    std::weak_ptr<StatusWindowViewModel> weak) {
  std::shared_ptr<AsyncLatch> ready;
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (!self->eventHandlersReady_) {
      // The installation runs as a task of its own, so a caller that is cancelled while it runs
      // cannot leave the handlers half installed; every caller waits until it is done.
      self->eventHandlersReady_ = std::make_shared<AsyncLatch>(self->environment_.mainExecutor);
      ManagerSessionClient::EventHandler onEvent = [weak](const DirectAuthEvent& event) {
        if (auto self = weak.lock()) self->handleAuthEvent(event);
      };
      const auto& environment = self->environment_;
      spawnTask(environment.mainExecutor,
                settingWhenDone(
                    self->eventHandlersReady_,
                    installSessionHandlers(self->authClient_, environment.mainExecutor, std::move(onEvent),
                                           self->clipboardHandler(), environment.pasteDestination)),
                "install auth event handlers", TaskStart::afterCaller);
    }
    ready = self->eventHandlersReady_;
  }
  co_await AsyncLatch::waitFor(ready);
}

void StatusWindowViewModel::handleAuthEvent(const DirectAuthEvent& event) {
  appendDiagnostic(event.message(), event.timestamp);
  std::optional<std::string> errorText;
  if (const auto* error = std::get_if<DirectAuthEventKinds::Error>(&event.kind)) errorText = error->text;
  spawnTask(
      environment_.mainExecutor,
      [](std::weak_ptr<StatusWindowViewModel> weak, std::shared_ptr<ManagerSessionClient> client,
         std::optional<std::string> errorText) -> Awaitable<void> {
        const auto state = co_await client->currentState();
        auto self = weak.lock();
        if (!self) co_return;
        const auto& s = self->state_;
        // While a cycle runs only its end states come through here.
        if (s.isConnectionBusy && !endsSession(state)) co_return;
        const bool explain = state == DirectAuthState::failed && !s.connectionError;
        self->setConnection(state, explain ? errorText : s.connectionError, s.isConnectionBusy);
        // The session ended outside a cycle: the connection pauses, then starts over.
        if (endsSession(state) && !self->disconnectWasRequested_ && !s.isConnectionBusy)
          self->primary_->sessionEnded();
      }(weak_from_this(), authClient_, std::move(errorText)),
      "auth event", TaskStart::afterCaller);
}

Awaitable<void> StatusWindowViewModel::statePoll(std::weak_ptr<StatusWindowViewModel> weak,
                                                 TaskTokenPtr token) {
  while (!token->isCancelled()) {
    co_await attempt(sleepFor(statePollInterval));
    if (token->isCancelled()) co_return;
    std::shared_ptr<ManagerSessionClient> client;
    std::vector<std::shared_ptr<ManagerSessionClient>> secondaries;
    {
      auto self = weak.lock();
      if (!self) co_return;
      client = self->authClient_;
      secondaries = self->secondaries_->clients();
    }
    const auto state = co_await client->currentState();
    const auto lastError = co_await client->currentLastError();
    int authenticated = state == DirectAuthState::authenticated ? 1 : 0;
    for (const auto& secondary : secondaries) {
      if (co_await secondary->currentState() == DirectAuthState::authenticated) ++authenticated;
    }
    auto self = weak.lock();
    if (!self || token->isCancelled()) co_return;
    auto& s = self->state_;
    s.managerConnectionsLabel = fmt::format("{}/{} managers", authenticated, secondaries.size() + 1);
    if (s.isConnectionBusy) {
      self->changed();
      continue;
    }
    const bool explain = state == DirectAuthState::failed && !s.connectionError && lastError;
    self->setConnection(state, explain ? lastError->localizedDescription() : s.connectionError, false);
  }
}

Awaitable<void> StatusWindowViewModel::connectSecondaries(std::vector<AccountManagerRoute> routes,
                                                          int primaryIndex, std::string accountID,
                                                          std::uint16_t connectionNumber) {
  return secondaries_->configure(std::move(routes), primaryIndex, std::move(accountID), connectionNumber);
}

}  // namespace vantrel
