#include "Model/Status/StatusWindowViewModel.hpp"

#include <fmt/format.h>

#include "Model/Status/ConnectionPanelPresenter.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/Outcome.hpp"

namespace vantrel {

std::shared_ptr<StatusWindowViewModel> StatusWindowViewModel::create(StatusEnvironment environment) {
  std::shared_ptr<StatusWindowViewModel> model(new StatusWindowViewModel(std::move(environment)));
  model->construct();
  return model;
}

StatusWindowViewModel::StatusWindowViewModel(StatusEnvironment environment)
    : environment_(std::move(environment)),
      diagnosticLog_(environment_.diagnosticWriter),
      pollTask_(environment_.mainExecutor, "pollTask", TaskStart::afterCaller),
      statePollTask_(environment_.mainExecutor, "statePollTask", TaskStart::afterCaller) {}

void StatusWindowViewModel::construct() {
  // The state holds its initial values; the preventer holds no assertion.
  if (!environment_.sessionExecutor) environment_.sessionExecutor = environment_.mainExecutor;
  authClient_ = environment_.clients->makePrimary();
  primary_ = makePrimaryConnection();
  if (environment_.clipboardBridge) environment_.clipboardBridge->setAuthClients({authClient_});
  state_.accountLoginStatus = std::string(AccountSignIn::idleAccountLoginStatus);
  state_.diagnosticLogScrollToken = diagnosticLog_.scrollToken();
  signIn_ = AccountSignIn::create(environment_, authClient_, *this);
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  secondaries_ = SecondaryManagers::create(
      environment_, authClient_, signIn_,
      {[weak](const std::string& text, std::optional<std::chrono::system_clock::time_point> timestamp) {
         if (auto self = weak.lock()) self->appendDiagnostic(text, timestamp.value_or(self->now()));
       },
       clipboardHandler()});
  state_.permissions = environment_.permissions->snapshot();
  applyConnectionSettings(DirectConnectionSettings::load(*environment_.defaults), false);
}

StatusWindowViewModel::~StatusWindowViewModel() {
  signIn_.reset();
  // The slots cancel their tasks as they are destroyed; the sessions are stopped here, each
  // closing in a task that holds its own client.
  secondaries_.reset();
  if (recoveryMonitor_) recoveryMonitor_->stop();
  if (environment_.clipboardBridge) environment_.clipboardBridge->stop();
  if (displaySleepHeld_ && environment_.displaySleepPreventer) environment_.displaySleepPreventer->stop();
}

// ---------------------------------------------------------------------------------------------
// The state and its subscribers

StatusViewPort::Subscription StatusWindowViewModel::subscribe(std::function<void()> onChange) {
  std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
  auto subscription = std::make_shared<std::function<void()>>(std::move(onChange));
  subscribers_.push_back(subscription);
  return subscription;
}

void StatusWindowViewModel::changed() {
  state_.derive();
  // A subscriber dropped while an earlier one runs is not called afterwards.
  const auto subscribers = subscribers_;
  for (const auto& weak : subscribers) {
    if (const auto subscriber = weak.lock()) (*subscriber)();
  }
}

void StatusWindowViewModel::setText(StatusFormField field, const std::string& value) {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  auto& s = state_;
  switch (field) {
    case StatusFormField::accountID: s.accountID = value; break;
    case StatusFormField::accountPassword: s.accountPassword = value; break;
    case StatusFormField::requestedClientNumber: s.requestedClientNumberText = value; break;
    case StatusFormField::setupName: s.setupName = value; break;
    case StatusFormField::managerHost: s.managerHost = value; break;
    case StatusFormField::managerPort: s.managerPortText = value; break;
    case StatusFormField::userID: s.userID = value; break;
    case StatusFormField::managerSlot: s.managerSlotText = value; break;
  }
  changed();
}

void StatusWindowViewModel::setRememberAccountID(bool value) {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  state_.rememberAccountID = value;
  changed();
}

ManagerSessionClient::ClipboardHandler StatusWindowViewModel::clipboardHandler() {
  return [weak = weak_from_this()](const LegacyClipboardValue& value) {
    auto self = weak.lock();
    if (self && self->environment_.clipboardBridge) self->environment_.clipboardBridge->applyRemote(value);
  };
}

void StatusWindowViewModel::setPermissions(PermissionSnapshot value) {
  state_.permissions = value;
  changed();
}

bool StatusWindowViewModel::hasRunningSlotTask() const {
  return pollTask_.isRunning() || primary_->isRunning() || statePollTask_.isRunning() ||
         signIn_->hasRunningTask();
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

void StatusWindowViewModel::start() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (hasStarted_) return;
  hasStarted_ = true;
  setPermissions(environment_.permissions->snapshot());
  // A desktop that can never grant them: say why where the user looks, once.
  if (const auto reason = environment_.permissions->unavailableReason()) appendDiagnostic(*reason);

  displaySleepHeld_ = environment_.displaySleepPreventer && environment_.displaySleepPreventer->start();
  appendDiagnostic(
      displaySleepHeld_
          ? "Display sleep and screen saver prevention active while VantrelMac is running"
          : "Could not prevent display sleep; check the desktop's power and screen saver settings");

  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  if (!pollTask_.isRunning()) {
    pollTask_.start([weak](TaskTokenPtr token) { return permissionPoll(weak, std::move(token)); });
  }
  if (!statePollTask_.token())
    statePollTask_.start([weak](TaskTokenPtr token) { return statePoll(weak, std::move(token)); });
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
  spawnTask(environment_.mainExecutor, startupDecision(weak, true), "startup decision",
            TaskStart::afterCaller);
}

// The automatic login is decided once the primary's event handlers are in place.
Awaitable<void> StatusWindowViewModel::startupDecision(std::weak_ptr<StatusWindowViewModel> weak,
                                                       bool explain) {
  co_await installAuthEventHandlerIfNeeded(weak);
  if (auto self = weak.lock()) self->signIn_->decideAutomaticLogin(explain);
}

void StatusWindowViewModel::requestStartupAutomaticLogin() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!signIn_->acceptStartupIntent() || !hasStarted_) return;
  spawnTask(environment_.mainExecutor, startupDecision(weak_from_this(), false), "startup login intent",
            TaskStart::afterCaller);
}

