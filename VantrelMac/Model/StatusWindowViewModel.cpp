#include "Model/StatusWindowViewModel.hpp"

#include <fmt/format.h>

#include "Account/StartupLoginIntent.hpp"
#include "Support/Text.hpp"

namespace vantrel {

std::shared_ptr<StatusWindowViewModel> StatusWindowViewModel::create(StatusEnvironment environment) {
  std::shared_ptr<StatusWindowViewModel> model(new StatusWindowViewModel(std::move(environment)));
  model->construct();
  return model;
}

StatusWindowViewModel::StatusWindowViewModel(StatusEnvironment environment)
    : environment_(std::move(environment)),
      diagnosticLog_(environment_.diagnosticWriter),
      pollTask_(environment_.mainExecutor, "pollTask"),
      statePollTask_(environment_.mainExecutor, "statePollTask"),
      routeRefreshTask_(environment_.mainExecutor, "routeRefreshTask"),
      automaticLoginRetryTask_(environment_.mainExecutor, "automaticLoginRetryTask"),
      storedCredentialReadTask_(environment_.mainExecutor, "storedCredentialReadTask") {}

void StatusWindowViewModel::construct() {
  // The published fields hold their initial values; the preventer holds no assertion.
  if (!environment_.sessionExecutor) environment_.sessionExecutor = environment_.mainExecutor;
  displaySleepPreventer_ = environment_.displaySleepPreventer;
  automaticLoginRequested_ = StartupLoginIntent::requestedByArguments(environment_.arguments);
  authClient_ = environment_.clients->makePrimary();
  primary_ = makePrimaryConnection();
  if (environment_.clipboardBridge) environment_.clipboardBridge->setAuthClients({authClient_});

  const auto host = environment_.host;
  const auto login = AccountLoginSettings::load(
      *environment_.defaults,
      [host]() -> std::optional<std::string> { return host ? host->localizedName() : std::nullopt; });
  accountLoginSerial_ = login.serial;
  installationMAC_ = login.installationMAC;
  accountID_ = login.accountID;
  requestedClientNumberText_ = login.requestedSlotText;
  setupName_ = login.setupName;
  rememberAccountID_ = login.rememberAccountID;

  permissions_ = environment_.permissions->snapshot();
  loadConnectionSettings();

  if (auto cache = ManagerRouteCache::load(*environment_.defaults); cache && cache->accountID == accountID_) {
    primaryManagerIndex_ = cache->primaryManagerIndex;
    sessionAssignedSlot_ = cache->assignedSlot;
    managerRouteCache_ = std::move(cache);
  }
}

void StatusWindowViewModel::loadConnectionSettings() {
  const auto settings = DirectConnectionSettings::load(*environment_.defaults);
  managerHost_ = settings.host;
  managerPortText_ = std::to_string(settings.port);
  userID_ = settings.userID;
  managerSlotText_ = std::to_string(static_cast<std::int64_t>(settings.connectionNumber) + 1);
}

StatusWindowViewModel::~StatusWindowViewModel() {
  // The slots cancel their tasks as they are destroyed; the sessions are stopped here, each
  // closing in a task that holds its own client.
  for (auto& [index, session] : secondaryManagerSessions_) session->stopDetached();
  secondaryManagerSessions_.clear();
  if (recoveryMonitor_) recoveryMonitor_->stop();
  if (environment_.clipboardBridge) environment_.clipboardBridge->stop();
  if (displaySleepHeld_ && displaySleepPreventer_) displaySleepPreventer_->stop();
}

// ---------------------------------------------------------------------------------------------
// Published fields

void StatusWindowViewModel::setPermissions(PermissionSnapshot value) {
  permissions_ = value;
  notify(Field::permissions);
}
void StatusWindowViewModel::setDisplays(std::vector<DisplayInfo> value) {
  displays_ = std::move(value);
  notify(Field::displays);
}
void StatusWindowViewModel::setDisplayError(std::optional<std::string> value) {
  displayError_ = std::move(value);
  notify(Field::displayError);
}
void StatusWindowViewModel::setIsRefreshingDisplays(bool value) {
  isRefreshingDisplays_ = value;
  notify(Field::isRefreshingDisplays);
}
void StatusWindowViewModel::setLastRefresh(std::optional<std::chrono::system_clock::time_point> value) {
  lastRefresh_ = value;
  notify(Field::lastRefresh);
}
void StatusWindowViewModel::setAccountID(std::string value) {
  accountID_ = std::move(value);
  notify(Field::accountID);
}
void StatusWindowViewModel::setAccountPassword(std::string value) {
  accountPassword_ = std::move(value);
  notify(Field::accountPassword);
}
void StatusWindowViewModel::setRequestedClientNumberText(std::string value) {
  requestedClientNumberText_ = std::move(value);
  notify(Field::requestedClientNumberText);
}
void StatusWindowViewModel::setSetupName(std::string value) {
  setupName_ = std::move(value);
  notify(Field::setupName);
}
void StatusWindowViewModel::setRememberAccountID(bool value) {
  rememberAccountID_ = value;
  notify(Field::rememberAccountID);
}
void StatusWindowViewModel::setAccountLoginStatus(std::string value) {
  accountLoginStatus_ = std::move(value);
  notify(Field::accountLoginStatus);
}
void StatusWindowViewModel::setAccountLoginError(std::optional<std::string> value) {
  accountLoginError_ = std::move(value);
  notify(Field::accountLoginError);
}
void StatusWindowViewModel::setIsAccountLoginBusy(bool value) {
  isAccountLoginBusy_ = value;
  notify(Field::isAccountLoginBusy);
}
void StatusWindowViewModel::setIsAccountAuthenticated(bool value) {
  isAccountAuthenticated_ = value;
  notify(Field::isAccountAuthenticated);
}
void StatusWindowViewModel::setManagerHost(std::string value) {
  managerHost_ = std::move(value);
  notify(Field::managerHost);
}
void StatusWindowViewModel::setManagerPortText(std::string value) {
  managerPortText_ = std::move(value);
  notify(Field::managerPortText);
}
void StatusWindowViewModel::setUserID(std::string value) {
  userID_ = std::move(value);
  notify(Field::userID);
}
void StatusWindowViewModel::setManagerSlotText(std::string value) {
  managerSlotText_ = std::move(value);
  notify(Field::managerSlotText);
}
void StatusWindowViewModel::setConnectionState(DirectAuthState value) {
  connectionState_ = value;
  notify(Field::connectionState);
}
void StatusWindowViewModel::setConnectionError(std::optional<std::string> value) {
  connectionError_ = std::move(value);
  notify(Field::connectionError);
}
void StatusWindowViewModel::setIsConnectionBusy(bool value) {
  isConnectionBusy_ = value;
  notify(Field::isConnectionBusy);
}
void StatusWindowViewModel::setManagerConnectionsLabel(std::string value) {
  managerConnectionsLabel_ = std::move(value);
  notify(Field::managerConnectionsLabel);
}
void StatusWindowViewModel::clearDiagnosticLog() {
  diagnosticLog_ = DiagnosticLog(environment_.diagnosticWriter);
  notify(Field::diagnosticLog);
  notify(Field::diagnosticLogScrollToken);
}

// ---------------------------------------------------------------------------------------------
// Derived values

std::string StatusWindowViewModel::connectionStateLabel() const {
  return std::string(displayName(connectionState_));
}

bool StatusWindowViewModel::canAccountLogin() const {
  return !isAccountLoginBusy_ && !text::isBlank(accountID_) && !accountPassword_.empty();
}

bool StatusWindowViewModel::canConnect() const {
  return !isConnectionBusy_ &&
         (connectionState_ == DirectAuthState::idle || connectionState_ == DirectAuthState::disconnected ||
          connectionState_ == DirectAuthState::failed);
}

bool StatusWindowViewModel::canDisconnect() const {
  return connectionState_ == DirectAuthState::connecting ||
         connectionState_ == DirectAuthState::authenticating ||
         connectionState_ == DirectAuthState::authenticated ||
         connectionState_ == DirectAuthState::disconnecting;
}

std::string StatusWindowViewModel::displayCountLabel() const {
  const auto n = displays_.size();
  if (n == 0) return "0";
  if (n == 1) return "1 display";
  return fmt::format("{} displays", n);
}

std::vector<int> StatusWindowViewModel::secondaryManagerIndices() const {
  std::vector<int> indices;
  for (const auto& entry : secondaryManagerSessions_) indices.push_back(entry.first);
  return indices;
}

std::shared_ptr<SecondaryManagerSession> StatusWindowViewModel::secondaryManagerSession(
    int managerIndex) const {
  const auto it = secondaryManagerSessions_.find(managerIndex);
  return it == secondaryManagerSessions_.end() ? nullptr : it->second;
}

bool StatusWindowViewModel::hasRunningSlotTask() const {
  return pollTask_.isRunning() || primary_->isRunning() || statePollTask_.isRunning() ||
         routeRefreshTask_.isRunning() || automaticLoginRetryTask_.isRunning() ||
         storedCredentialReadTask_.isRunning();
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

void StatusWindowViewModel::start() {
  if (hasStarted_) return;
  hasStarted_ = true;
  setPermissions(environment_.permissions->snapshot());

  displaySleepHeld_ = displaySleepPreventer_ && displaySleepPreventer_->start();
  appendDiagnostic(displaySleepHeld_
                       ? "Display sleep and screen saver prevention active while VantrelMac is running"
                       : "Could not prevent display sleep; check macOS power settings");

  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  if (!pollTask_.isRunning()) {
    pollTask_.start([weak](TaskTokenPtr token) { return permissionPoll(weak, std::move(token)); });
  }
  startConnectionStatePolling();
  if (environment_.clipboardBridge) environment_.clipboardBridge->start();

  if (recoveryMonitor_) recoveryMonitor_->stop();
  recoveryMonitor_ = environment_.makeRecoveryMonitor ? environment_.makeRecoveryMonitor() : nullptr;
  if (recoveryMonitor_) {
    const auto main = environment_.mainExecutor;
    recoveryMonitor_->start([weak, main](std::string reason) {
      asio::post(main, [weak, reason = std::move(reason)] {
        if (auto self = weak.lock()) self->recoverConnection(reason);
      });
    });
  }
  spawnTask(environment_.mainExecutor, startupDecision(weak), "startup decision");
}

Awaitable<void> StatusWindowViewModel::startupDecision(std::weak_ptr<StatusWindowViewModel> weak) {
  co_await installAuthEventHandlerIfNeeded(weak);
  auto self = weak.lock();
  if (!self) co_return;
  if (AutoConnectPolicy::shouldAttemptSavedAccountLogin(self->rememberAccountID_, self->accountID_,
                                                        self->didAttemptAccountAutoLogin_,
                                                        self->automaticLoginRequested_)) {
    self->appendDiagnostic("Automatic account login requested by startup intent");
    self->attemptStoredAccountAutoLoginOnce();
  } else if (!self->automaticLoginRequested_) {
    self->appendDiagnostic("Interactive launch mode; waiting for account login");
  } else if (self->didAttemptAccountAutoLogin_) {
    self->appendDiagnostic("Startup automatic login already requested");
  } else {
    self->appendDiagnostic(
        "Startup automatic login unavailable: check AUTO LOGIN preference and saved account");
  }
}

void StatusWindowViewModel::stop() {
  storedCredentialReadTask_.cancel();
  if (accountAIContext_) accountAIContext_->revoke();
  accountAIContext_.reset();
  pollTask_.cancel();
  statePollTask_.cancel();
  primary_->stop();
  if (recoveryMonitor_) recoveryMonitor_->stop();
  recoveryMonitor_.reset();
  disconnectWasRequested_ = true;
  sessionAccountPassword_.clear();
  sessionAssignedSlot_.reset();
  ++sessionEpoch_;
  routeRefreshTask_.cancel();
  automaticLoginRetryTask_.cancel();
  if (displaySleepHeld_ && displaySleepPreventer_) displaySleepPreventer_->stop();
  displaySleepHeld_ = false;
  ++secondaryGeneration_;
  stopSecondarySessionsDetached();
  if (environment_.clipboardBridge) {
    environment_.clipboardBridge->setAuthClients({authClient_});
    environment_.clipboardBridge->stop();
  }
  spawnTask(
      environment_.mainExecutor,
      [](std::shared_ptr<ManagerSessionClient> client) -> Awaitable<void> {
        co_await client->disconnect();
      }(authClient_),
      "stop: primary disconnect");
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

void StatusWindowViewModel::appendDiagnostic(const std::string& text) { appendDiagnostic(text, now()); }

void StatusWindowViewModel::appendDiagnostic(const std::string& text,
                                             std::chrono::system_clock::time_point timestamp) {
  diagnosticLog_.appendDiagnostic(text, timestamp);
  notify(Field::diagnosticLog);
  notify(Field::diagnosticLogScrollToken);
}

}  // namespace vantrel
