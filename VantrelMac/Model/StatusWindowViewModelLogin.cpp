// Account login: the interactive sign-in, the automatic sign-in with the saved password and its
// retry, saving the form and the password, and connecting from the cached routes or the saved
// direct settings without a sign-in.

#include <fmt/format.h>

#include <charconv>

#include "Model/StatusWindowViewModel.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace {

// An optional sign, then decimal digits only; nullopt on anything else or overflow.
std::optional<long long> parseSignedDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned long long magnitude = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, magnitude);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  constexpr auto limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (magnitude > limit + (negative ? 1ULL : 0ULL)) return std::nullopt;
  if (negative)
    return magnitude == limit + 1 ? std::numeric_limits<long long>::min()
                                  : -static_cast<long long>(magnitude);
  return static_cast<long long>(magnitude);
}

}  // namespace

std::optional<int> StatusWindowViewModel::parseInteractiveClientNumber(std::string_view text) {
  const auto value = parseSignedDecimal(text::trimmed(text));
  if (!value || *value < 0 || *value > 65536) return std::nullopt;
  return static_cast<int>(*value);
}

std::optional<int> StatusWindowViewModel::parseAutomaticClientNumber(std::string_view text) {
  const auto value = parseSignedDecimal(text);
  if (!value || *value <= 0) return std::nullopt;
  if (*value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(*value);
}

AccountLoginRequest StatusWindowViewModel::makeLoginRequest(std::string accountID, std::string password,
                                                            std::optional<int> requestedSlot) const {
  AccountLoginRequest request;
  request.accountID = std::move(accountID);
  request.password = std::move(password);
  request.requestedSlot = requestedSlot;
  request.serial = accountLoginSerial_;
  request.computerName = text::trimmed(setupName_);
  if (request.computerName.empty()) {
    const auto name = environment_.host ? environment_.host->localizedName() : std::nullopt;
    request.computerName = name && !name->empty() ? *name : "VantrelMac";
  }
  request.version = std::string(loginVersion);
  if (environment_.host) {
    for (auto& address : environment_.host->addresses()) {
      if (address.find('.') != std::string::npos && address != "127.0.0.1")
        request.insideAddresses.push_back(address);
    }
  }
  request.macAddress = installationMAC_;
  request.macAddress2 = "";
  return request;
}

std::vector<DirectConnectionSettings> StatusWindowViewModel::candidatesFor(
    const AccountManagerRoute& route, const std::string& userID, std::uint16_t connectionNumber) const {
  std::vector<DirectConnectionSettings> candidates;
  for (auto& host : route.connectionHosts()) {
    candidates.push_back(DirectConnectionSettings{host, route.port, userID, connectionNumber});
  }
  return candidates;
}

void StatusWindowViewModel::loginAndConnect() {
  if (!canAccountLogin()) return;
  automaticLoginRetryTask_.cancel();
  const auto clientNumber = parseInteractiveClientNumber(requestedClientNumberText_);
  if (!clientNumber) {
    setAccountLoginError("Client number must be 0 (automatic) or an integer from 1 to 65536.");
    return;
  }
  persistAccountLoginSettings();
  auto request = makeLoginRequest(accountID_, accountPassword_,
                                  *clientNumber == 0 ? std::nullopt : std::optional<int>(*clientNumber));
  beginAccountLogin(std::move(request), false);
}

void StatusWindowViewModel::beginAccountLogin(AccountLoginRequest request, bool automatic) {
  if (isAccountLoginBusy_) return;
  storedCredentialReadTask_.cancel();
  if (accountAIContext_) accountAIContext_->revoke();
  accountAIContext_.reset();
  setIsAccountLoginBusy(true);
  setIsAccountAuthenticated(false);
  setAccountLoginError(std::nullopt);
  setAccountLoginStatus(automatic ? "Signing in automatically…" : "Signing in…");
  appendDiagnostic(automatic ? std::string("Automatic account login requested")
                             : fmt::format("Account login requested (clientNumber={})",
                                           request.requestedSlot.value_or(0)));
  spawnTask(environment_.mainExecutor,
            loginTask(weak_from_this(), std::move(request), automatic, sessionEpoch_), "account login");
}

Awaitable<StatusWindowViewModel::LoginAnswer> StatusWindowViewModel::askLoginServer(
    std::weak_ptr<StatusWindowViewModel> weak, AccountLoginRequest request) {
  LoginAnswer answer;
  std::shared_ptr<AccountLoginServicing> service;
  {
    auto self = weak.lock();
    if (!self) co_return answer;
    service = self->environment_.loginService;
    answer.client = self->authClient_;
  }
  try {
    auto call = service->login(std::move(request));
    answer.result = co_await std::move(call);
  } catch (...) {
    answer.failure = std::current_exception();
  }
  co_return answer;
}

Awaitable<void> StatusWindowViewModel::loginTask(std::weak_ptr<StatusWindowViewModel> weak,
                                                 AccountLoginRequest request, bool automatic,
                                                 std::uint64_t epoch) {
  auto call = askLoginServer(weak, request);
  LoginAnswer answer = co_await std::move(call);
  if (!answer.client) co_return;
  const auto client = answer.client;
  const auto failure = answer.failure;
  auto& result = answer.result;
  // An automatic login that outlives a disconnect or stop applies nothing; the user's own login
  // goes on.
  auto superseded = [&](StatusWindowViewModel& self) { return automatic && epoch != self.sessionEpoch_; };

  std::shared_ptr<AIAccountLoginContext> context;
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (superseded(*self)) {
      self->abandonSupersededLogin();
      co_return;
    }
    if (failure) {
      self->handleLoginFailure(localizedDescription(failure), automatic);
      co_return;
    }
    context = AIAccountLoginContext::create(*result);
    self->accountAIContext_ = context;
  }
  co_await client->setAIAccountContext(context);

  const auto slot = result->assignedSlot;
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (superseded(*self)) {
      self->abandonSupersededLogin();
      co_return;
    }
    self->automaticLoginRetryTask_.cancel();
    self->persistCredential(
        self->rememberAccountID_ ? std::optional<std::string>(request.password) : std::nullopt,
        result->accountID);
    if (result->routes.empty() || slot < 1 || slot > 65536) {
      self->handleLoginWithoutRoute(request, *result);
      co_return;
    }
  }
  const auto primary = result->routes.front();
  const auto connectionNumber = static_cast<std::uint16_t>(slot - 1);
  co_await client->disconnect();
  co_await client->setAIAccountContext(context);
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (superseded(*self)) {
      self->abandonSupersededLogin();
      co_return;
    }
    self->handleLoginSuccess(request, *result, primary, connectionNumber);
  }
  auto configuring = configureSecondaryManagerSessions(weak, result->routes, primary.managerIndex,
                                                       result->accountID, connectionNumber);
  co_await std::move(configuring);
}

