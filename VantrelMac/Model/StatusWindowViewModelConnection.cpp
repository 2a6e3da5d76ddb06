// The primary manager's connection: what its `ManagerConnection` reports becomes the published
// state and the diagnostics lines; the direct-connection form and the user's disconnect.

#include <fmt/format.h>

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

std::shared_ptr<ManagerConnection> StatusWindowViewModel::makePrimaryConnection() {
  // No watch: the session's events and the state poll tell when it ends (`scheduleReconnect`).
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

void StatusWindowViewModel::applyPrimaryStatus(const ConnectionStatus& status) {
  using Phase = ConnectionStatus::Phase;
  switch (status.phase) {
    case Phase::started:
      setConnectionError(std::nullopt);
      setIsConnectionBusy(true);
      setConnectionState(DirectAuthState::connecting);
      appendDiagnostic(fmt::format("Connection cycle started (reason={}, endpoints={})", status.reason,
                                   status.endpointCount));
      break;
    case Phase::trying: {
      const auto& candidate = *status.endpoint;
      applyConnectionSettings(candidate, false);
      setConnectionState(DirectAuthState::connecting);
      appendDiagnostic(fmt::format("Endpoint {}/{}: {}:{} (managerSlot={}, comNum={})", status.endpointIndex,
                                   status.endpointCount, text::loggable(candidate.host), candidate.port,
                                   slotOf(candidate.connectionNumber), candidate.connectionNumber));
      break;
    }
    case Phase::connected:
      applyConnectionSettings(*status.endpoint, true);
      setConnectionState(status.state);
      setConnectionError(std::nullopt);
      setIsConnectionBusy(false);
      appendDiagnostic(
          fmt::format("Endpoint selected and cached: {}:{}", status.endpoint->host, status.endpoint->port));
      break;
    case Phase::failed:
      setConnectionState(DirectAuthState::failed);
      setConnectionError(status.error.value_or(std::string()));
      setIsConnectionBusy(false);
      break;
    case Phase::waiting:
      appendDiagnostic(fmt::format("Reconnect scheduled in {}s (attempt={})",
                                   std::chrono::duration_cast<std::chrono::seconds>(status.retryIn).count(),
                                   status.attempt));
      break;
    case Phase::closed:
      setConnectionState(status.state);
      setIsConnectionBusy(false);
      break;
  }
}

void StatusWindowViewModel::beginConnecting(std::vector<DirectConnectionSettings> candidates,
                                            std::string reason) {
  if (candidates.empty()) return;
  disconnectWasRequested_ = false;
  // The cancelled cycle (or closing task) is awaited before the first attempt, so the two never
  // use the client at the same time.
  primary_->start(std::move(candidates), std::move(reason));
}

void StatusWindowViewModel::scheduleReconnect() {
  if (disconnectWasRequested_ || isConnectionBusy_) return;
  primary_->sessionEnded();
}

void StatusWindowViewModel::recoverConnection(std::string reason) {
  if (disconnectWasRequested_ || primary_->endpoints().empty()) return;
  appendDiagnostic("macOS recovery signal: " + reason);
  primary_->recover(std::move(reason));
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
  primary_->setEndpoints({});
  routeRefreshTask_.cancel();
  ++secondaryGeneration_;
  stopSecondarySessionsDetached();
  if (environment_.clipboardBridge) environment_.clipboardBridge->setAuthClients({authClient_});
  setIsConnectionBusy(true);
  setConnectionState(DirectAuthState::disconnecting);
  appendDiagnostic("Disconnect requested");
  primary_->close();
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
