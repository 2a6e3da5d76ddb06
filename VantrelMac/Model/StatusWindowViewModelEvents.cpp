// The primary session's events, the connection-state poll, the permission poll, the diagnostics
// copy, the displays and the permission requests.

#include <fmt/format.h>

#include "Model/StatusWindowViewModel.hpp"

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
        // While a cycle runs only its end states come through here.
        if (self->isConnectionBusy_ && !endsSession(state)) co_return;
        self->setConnectionState(state);
        if (state == DirectAuthState::failed && !self->connectionError_ && errorText) {
          self->setConnectionError(errorText);
        }
        if (endsSession(state) && !self->disconnectWasRequested_ && !self->isConnectionBusy_) {
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
    try {
      co_await sleepFor(statePollInterval);
    } catch (...) {
    }
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
    self->setManagerConnectionsLabel(fmt::format("{}/{} managers", authenticated, secondaries.size() + 1));
    if (!self->isConnectionBusy_) {
      if (self->connectionState_ != state) self->setConnectionState(state);
      if (state == DirectAuthState::failed && !self->connectionError_) {
        self->setConnectionError(lastError ? std::optional<std::string>(lastError->localizedDescription())
                                           : std::nullopt);
      }
    }
  }
}

Awaitable<void> StatusWindowViewModel::permissionPoll(std::weak_ptr<StatusWindowViewModel> weak,
                                                      TaskTokenPtr token) {
  while (!token->isCancelled()) {
    try {
      co_await sleepFor(permissionPollInterval);
    } catch (...) {
    }
    if (token->isCancelled()) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    self->setPermissions(self->environment_.permissions->snapshot());
  }
}

void StatusWindowViewModel::copyDiagnosticLog() {
  if (!environment_.pasteboard) return;
  environment_.pasteboard->clear();
  environment_.pasteboard->writeText(diagnosticLog_.copyText());
}

Awaitable<void> StatusWindowViewModel::refreshDisplays() { return refreshDisplaysBody(weak_from_this()); }

Awaitable<void> StatusWindowViewModel::refreshDisplaysBody(std::weak_ptr<StatusWindowViewModel> weak) {
  std::shared_ptr<ScreenCaptureProviding> service;
  {
    auto self = weak.lock();
    if (!self) co_return;
    self->setIsRefreshingDisplays(true);
    self->setDisplayError(std::nullopt);
    self->setPermissions(self->environment_.permissions->snapshot());
    service = self->environment_.captureService;
  }
  std::optional<std::vector<DisplayInfo>> displays;
  std::exception_ptr failure;
  try {
    auto call = service->enumerateDisplays();
    displays = co_await std::move(call);
  } catch (...) {
    failure = std::current_exception();
  }
  auto self = weak.lock();
  if (!self) co_return;
  if (displays) {
    const bool empty = displays->empty();
    self->setDisplays(std::move(*displays));
    self->setLastRefresh(self->now());
    if (empty && !self->permissions_.screenRecordingGranted) {
      self->setDisplayError(ScreenCaptureServiceError::screenRecordingDenied().localizedDescription());
    }
  } else {
    std::string message;
    try {
      std::rethrow_exception(failure);
    } catch (const ScreenCaptureServiceError& error) {
      message = error.localizedDescription();
    } catch (...) {
      message = "Unexpected display enumeration error: " + localizedDescription(std::current_exception());
    }
    self->setDisplays({});
    self->setDisplayError(message);
    self->setLastRefresh(self->now());
  }
  self->setIsRefreshingDisplays(false);
}

void StatusWindowViewModel::startDisplayRefresh() {
  spawnTask(environment_.mainExecutor, refreshDisplays(), "display refresh");
}

void StatusWindowViewModel::requestScreenRecording() {
  (void)environment_.permissions->requestScreenRecordingAccess();
  setPermissions(environment_.permissions->snapshot());
  startDisplayRefresh();
}

void StatusWindowViewModel::requestAccessibilityAccess() {
  if (environment_.inputService) environment_.inputService->requestAccessibilityAccess();
  setPermissions(environment_.permissions->snapshot());
}

void StatusWindowViewModel::openScreenRecordingSettings() {
  environment_.permissions->openScreenRecordingSettings();
}

void StatusWindowViewModel::openAccessibilitySettings() {
  environment_.permissions->openAccessibilitySettings();
}

}  // namespace vantrel