// Nothing runs any more for the dropped login: the status line goes back to its idle text.
void StatusWindowViewModel::abandonSupersededLogin() {
  setIsAccountLoginBusy(false);
  setAccountLoginStatus(std::string(idleAccountLoginStatus));
}

void StatusWindowViewModel::handleLoginSuccess(const AccountLoginRequest& request,
                                               const AccountLoginResult& result,
                                               const AccountManagerRoute& primary,
                                               std::uint16_t connectionNumber) {
  sessionAccountPassword_ = request.password;
  sessionAssignedSlot_ = result.assignedSlot;
  setIsAccountAuthenticated(true);
  setAccountPassword("");
  setIsAccountLoginBusy(false);
  setUserID(result.accountID);
  setManagerSlotText(std::to_string(result.assignedSlot));
  setRequestedClientNumberText(std::to_string(result.assignedSlot));
  persistAccountLoginSettings();
  appendDiagnostic(
      fmt::format("Account authenticated; server assigned client number {}", result.assignedSlot));
  primaryManagerIndex_ = primary.managerIndex;
  ManagerRouteCache cache{1, result.accountID, result.assignedSlot, primary.managerIndex, result.routes};
  cache.save(*environment_.defaults);
  managerRouteCache_ = std::move(cache);

  auto candidates = candidatesFor(primary, result.accountID, connectionNumber);
  if (candidates.empty()) {
    setAccountLoginStatus("Signed in — manager is offline");
    setAccountLoginError("No usable direct manager endpoint was returned.");
    return;
  }
  applyConnectionSettings(candidates.front(), true);
  setAccountLoginStatus("Signed in — connecting through server route");
  std::size_t endpoints = 0;
  for (const auto& route : result.routes) endpoints += route.connectionHosts().size();
  appendDiagnostic(fmt::format("Server returned {} manager route(s), {} direct endpoint(s)",
                               result.routes.size(), endpoints));
  beginConnecting(std::move(candidates), "account login");
}

