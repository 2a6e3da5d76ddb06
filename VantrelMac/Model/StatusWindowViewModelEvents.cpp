// The primary session's events, the connection-state poll, the permission poll, the diagnostics
// copy, the displays and the permission requests.

#include <fmt/format.h>

#include "Model/StatusWindowViewModel.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/Outcome.hpp"

namespace vantrel {

namespace {

bool endsSession(DirectAuthState state) {
  return state == DirectAuthState::failed || state == DirectAuthState::disconnected;
}

}  // namespace

Awaitable<void> StatusWindowViewModel::installAuthEventHandlerIfNeeded(
    std::weak_ptr<StatusWindowViewModel> weak) {
  std::shared_ptr<AsyncLatch> ready;
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (!self->eventHandlerInstalled_) {
      // The installation runs as a task of its own, so a caller that is cancelled while it runs
      // cannot leave the handlers half installed; every caller waits until it is done.
      self->eventHandlerInstalled_ = true;
      self->eventHandlersReady_ = std::make_shared<AsyncLatch>(self->environment_.mainExecutor);
      spawnTask(self->environment_.mainExecutor,
                settingWhenDone(self->eventHandlersReady_,
                                installHandlers(weak, self->authClient_, self->environment_.mainExecutor,
                                                self->environment_.pasteDestination)),
                "install auth event handlers");
    }
    ready = self->eventHandlersReady_;
  }
  co_await AsyncLatch::waitFor(ready);
}

Awaitable<void> StatusWindowViewModel::installHandlers(std::weak_ptr<StatusWindowViewModel> weak,
                                                       std::shared_ptr<ManagerSessionClient> client,
                                                       Executor main,
                                                       std::function<std::string()> pasteDestination) {
  // g++ 12 moves an argument object built inside a co_await expression by copying its bytes,
  // which breaks objects that point into themselves (strings, functions, executors): every
  // call is made first and only its awaitable is awaited.
  ManagerSessionClient::EventHandler onEvent = [weak](const DirectAuthEvent& event) {
    if (auto self = weak.lock()) self->handleAuthEvent(event);
  };
  ManagerSessionClient::ClipboardHandler onClipboard = [weak](const LegacyClipboardValue& value) {
    auto self = weak.lock();
    if (self && self->environment_.clipboardBridge) self->environment_.clipboardBridge->applyRemote(value);
  };
  auto provider = pasteDestinationProvider(std::move(pasteDestination));
  auto onEventSet = client->setEventHandler(main, std::move(onEvent));
  co_await std::move(onEventSet);
  auto onClipboardSet = client->setClipboardHandler(main, std::move(onClipboard));
  co_await std::move(onClipboardSet);
  auto providerSet = client->setPasteDestinationProvider(main, std::move(provider));
  co_await std::move(providerSet);
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
        auto& s = self->state_;
        // While a cycle runs only its end states come through here.
        if (s.isConnectionBusy && !endsSession(state)) co_return;
        s.connectionState = state;
        if (state == DirectAuthState::failed && !s.connectionError && errorText)
          s.connectionError = errorText;
        self->changed();
        if (endsSession(state) && !self->disconnectWasRequested_ && !s.isConnectionBusy) {
          self->scheduleReconnect();
        }
      }(weak_from_this(), authClient_, std::move(errorText)),
      "auth event");
}

void StatusWindowViewModel::startConnectionStatePolling() {
  if (statePollTask_.token()) return;
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  statePollTask_.start([weak](TaskTokenPtr token) { return statePoll(weak, std::move(token)); });
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
      for (const auto& [index, session] : self->secondaryManagerSessions_)
        secondaries.push_back(session->client());
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
    if (!s.isConnectionBusy) {
      s.connectionState = state;
      if (state == DirectAuthState::failed && !s.connectionError && lastError)
        s.connectionError = lastError->localizedDescription();
    }
    self->changed();
  }
}

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

Awaitable<void> StatusWindowViewModel::displayRefresh() { return refreshDisplaysBody(weak_from_this()); }

Awaitable<void> StatusWindowViewModel::refreshDisplaysBody(std::weak_ptr<StatusWindowViewModel> weak) {
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
  spawnTask(environment_.mainExecutor, displayRefresh(), "display refresh");
}

void StatusWindowViewModel::requestScreenRecording() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  (void)environment_.permissions->requestScreenRecordingAccess();
  setPermissions(environment_.permissions->snapshot());
  refreshDisplays();
}

void StatusWindowViewModel::requestAccessibility() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (environment_.inputService) environment_.inputService->requestAccessibilityAccess();
  setPermissions(environment_.permissions->snapshot());
}

void StatusWindowViewModel::openScreenRecordingSettings() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  environment_.permissions->openScreenRecordingSettings();
}

void StatusWindowViewModel::openAccessibilitySettings() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  environment_.permissions->openAccessibilitySettings();
}

}  // namespace vantrel
