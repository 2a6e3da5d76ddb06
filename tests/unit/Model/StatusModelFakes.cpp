#include "StatusModelFakes.hpp"

#include "Account/EncryptedAccountCredentialStore.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

// g++ 12 pairs a coroutine frame's own operator delete with the global operator new after
// inlining and warns (-Wmismatched-new-delete); Asio allocates and frees the frame itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel::testing {

Awaitable<void> Pending::wait(std::shared_ptr<Pending> pending, std::exception_ptr onCancel) {
  if (!pending->released_) {
    std::error_code ignored;
    co_await pending->timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  if (!pending->released_) std::rethrow_exception(onCancel);
  if (pending->error_) std::rethrow_exception(pending->error_);
}

// ---- FakeManagerClient ----

void FakeManagerClient::script(const std::string& host, std::vector<Outcome> outcomes) {
  auto& queue = scripts_[host];
  queue.insert(queue.end(), outcomes.begin(), outcomes.end());
}

void FakeManagerClient::releaseHang(Outcome outcome) {
  if (hangs_.empty()) return;
  auto [pending, slot] = hangs_.front();
  hangs_.pop_front();
  *slot = outcome;
  pending->release();
}

void FakeManagerClient::fail(DirectAuthError error) {
  state_ = DirectAuthState::failed;
  lastError_ = std::move(error);
}

void FakeManagerClient::dropConnection(const std::string& errorText) {
  fail(DirectAuthError::transport(errorText));
  emit(DirectAuthEvent::now(DirectAuthEventKinds::Error{errorText}));
}

void FakeManagerClient::emit(DirectAuthEvent event) {
  if (!eventHandler_) return;
  asio::post(eventReceiver_, [handler = eventHandler_, event = std::move(event)] { handler(event); });
}

void FakeManagerClient::sendClipboard(const LegacyClipboardValue& value) {
  if (!clipboardHandler_) return;
  asio::post(clipboardReceiver_, [handler = clipboardHandler_, value] { handler(value); });
}

void FakeManagerClient::releaseSetters() {
  holdSetters_ = false;
  while (!heldSetters_.empty()) {
    heldSetters_.front()->release();
    heldSetters_.pop_front();
  }
}

Awaitable<void> FakeManagerClient::setterGate() {
  if (!holdSetters_) co_return;
  auto pending = std::make_shared<Pending>(executor_);
  heldSetters_.push_back(pending);
  co_await Pending::wait(pending, std::make_exception_ptr(CancellationError()));
}

Awaitable<void> FakeManagerClient::connectAndAuthenticate(DirectAuthConfiguration configuration) {
  // Decided here, outside the coroutine: only plain values cross into its frame.
  Outcome outcome = defaultOutcome_;
  int refusal = 0;
  if (state_ == DirectAuthState::connecting || state_ == DirectAuthState::authenticating ||
      state_ == DirectAuthState::disconnecting) {
    ++notIdleRefusals;
    refusal = 1;
  } else if (state_ == DirectAuthState::authenticated) {
    refusal = 2;
  } else {
    if (auto it = scripts_.find(configuration.host); it != scripts_.end() && !it->second.empty()) {
      outcome = it->second.front();
      it->second.pop_front();
    }
    if (!eventHandler_) ++attemptsWithoutHandlers;
    attempts.push_back(std::move(configuration));
    lastError_.reset();
    state_ = DirectAuthState::connecting;
    ++inFlight;
    maxInFlight = std::max(maxInFlight, inFlight);
    ++attemptGeneration_;
  }
  return connectBody(this, outcome, refusal, attemptGeneration_);
}

Awaitable<void> FakeManagerClient::connectBody(FakeManagerClient* self, Outcome outcome, int refusal,
                                               std::uint64_t generation) {
  if (refusal == 1) throw DirectAuthError::notIdle();
  if (refusal == 2) throw DirectAuthError::alreadyAuthenticated();
  std::exception_ptr failure;
  if (outcome == Outcome::hang) {
    auto pending = std::make_shared<Pending>(self->executor_);
    auto slot = std::make_shared<Outcome>(Outcome::accept);
    self->hangs_.emplace_back(pending, slot);
    try {
      co_await Pending::wait(pending, std::make_exception_ptr(DirectAuthError::cancelled()));
    } catch (...) {
      failure = std::current_exception();
    }
    self->forgetHang(pending);
    outcome = *slot;
  } else {
    co_await asio::post(self->executor_, asio::use_awaitable);
  }
  --self->inFlight;
  failure = self->finishAttempt(outcome, generation, failure);
  if (failure) std::rethrow_exception(failure);
}

void FakeManagerClient::forgetHang(const std::shared_ptr<Pending>& pending) {
  hangs_.erase(std::remove_if(hangs_.begin(), hangs_.end(), [&](auto& h) { return h.first == pending; }),
               hangs_.end());
}

std::exception_ptr FakeManagerClient::finishAttempt(Outcome outcome, std::uint64_t generation,
                                                    std::exception_ptr failure) {
  const bool current = generation == attemptGeneration_;
  std::optional<DirectAuthError> error;
  if (failure || !current) {
    error = DirectAuthError::cancelled();
  } else if (outcome == Outcome::reject) {
    error = DirectAuthError::rejected();
  } else if (outcome == Outcome::timeout) {
    error = DirectAuthError::timeout();
  }
  if (!error) {
    state_ = DirectAuthState::authenticated;
    return nullptr;
  }
  if (current) {
    fail(*error);
    for (const auto& event : eventsOnFailure) emit(event);
  }
  return std::make_exception_ptr(*error);
}

Awaitable<void> FakeManagerClient::disconnect() {
  ++disconnects;
  ++attemptGeneration_;
  for (auto& [pending, slot] : hangs_)
    pending->release(std::make_exception_ptr(DirectAuthError::cancelled()));
  hangs_.clear();
  co_await asio::post(executor_, asio::use_awaitable);
  if (const auto hold = holdDisconnects)
    co_await Pending::wait(hold, std::make_exception_ptr(CancellationError()));
  state_ = DirectAuthState::disconnected;
  for (const auto& event : eventsOnDisconnect) emit(event);
}

Awaitable<DirectAuthState> FakeManagerClient::currentState() { co_return state_; }

Awaitable<std::optional<DirectAuthError>> FakeManagerClient::currentLastError() { co_return lastError_; }

Awaitable<void> FakeManagerClient::setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) {
  contexts.push_back(std::move(context));
  co_return;
}