void StatusWindowViewModel::handleLoginWithoutRoute(const AccountLoginRequest& request,
                                                    const AccountLoginResult& result) {
  sessionAccountPassword_ = request.password;
  sessionAssignedSlot_ = result.assignedSlot;
  setIsAccountAuthenticated(true);
  setIsAccountLoginBusy(false);
  setAccountPassword("");
  setUserID(result.accountID);
  persistAccountLoginSettings();
  setAccountLoginStatus("Signed in — manager is offline");
  setAccountLoginError("No active manager route was returned. Start the manager and sign in again.");
  appendDiagnostic("Account authenticated, but server returned no active manager route");
}

void StatusWindowViewModel::handleLoginFailure(const std::string& message, bool automatic) {
  if (!automatic) setAccountPassword("");
  setIsAccountLoginBusy(false);
  setIsAccountAuthenticated(false);
  setAccountLoginStatus(automatic ? "Automatic sign-in failed" : "Sign-in failed");
  setAccountLoginError(message);
  appendDiagnostic(fmt::format("{} failed: {}", automatic ? "Automatic account login" : "Account login",
                               text::loggable(message)));
  if (automatic) {
    appendDiagnostic("Falling back to cached manager routes");
    attemptAutoConnectOnce();
    scheduleAutomaticAccountLoginRetry();
  }
}

void StatusWindowViewModel::persistAccountLoginSettings() {
  AccountLoginSettings{accountID_,         requestedClientNumberText_, setupName_,
                       rememberAccountID_, accountLoginSerial_,        installationMAC_}
      .save(*environment_.defaults);
  if (!rememberAccountID_) persistCredential(std::nullopt, accountID_);
}

void StatusWindowViewModel::persistCredential(std::optional<std::string> password, std::string accountID) {
  auto previous = credentialPersistenceDone_;
  auto done = std::make_shared<AsyncLatch>(environment_.mainExecutor);
  credentialPersistenceDone_ = done;
  auto body = [](std::weak_ptr<StatusWindowViewModel> weak, std::shared_ptr<AccountCredentialStoring> store,
                 std::shared_ptr<AsyncLatch> previous, std::optional<std::string> password,
                 std::string accountID) -> Awaitable<void> {
    co_await AsyncLatch::waitFor(previous);
    std::exception_ptr failure;
    try {
      auto operation =
          password ? store->saveAsync(*password, accountID) : store->deletePasswordAsync(accountID);
      co_await std::move(operation);
    } catch (...) {
      failure = std::current_exception();
    }
    auto self = weak.lock();
    if (!self) co_return;
    if (failure) {
      self->appendDiagnostic("Automatic-login credential persistence failed; current login can continue: " +
                             localizedDescription(failure));
    } else {
      self->appendDiagnostic(password ? "Encrypted automatic-login credential saved (no Keychain)"
                                      : "Saved account credential removed");
    }
  };
  spawnTask(environment_.mainExecutor,
            settingWhenDone(done, body(weak_from_this(), environment_.credentialStore, previous,
                                       std::move(password), std::move(accountID))),
            "credential persistence");
}

void StatusWindowViewModel::requestStartupAutomaticLogin() {
  automaticLoginRequested_ = true;
  if (isAccountAuthenticated_ || isAccountLoginBusy_) {
    appendDiagnostic("Startup login intent ignored: account already active");
    return;
  }
  appendDiagnostic("Local startup login intent received");
  if (!hasStarted_) return;
  spawnTask(
      environment_.mainExecutor,
      [](std::weak_ptr<StatusWindowViewModel> weak) -> Awaitable<void> {
        co_await installAuthEventHandlerIfNeeded(weak);
        auto self = weak.lock();
        if (!self) co_return;
        if (AutoConnectPolicy::shouldAttemptSavedAccountLogin(self->rememberAccountID_, self->accountID_,
                                                              self->didAttemptAccountAutoLogin_,
                                                              self->automaticLoginRequested_)) {
          self->attemptStoredAccountAutoLoginOnce();
        }
      }(weak_from_this()),
      "startup login intent");
}

void StatusWindowViewModel::attemptStoredAccountAutoLoginOnce() {
  if (didAttemptAccountAutoLogin_) return;
  didAttemptAccountAutoLogin_ = true;
  auto account = text::trimmed(accountID_);
  if (!rememberAccountID_ || account.empty()) {
    attemptAutoConnectOnce();
    return;
  }
  setAccountLoginStatus("Reading encrypted automatic-login credential");
  appendDiagnostic("Reading encrypted account credential (no Keychain)");
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  storedCredentialReadTask_.release();
  storedCredentialReadTask_.start(
      [weak, account](TaskTokenPtr token) { return storedCredentialRead(weak, std::move(token), account); });
}