void StatusWindowViewModel::stop() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  signIn_->endSession(true);
  pollTask_.cancel();
  statePollTask_.cancel();
  primary_->stop();
  if (recoveryMonitor_) recoveryMonitor_->stop();
  recoveryMonitor_.reset();
  disconnectWasRequested_ = true;
  if (displaySleepHeld_ && environment_.displaySleepPreventer) environment_.displaySleepPreventer->stop();
  displaySleepHeld_ = false;
  // Every closing started here holds this token until its session has closed.
  auto closing = std::make_shared<int>(0);
  closing_ = closing;
  secondaries_->stopAll(closing);
  if (environment_.clipboardBridge) {
    environment_.clipboardBridge->setAuthClients({authClient_});
    environment_.clipboardBridge->stop();
  }
  spawnTask(
      environment_.mainExecutor,
      [](std::shared_ptr<ManagerSessionClient> client, std::shared_ptr<void> /*closing*/) -> Awaitable<void> {
        co_await client->disconnect();
      }(authClient_, std::move(closing)),
      "stop: primary disconnect", TaskStart::afterCaller);
}

bool StatusWindowViewModel::hasClosingSessions() const { return !closing_.expired(); }

// ---------------------------------------------------------------------------------------------
// Diagnostics

void StatusWindowViewModel::appendDiagnostic(const std::string& text) { appendDiagnostic(text, now()); }

void StatusWindowViewModel::appendDiagnostic(const std::string& text,
                                             std::chrono::system_clock::time_point timestamp) {
  diagnosticLog_.appendDiagnostic(text, timestamp);
  auto& lines = state_.diagnosticLog;
  lines.push_back(diagnosticLog_.entries().back());
  while (lines.size() > DiagnosticLog::maximumEntries) lines.pop_front();
  state_.diagnosticLogScrollToken = diagnosticLog_.scrollToken();
  changed();
}