Awaitable<void> FakeManagerClient::setEventHandler(Executor receiver, EventHandler handler) {
  co_await setterGate();
  eventReceiver_ = std::move(receiver);
  eventHandler_ = std::move(handler);
}

Awaitable<void> FakeManagerClient::setClipboardHandler(Executor receiver, ClipboardHandler handler) {
  co_await setterGate();
  clipboardReceiver_ = std::move(receiver);
  clipboardHandler_ = std::move(handler);
}

Awaitable<void> FakeManagerClient::setPasteDestinationProvider(Executor, PasteDestinationProvider provider) {
  co_await setterGate();
  pasteProvider_ = std::move(provider);
}

Awaitable<void> FakeManagerClient::sendLocalClipboardText(std::string) { co_return; }
Awaitable<void> FakeManagerClient::sendLocalClipboardImagePNG(Bytes) { co_return; }
Awaitable<void> FakeManagerClient::notifyLocalClipboardFiles(std::vector<std::string>) { co_return; }
Awaitable<void> FakeManagerClient::reportClipboardBridgeFailure(std::string) { co_return; }

// ---- FakeClientFactory ----

std::shared_ptr<ManagerSessionClient> FakeClientFactory::makeSecondary(
    std::shared_ptr<AIAccountLoginContext> context) {
  auto client =
      std::make_shared<FakeManagerClient>(executor_, "secondary-" + std::to_string(secondaries.size() + 1));
  client->setDefaultOutcome(secondaryOutcome);
  if (!secondaryOutcomeQueue.empty()) {
    client->setDefaultOutcome(secondaryOutcomeQueue.front());
    secondaryOutcomeQueue.pop_front();
  }
  client->holdSetters(holdSecondarySetters);
  secondaries.push_back(client);
  secondaryContexts.push_back(std::move(context));
  return client;
}

int FakeClientFactory::liveSecondaries() const {
  return static_cast<int>(std::count_if(secondaries.begin(), secondaries.end(), [](const auto& c) {
    return c->state() == DirectAuthState::authenticated || c->state() == DirectAuthState::connecting;
  }));
}

// ---- FakeLoginService ----

Awaitable<AccountLoginResult> FakeLoginService::login(AccountLoginRequest request) {
  requests.push_back(std::move(request));
  auto pending = std::make_shared<Pending>(executor_);
  auto slot = std::make_shared<std::optional<AccountLoginResult>>();
  pending_.emplace_back(pending, slot);
  return body(this, pending, slot);
}

Awaitable<AccountLoginResult> FakeLoginService::body(
    FakeLoginService* self, std::shared_ptr<Pending> pending,
    std::shared_ptr<std::optional<AccountLoginResult>> slot) {
  try {
    co_await Pending::wait(pending, std::make_exception_ptr(CancellationError()));
  } catch (const CancellationError&) {
    auto& list = self->pending_;
    list.erase(std::remove_if(list.begin(), list.end(), [&](auto& p) { return p.first == pending; }),
               list.end());
    throw;
  }
  co_return **slot;
}

void FakeLoginService::respond(AccountLoginResult result) {
  if (pending_.empty()) return;
  auto [pending, slot] = pending_.front();
  pending_.pop_front();
  *slot = std::move(result);
  pending->release();
}

void FakeLoginService::fail(std::exception_ptr error) {
  if (pending_.empty()) return;
  auto pending = pending_.front().first;
  pending_.pop_front();
  pending->release(error);
}

std::size_t FakeLoginService::waiting() const { return pending_.size(); }

// ---- FakeCredentialStore ----

Awaitable<void> FakeCredentialStore::gate() {
  if (!held_) co_return;
  auto pending = std::make_shared<Pending>(executor_);
  held_ops_.push_back(pending);
  co_await Pending::wait(pending, std::make_exception_ptr(CancellationError()));
}