Awaitable<void> StatusWindowViewModel::storedCredentialRead(std::weak_ptr<StatusWindowViewModel> weak,
                                                            TaskTokenPtr token, std::string account) {
  std::shared_ptr<AccountCredentialStoring> store;
  {
    auto self = weak.lock();
    if (!self) co_return;
    store = self->environment_.credentialStore;
  }
  std::optional<std::string> password;
  std::exception_ptr failure;
  try {
    auto read = store->passwordAsync(account);
    password = co_await std::move(read);
  } catch (...) {
    failure = std::current_exception();
  }
  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return;
  if (self->storedCredentialReadTask_.token() == token) self->storedCredentialReadTask_.release();
  if (failure) {
    self->appendDiagnostic("Saved credential could not be read: " + localizedDescription(failure));
    self->attemptAutoConnectOnce();
    co_return;
  }
  if (!self->rememberAccountID_ || text::trimmed(self->accountID_) != account || self->isAccountLoginBusy_ ||
      self->isAccountAuthenticated_) {
    co_return;
  }
  if (!password || password->empty()) {
    self->setAccountLoginStatus("Password required once for automatic login");
    self->appendDiagnostic("No saved encrypted credential; sign in once to enable automatic account login");
    self->attemptAutoConnectOnce();
    co_return;
  }
  auto request = self->makeLoginRequest(account, *password,
                                        parseAutomaticClientNumber(self->requestedClientNumberText_));
  self->beginAccountLogin(std::move(request), true);
}

void StatusWindowViewModel::scheduleAutomaticAccountLoginRetry() {
  if (automaticLoginRetryTask_.isRunning() || !rememberAccountID_) return;
  std::weak_ptr<StatusWindowViewModel> weak = weak_from_this();
  automaticLoginRetryTask_.start([weak](TaskTokenPtr token) {
    return [](std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token) -> Awaitable<void> {
      co_await sleepFor(automaticLoginRetryDelay);
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      if (self->automaticLoginRetryTask_.token() == token) self->automaticLoginRetryTask_.release();
      self->didAttemptAccountAutoLogin_ = false;
      self->appendDiagnostic("Retrying automatic account login");
      self->attemptStoredAccountAutoLoginOnce();
    }(weak, std::move(token));
  });
}

void StatusWindowViewModel::attemptAutoConnectOnce() {
  if (didAttemptAutoConnect_) return;
  didAttemptAutoConnect_ = true;
  if (managerRouteCache_ && managerRouteCache_->accountID == userID_ &&
      managerRouteCache_->assignedSlot >= 1 && managerRouteCache_->assignedSlot <= 65536) {
    const auto cache = *managerRouteCache_;
    const auto primary = std::find_if(
        cache.routes.begin(), cache.routes.end(),
        [&](const AccountManagerRoute& r) { return r.managerIndex == cache.primaryManagerIndex; });
    if (primary != cache.routes.end()) {
      const auto connectionNumber = static_cast<std::uint16_t>(cache.assignedSlot - 1);
      auto candidates = candidatesFor(*primary, cache.accountID, connectionNumber);
      if (canConnect() && !candidates.empty()) {
        primaryManagerIndex_ = cache.primaryManagerIndex;
        sessionAssignedSlot_ = cache.assignedSlot;
        applyConnectionSettings(candidates.front(), false);
        appendDiagnostic(fmt::format("Auto-connect using cached server routes (managers={}, primary={})",
                                     cache.routes.size(), cache.primaryManagerIndex));
        beginConnecting(std::move(candidates), "cached server routes");
        spawnTask(environment_.mainExecutor,
                  configureSecondaryManagerSessions(weak_from_this(), cache.routes, cache.primaryManagerIndex,
                                                    cache.accountID, connectionNumber),
                  "cached secondary sessions");
        return;
      }
    }
  }
  const auto outcome =
      DirectConnectionFormParser::validate(managerHost_, managerPortText_, userID_, managerSlotText_);
  if (canConnect() && outcome.validation == DirectConnectionFormValidation::valid) {
    appendDiagnostic("Auto-connect using saved settings");
    connect();
  }
}

}  // namespace vantrel