void StatusWindowViewModel::clearDiagnosticLog() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  diagnosticLog_ = DiagnosticLog(environment_.diagnosticWriter);
  state_.diagnosticLog.clear();
  state_.diagnosticLogScrollToken = diagnosticLog_.scrollToken();
  changed();
}

void StatusWindowViewModel::copyDiagnosticLog() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!environment_.pasteboard) return;
  environment_.pasteboard->clear();
  environment_.pasteboard->writeText(diagnosticLog_.copyText());
}

// ---------------------------------------------------------------------------------------------
// Displays and permissions

Awaitable<void> StatusWindowViewModel::permissionPoll(std::weak_ptr<StatusWindowViewModel> weak,
                                                      TaskTokenPtr token) {
  while (!token->isCancelled()) {
    co_await attempt(sleepFor(permissionPollInterval));
    if (token->isCancelled()) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    self->setPermissions(self->environment_.permissions->snapshot());
  }
}

Awaitable<void> StatusWindowViewModel::displayRefresh() { return displayRefreshBody(weak_from_this()); }

Awaitable<void> StatusWindowViewModel::displayRefreshBody(std::weak_ptr<StatusWindowViewModel> weak) {
  std::shared_ptr<ScreenCaptureProviding> service;
  {
    auto self = weak.lock();
    if (!self) co_return;
    VANTREL_EXPECT_ON(self->environment_.mainExecutor);
    auto& s = self->state_;
    s.isRefreshingDisplays = true;
    s.displayError.reset();
    s.permissions = self->environment_.permissions->snapshot();
    self->changed();
    service = self->environment_.captureService;
  }
  auto call = service->enumerateDisplays();
  auto displays = co_await attempt(std::move(call));
  auto self = weak.lock();
  if (!self) co_return;
  auto& s = self->state_;
  s.lastRefresh = self->now();
  if (displays) {
    s.displays = std::move(*displays);
    if (s.displays.empty() && !s.permissions.screenRecordingGranted)
      s.displayError = ScreenCaptureServiceError::screenRecordingDenied().localizedDescription();
  } else {
    s.displays.clear();
    s.displayError = matchError(
        displays.error(), [](const ScreenCaptureServiceError& error) { return error.localizedDescription(); },
        [](const std::exception_ptr& other) {
          return "Unexpected display enumeration error: " + localizedDescription(other);
        });
  }
  s.isRefreshingDisplays = false;
  self->changed();
}

void StatusWindowViewModel::refreshDisplays() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  spawnTask(environment_.mainExecutor, displayRefresh(), "display refresh", TaskStart::afterCaller);
}

void StatusWindowViewModel::requestScreenRecording() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  (void)environment_.permissions->requestScreenRecordingAccess();
  state_.screenRecordingNote = permissionButtonAnswer();
  setPermissions(environment_.permissions->snapshot());
  refreshDisplays();
}

void StatusWindowViewModel::requestAccessibility() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (environment_.inputService) environment_.inputService->requestAccessibilityAccess();
  state_.accessibilityNote = permissionButtonAnswer();
  setPermissions(environment_.permissions->snapshot());
}

void StatusWindowViewModel::openScreenRecordingSettings() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  environment_.permissions->openScreenRecordingSettings();
  state_.screenRecordingNote = permissionButtonAnswer();
  changed();
}

void StatusWindowViewModel::openAccessibilitySettings() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  environment_.permissions->openAccessibilitySettings();
  state_.accessibilityNote = permissionButtonAnswer();
  changed();
}

std::string StatusWindowViewModel::permissionButtonAnswer() {
  // A prompt or a pane would answer on screen: this desktop has neither, so the note does.
  return std::string(environment_.permissions->unavailableReason()
                         ? ConnectionPanelPresenter::unsupportedDesktopPermissionNote
                         : ConnectionPanelPresenter::noPermissionNeededNote);
}

}  // namespace vantrel