void FakeCredentialStore::releaseOne() {
  if (held_ops_.empty()) return;
  held_ops_.front()->release();
  held_ops_.pop_front();
}

Awaitable<std::optional<std::string>> FakeCredentialStore::passwordAsync(std::string account) {
  co_await gate();
  log.push_back("read " + account);
  if (readError) std::rethrow_exception(*readError);
  auto it = passwords.find(account);
  co_return it == passwords.end() ? std::nullopt : std::optional<std::string>(it->second);
}

Awaitable<void> FakeCredentialStore::saveAsync(std::string password, std::string account) {
  co_await gate();
  log.push_back("save " + account + " " + password);
  if (saveError) std::rethrow_exception(*saveError);
  passwords[account] = password;
}

Awaitable<void> FakeCredentialStore::deletePasswordAsync(std::string account) {
  co_await gate();
  log.push_back("delete " + account);
  if (account.empty()) throw EncryptedAccountCredentialStore::Failure::invalidInput();
  passwords.erase(account);
}

// ---- FakeCapture ----

Awaitable<std::vector<DisplayInfo>> FakeCapture::enumerateDisplays() {
  ++calls;
  if (holdNext) {
    auto pending = std::make_shared<Pending>(executor_);
    held.push_back(pending);
    co_await Pending::wait(pending, std::make_exception_ptr(CancellationError()));
  }
  if (error) std::rethrow_exception(error);
  co_return displays;
}

// ---- harness ----

StatusModelHarness::StatusModelHarness() {
  const auto executor = io.get_executor();
  clients = std::make_shared<FakeClientFactory>(executor);
  login = std::make_shared<FakeLoginService>(executor);
  credentials = std::make_shared<FakeCredentialStore>(executor);
  permissions = std::make_shared<FakePermissions>();
  capture = std::make_shared<FakeCapture>(executor);
  input = std::make_shared<FakeInput>();
  bridge = std::make_shared<FakeBridge>();
  pasteboard = std::make_shared<FakePasteboard>();
  displaySleep = std::make_shared<FakeDisplaySleep>();
  host = std::make_shared<FakeHost>();
  defaults = std::make_shared<InMemoryUserDefaults>();
}

StatusModelHarness::~StatusModelHarness() {
  model.reset();
  settle();
}

StatusEnvironment StatusModelHarness::environment() {
  StatusEnvironment environment;
  environment.mainExecutor = io.get_executor();
  environment.clients = clients;
  environment.loginService = login;
  environment.credentialStore = credentials;
  environment.permissions = permissions;
  environment.captureService = capture;
  environment.inputService = input;
  environment.clipboardBridge = bridge;
  environment.pasteboard = pasteboard;
  environment.pasteDestination = [] { return std::string("/home/test/Downloads"); };
  environment.makeRecoveryMonitor = [this]() -> std::shared_ptr<ConnectionRecoveryMonitoring> {
    auto monitor = std::make_shared<FakeRecoveryMonitor>();
    monitors.push_back(monitor);
    return monitor;
  };
  environment.displaySleepPreventer = displaySleep;
  environment.host = host;
  environment.defaults = defaults;
  environment.arguments = arguments;
  environment.now = [] { return std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000)); };
  return environment;
}

std::shared_ptr<StatusWindowViewModel> StatusModelHarness::make() {
  model = StatusWindowViewModel::create(environment());
  return model;
}

void StatusModelHarness::settle() {
  for (int i = 0; i < 6; ++i) drain(io);
}

void StatusModelHarness::advance(std::chrono::milliseconds by, std::chrono::milliseconds step) {
  // In steps, so that a timer armed by work that ran during a step is not skipped over. The
  // reactor notices manually moved time at its next wake-up (about a millisecond), so each step
  // runs the loop for a moment before settling.
  while (by.count() > 0) {
    const auto now = std::min(by, step);
    clock.advance(now);
    by -= now;
    io.run_for(std::chrono::milliseconds(2));
    if (io.stopped()) io.restart();
    settle();
  }
}

std::vector<std::string> StatusModelHarness::logTexts() const {
  std::vector<std::string> texts;
  for (const auto& entry : model->state().diagnosticLog) texts.push_back(entry.text);
  return texts;
}

bool StatusModelHarness::logged(const std::string& text) const { return countLogged(text) > 0; }

std::size_t StatusModelHarness::countLogged(const std::string& text) const {
  const auto texts = logTexts();
  return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

std::vector<std::string> StatusModelHarness::logLines(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const auto& text : logTexts()) {
    if (text.rfind(prefix, 0) == 0) lines.push_back(text);
  }
  return lines;
}

AccountManagerRoute StatusModelHarness::route(int index, std::string inside, std::string publicHost,
                                              std::uint16_t port) {
  return AccountManagerRoute{index, std::move(inside), std::move(publicHost), port};
}

AccountLoginResult StatusModelHarness::result(int slot, std::vector<AccountManagerRoute> routes,
                                              std::string account) {
  return AccountLoginResult{slot, std::move(account), std::move(routes), ""};
}

}  // namespace vantrel::testing
