#include "Model/Connection/AccountSignIn.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "Account/StartupLoginIntent.hpp"
#include "Support/Outcome.hpp"
#include "Support/Text.hpp"

namespace vantrel {

std::shared_ptr<AccountSignIn> AccountSignIn::create(const StatusEnvironment& environment,
                                                     std::shared_ptr<ManagerSessionClient> primary,
                                                     Owner& owner) {
  std::shared_ptr<AccountSignIn> signIn(new AccountSignIn(environment, std::move(primary), owner));
  signIn->load();
  return signIn;
}

AccountSignIn::AccountSignIn(const StatusEnvironment& environment,
                             std::shared_ptr<ManagerSessionClient> primary, Owner& owner)
    : main_(environment.mainExecutor),
      service_(environment.loginService),
      store_(environment.credentialStore),
      defaults_(environment.defaults),
      host_(environment.host),
      primary_(std::move(primary)),
      owner_(owner),
      automaticLoginRequested_(StartupLoginIntent::requestedByArguments(environment.arguments)),
      retryTask_(main_, "automaticLoginRetryTask", TaskStart::afterCaller),
      passwordReadTask_(main_, "storedCredentialReadTask", TaskStart::afterCaller),
      refreshTask_(main_, "routeRefreshTask", TaskStart::afterCaller) {}

void AccountSignIn::load() {
  const auto host = host_;
  const auto login = AccountLoginSettings::load(*defaults_, [host]() -> std::optional<std::string> {
    return host ? host->localizedName() : std::nullopt;
  });
  serial_ = login.serial;
  installationMAC_ = login.installationMAC;
  auto& s = state();
  s.accountID = login.accountID;
  s.requestedClientNumberText = login.requestedSlotText;
  s.setupName = login.setupName;
  s.rememberAccountID = login.rememberAccountID;
  if (auto cache = ManagerRouteCache::load(*defaults_); cache && cache->accountID == s.accountID) {
    primaryManagerIndex_ = cache->primaryManagerIndex;
    assignedSlot_ = cache->assignedSlot;
    routeCache_ = std::move(cache);
  }
}

bool AccountSignIn::hasRunningTask() const {
  return retryTask_.isRunning() || passwordReadTask_.isRunning() || refreshTask_.isRunning();
}

// ---------------------------------------------------------------------------------------------
// Signing in

void AccountSignIn::loginAndConnect() {
  const auto& s = state();
  if (!s.canAccountLogin) return;
  retryTask_.cancel();
  const auto clientNumber = parseInteractiveClientNumber(s.requestedClientNumberText);
  if (!clientNumber) {
    state().accountLoginError = "Client number must be 0 (automatic) or an integer from 1 to 65536.";
    owner_.changed();
    return;
  }
  persistAccountLoginSettings();
  begin(makeLoginRequest(s.accountID, s.accountPassword,
                         *clientNumber == 0 ? std::nullopt : std::optional<int>(*clientNumber)),
        false);
}

void AccountSignIn::begin(AccountLoginRequest request, bool automatic) {
  auto& s = state();
  if (s.isAccountLoginBusy) return;
  passwordReadTask_.cancel();
  if (context_) context_->revoke();
  context_.reset();
  s.isAccountLoginBusy = true;
  s.isAccountAuthenticated = false;
  s.accountLoginError.reset();
  s.accountLoginStatus = automatic ? "Signing in automatically…" : "Signing in…";
  owner_.changed();
  owner_.appendDiagnostic(automatic ? std::string("Automatic account login requested")
                                    : fmt::format("Account login requested (clientNumber={})",
                                                  request.requestedSlot.value_or(0)));
  spawnTask(main_, loginTask(weak_from_this(), std::move(request), automatic, sessionEpoch_), "account login",
            TaskStart::afterCaller);
}

Awaitable<std::optional<AccountSignIn::LoginAnswer>> AccountSignIn::askLoginServer(
    std::weak_ptr<AccountSignIn> weak, AccountLoginRequest request) {
  std::shared_ptr<AccountLoginServicing> service;
  LoginAnswer answer;
  if (auto self = weak.lock()) {
    service = self->service_;
    answer.client = self->primary_;
  } else {
    co_return std::nullopt;
  }
  // g++ 12 moves an argument object built inside a co_await expression by copying its bytes: the
  // call is made first and only its awaitable is awaited.
  auto call = service->login(std::move(request));
  answer.result = co_await attempt(std::move(call));
  co_return answer;
}

Awaitable<void> AccountSignIn::loginTask(std::weak_ptr<AccountSignIn> weak, AccountLoginRequest request,
                                         bool automatic, std::uint64_t epoch) {
  auto asking = askLoginServer(weak, request);
  auto asked = co_await std::move(asking);
  if (!asked) co_return;
  const auto client = asked->client;
  auto& answer = asked->result;
  // An automatic login that outlives a disconnect or stop applies nothing; the user's own login
  // goes on.
  auto current = [&]() -> std::shared_ptr<AccountSignIn> {
    auto self = weak.lock();
    if (self && automatic && epoch != self->sessionEpoch_) {
      self->abandonSupersededLogin();
      return nullptr;
    }
    return self;
  };

  std::shared_ptr<AIAccountLoginContext> context;
  if (auto self = current()) {
    if (!answer) {
      self->handleLoginFailure(localizedDescription(answer.error()), automatic);
      co_return;
    }
    context = AIAccountLoginContext::create(*answer);
    self->context_ = context;
  } else {
    co_return;
  }
  co_await client->setAIAccountContext(context);

  const auto& result = *answer;
  const bool withRoute = !result.routes.empty() && isValidSlot(result.assignedSlot);
  if (auto self = current()) {
    self->retryTask_.cancel();
    self->persistCredential(
        self->state().rememberAccountID ? std::optional<std::string>(request.password) : std::nullopt,
        result.accountID);
    if (!withRoute) {
      self->signedIn(request, result, false);
      co_return;
    }
  } else {
    co_return;
  }
  co_await client->disconnect();
  co_await client->setAIAccountContext(context);
  auto self = current();
  if (!self) co_return;
  self->signedIn(request, result, true);
  const auto primary = result.routes.front();
  const auto connectionNumber = static_cast<std::uint16_t>(result.assignedSlot - 1);
  auto configuring = self->owner_.connectSecondaries(result.routes, primary.managerIndex, result.accountID,
                                                     connectionNumber);
  self.reset();
  co_await std::move(configuring);
}

// Nothing runs any more for the dropped login: the status line goes back to its idle text.
void AccountSignIn::abandonSupersededLogin() {
  auto& s = state();
  s.isAccountLoginBusy = false;
  s.accountLoginStatus = std::string(idleAccountLoginStatus);
  owner_.changed();
}

void AccountSignIn::signedIn(const AccountLoginRequest& request, const AccountLoginResult& result,
                             bool withRoute) {
  sessionPassword_ = request.password;
  assignedSlot_ = result.assignedSlot;
  auto& s = state();
  s.isAccountAuthenticated = true;
  s.accountPassword.clear();
  s.isAccountLoginBusy = false;
  s.userID = result.accountID;
  if (!withRoute) {
    owner_.changed();
    persistAccountLoginSettings();
    s.accountLoginStatus = "Signed in — manager is offline";
    s.accountLoginError = "No active manager route was returned. Start the manager and sign in again.";
    owner_.changed();
    owner_.appendDiagnostic("Account authenticated, but server returned no active manager route");
    return;
  }
  s.managerSlotText = std::to_string(result.assignedSlot);
  s.requestedClientNumberText = std::to_string(result.assignedSlot);
  owner_.changed();
  persistAccountLoginSettings();
  owner_.appendDiagnostic(
      fmt::format("Account authenticated; server assigned client number {}", result.assignedSlot));
  const auto& primary = result.routes.front();
  primaryManagerIndex_ = primary.managerIndex;
  saveRouteCache(result, primary.managerIndex);

  auto candidates =
      candidatesFor(primary, result.accountID, static_cast<std::uint16_t>(result.assignedSlot - 1));
  if (candidates.empty()) {
    s.accountLoginStatus = "Signed in — manager is offline";
    s.accountLoginError = "No usable direct manager endpoint was returned.";
    owner_.changed();
    return;
  }
  s.accountLoginStatus = "Signed in — connecting through server route";
  owner_.changed();
  std::size_t endpoints = 0;
  for (const auto& route : result.routes) endpoints += route.connectionHosts().size();
  owner_.appendDiagnostic(fmt::format("Server returned {} manager route(s), {} direct endpoint(s)",
                                      result.routes.size(), endpoints));
  owner_.connectPrimary(std::move(candidates), "account login", true, true);
}

void AccountSignIn::handleLoginFailure(const std::string& message, bool automatic) {
  auto& s = state();
  if (!automatic) s.accountPassword.clear();
  s.isAccountLoginBusy = false;
  s.isAccountAuthenticated = false;
  s.accountLoginStatus = automatic ? "Automatic sign-in failed" : "Sign-in failed";
  s.accountLoginError = message;
  owner_.changed();
  owner_.appendDiagnostic(fmt::format(
      "{} failed: {}", automatic ? "Automatic account login" : "Account login", text::loggable(message)));
  if (automatic) {
    owner_.appendDiagnostic("Falling back to cached manager routes");
    attemptAutoConnectOnce();
    scheduleRetry();
  }
}

// ---------------------------------------------------------------------------------------------
// The saved form and password

void AccountSignIn::persistAccountLoginSettings() {
  const auto& s = state();
  AccountLoginSettings{
      s.accountID, s.requestedClientNumberText, s.setupName, s.rememberAccountID, serial_, installationMAC_}
      .save(*defaults_);
  if (!s.rememberAccountID) persistCredential(std::nullopt, s.accountID);
}

void AccountSignIn::persistCredential(std::optional<std::string> password, std::string accountID) {
  auto previous = credentialPersistenceDone_;
  auto done = std::make_shared<AsyncLatch>(main_);
  credentialPersistenceDone_ = done;
  auto body = [](std::weak_ptr<AccountSignIn> weak, std::shared_ptr<AccountCredentialStoring> store,
                 std::shared_ptr<AsyncLatch> previous, std::optional<std::string> password,
                 std::string accountID) -> Awaitable<void> {
    co_await AsyncLatch::waitFor(previous);
    auto operation =
        password ? store->saveAsync(*password, accountID) : store->deletePasswordAsync(accountID);
    auto saved = co_await attempt(std::move(operation));
    auto self = weak.lock();
    if (!self) co_return;
    if (!saved) {
      self->owner_.appendDiagnostic(
          "Automatic-login credential persistence failed; current login can continue: " +
          localizedDescription(saved.error()));
    } else {
      self->owner_.appendDiagnostic(password ? "Automatic-login credential saved in the encrypted login file"
                                             : "Saved account credential removed");
    }
  };
  spawnTask(main_,
            settingWhenDone(
                done, body(weak_from_this(), store_, previous, std::move(password), std::move(accountID))),
            "credential persistence", TaskStart::afterCaller);
}

// ---------------------------------------------------------------------------------------------
// Automatic login

bool AccountSignIn::acceptStartupIntent() {
  automaticLoginRequested_ = true;
  const auto& s = state();
  if (s.isAccountAuthenticated || s.isAccountLoginBusy) {
    owner_.appendDiagnostic("Startup login intent ignored: account already active");
    return false;
  }
  owner_.appendDiagnostic("Local startup login intent received");
  return true;
}

void AccountSignIn::decideAutomaticLogin(bool explain) {
  const auto& s = state();
  if (AutoConnectPolicy::shouldAttemptSavedAccountLogin(s.rememberAccountID, s.accountID,
                                                        didAttemptSavedLogin_, automaticLoginRequested_)) {
    if (explain) owner_.appendDiagnostic("Automatic account login requested by startup intent");
    attemptSavedLoginOnce();
  } else if (!explain) {
    return;
  } else if (!automaticLoginRequested_) {
    owner_.appendDiagnostic("Interactive launch mode; waiting for account login");
  } else if (didAttemptSavedLogin_) {
    owner_.appendDiagnostic("Startup automatic login already requested");
  } else {
    owner_.appendDiagnostic(
        "Startup automatic login unavailable: check AUTO LOGIN preference and saved account");
  }
}

void AccountSignIn::attemptSavedLoginOnce() {
  if (didAttemptSavedLogin_) return;
  didAttemptSavedLogin_ = true;
  auto account = text::trimmed(state().accountID);
  if (!state().rememberAccountID || account.empty()) {
    attemptAutoConnectOnce();
    return;
  }
  state().accountLoginStatus = "Reading encrypted automatic-login credential";
  owner_.changed();
  owner_.appendDiagnostic("Reading account credential from the encrypted login file");
  std::weak_ptr<AccountSignIn> weak = weak_from_this();
  passwordReadTask_.release();
  passwordReadTask_.start(
      [weak, account](TaskTokenPtr token) { return savedPasswordRead(weak, std::move(token), account); });
}

Awaitable<void> AccountSignIn::savedPasswordRead(std::weak_ptr<AccountSignIn> weak, TaskTokenPtr token,
                                                 std::string account) {
  std::shared_ptr<AccountCredentialStoring> store;
  if (auto self = weak.lock()) {
    store = self->store_;
  } else {
    co_return;
  }
  auto read = store->passwordAsync(account);
  auto password = co_await attempt(std::move(read));
  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return;
  if (self->passwordReadTask_.token() == token) self->passwordReadTask_.release();
  if (!password) {
    self->owner_.appendDiagnostic("Saved credential could not be read: " +
                                  localizedDescription(password.error()));
    self->attemptAutoConnectOnce();
    co_return;
  }
  const auto& s = self->state();
  if (!s.rememberAccountID || text::trimmed(s.accountID) != account || s.isAccountLoginBusy ||
      s.isAccountAuthenticated) {
    co_return;
  }
  if (!*password || (*password)->empty()) {
    self->state().accountLoginStatus = "Password required once for automatic login";
    self->owner_.changed();
    self->owner_.appendDiagnostic(
        "No saved encrypted credential; sign in once to enable automatic account login");
    self->attemptAutoConnectOnce();
    co_return;
  }
  self->begin(
      self->makeLoginRequest(account, **password, parseAutomaticClientNumber(s.requestedClientNumberText)),
      true);
}

void AccountSignIn::scheduleRetry() {
  if (retryTask_.isRunning() || !state().rememberAccountID) return;
  std::weak_ptr<AccountSignIn> weak = weak_from_this();
  retryTask_.start([weak](TaskTokenPtr token) {
    return [](std::weak_ptr<AccountSignIn> weak, TaskTokenPtr token) -> Awaitable<void> {
      co_await sleepFor(automaticLoginRetryDelay);
      auto self = weak.lock();
      if (!self || token->isCancelled()) co_return;
      if (self->retryTask_.token() == token) self->retryTask_.release();
      self->didAttemptSavedLogin_ = false;
      self->owner_.appendDiagnostic("Retrying automatic account login");
      self->attemptSavedLoginOnce();
    }(weak, std::move(token));
  });
}

// ---------------------------------------------------------------------------------------------
// The end of a session

void AccountSignIn::endSession(bool revokeContext) {
  passwordReadTask_.cancel();
  // A pending automatic-login retry would sign in and reconnect over the user's Disconnect.
  retryTask_.cancel();
  refreshTask_.cancel();
  if (revokeContext && context_) context_->revoke();
  if (revokeContext) context_.reset();
  sessionPassword_.clear();
  assignedSlot_.reset();
  ++sessionEpoch_;
}

}  // namespace vantrel
