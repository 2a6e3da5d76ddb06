// The status model's fields, construction, start-up decision, login road and derived values,
// against scripted collaborators on a manual clock.

#include <gtest/gtest.h>

#include "Account/EncryptedAccountCredentialStore.hpp"
#include "StatusModelFakes.hpp"

namespace vantrel::testing {
namespace {

using Outcome = FakeManagerClient::Outcome;
using namespace std::chrono_literals;

class StatusModelTest : public ::testing::Test, public StatusModelHarness {
 protected:
  // A saved account with AUTO LOGIN on and, unless told otherwise, a saved password.
  void saveAccount(const std::string& account, bool remember = true) {
    AccountLoginSettings settings;
    settings.accountID = account;
    settings.rememberAccountID = remember;
    settings.setupName = "Desk";
    settings.serial = 123456789;
    settings.installationMAC = "02:AA:BB:CC:DD:EE";
    settings.save(*defaults);
  }
};

// ---- derived values ----

TEST_F(StatusModelTest, DerivedValuesFollowTheStateTable) {
  StatusViewState state;
  struct Row {
    DirectAuthState state;
    bool busy;
    const char* label;
    bool canConnect;
    bool canDisconnect;
  };
  const Row rows[] = {
      {DirectAuthState::idle, false, "Idle", true, false},
      {DirectAuthState::idle, true, "Idle", false, false},
      {DirectAuthState::connecting, false, "Connecting", false, true},
      {DirectAuthState::authenticating, false, "Authenticating", false, true},
      {DirectAuthState::authenticated, false, "Connected to Manager", false, true},
      {DirectAuthState::disconnecting, false, "Disconnecting", false, true},
      {DirectAuthState::disconnected, false, "Disconnected", true, false},
      {DirectAuthState::disconnected, true, "Disconnected", false, false},
      {DirectAuthState::failed, false, "Failed", true, false},
  };
  for (const auto& row : rows) {
    state.connectionState = row.state;
    state.isConnectionBusy = row.busy;
    state.derive();
    EXPECT_EQ(state.connectionStateLabel, row.label);
    EXPECT_EQ(state.canConnect, row.canConnect) << row.label << " busy=" << row.busy;
    EXPECT_EQ(state.canDisconnect, row.canDisconnect) << row.label << " busy=" << row.busy;
  }
}

TEST_F(StatusModelTest, AccountLoginNeedsANonBlankAccountAndAnyPassword) {
  StatusViewState state;
  struct Row {
    const char* account;
    const char* password;
    bool busy;
    bool expected;
  };
  const Row rows[] = {
      {"user", "pw", false, true}, {"  \n", "pw", false, false}, {"user", "   ", false, true},
      {"user", "", false, false},  {"user", "pw", true, false},  {" user ", "pw", false, true},
  };
  for (const auto& row : rows) {
    state.accountID = row.account;
    state.accountPassword = row.password;
    state.isAccountLoginBusy = row.busy;
    state.derive();
    EXPECT_EQ(state.canAccountLogin, row.expected) << "'" << row.account << "' '" << row.password << "'";
  }
}

TEST_F(StatusModelTest, DisplayCountLabelHasNoWordForZero) {
  make();
  EXPECT_EQ(model->state().displayCountLabel, "0");
  capture->displays = {DisplayInfo{1, 1920, 1080, "A", true}};
  runAwaitable(io, model->displayRefresh());
  EXPECT_EQ(model->state().displayCountLabel, "1 display");
  capture->displays = {DisplayInfo{1, 1, 1, "A", true}, DisplayInfo{2, 1, 1, "B", false},
                       DisplayInfo{3, 1, 1, "", false}};
  runAwaitable(io, model->displayRefresh());
  EXPECT_EQ(model->state().displayCountLabel, "3 displays");
}

TEST_F(StatusModelTest, EveryEditNotifiesEvenWhenUnchanged) {
  make();
  std::vector<std::string> seen;
  auto subscription = model->subscribe([&] { seen.push_back(model->state().userID); });
  onMain([&] { model->setText(StatusFormField::userID, "a"); });
  onMain([&] { model->setText(StatusFormField::userID, "a"); });
  onMain([&] { model->setRememberAccountID(model->state().rememberAccountID); });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "a", "a"}));
  subscription.reset();
  onMain([&] { model->setText(StatusFormField::userID, "b"); });
  EXPECT_EQ(seen.size(), 3u);
}

// ---- construction ----

TEST_F(StatusModelTest, ConstructionShowsTheLoadersDefaultsAndOpensNothing) {
  DirectConnectionSettings{"10.0.0.5", 7000, "agent", 41}.save(*defaults);
  make();
  settle();
  EXPECT_EQ(model->state().managerHost, "10.0.0.5");
  EXPECT_EQ(model->state().managerPortText, "7000");
  EXPECT_EQ(model->state().userID, "agent");
  EXPECT_EQ(model->state().managerSlotText, "42");  // stored zero-based, shown one-based
  EXPECT_EQ(model->state().requestedClientNumberText, "0");
  EXPECT_EQ(model->state().setupName, "Test Host");  // the loader's default: the host's name
  EXPECT_EQ(model->state().accountLoginStatus, "Not signed in");
  EXPECT_EQ(model->state().managerConnectionsLabel, "0/1 managers");
  EXPECT_TRUE(primary().attempts.empty());
  EXPECT_EQ(primary().disconnects, 0);
  EXPECT_FALSE(model->hasRunningSlotTask());
  EXPECT_TRUE(model->state().diagnosticLog.empty());
}

TEST_F(StatusModelTest, RouteCacheIsAdoptedOnlyForTheExactAccount) {
  saveAccount("Alice");
  ManagerRouteCache{1, "alice", 7, 2, {route(2, "10.0.0.2")}}.save(*defaults);
  make();
  EXPECT_FALSE(model->signIn().routeCache());
  EXPECT_EQ(model->signIn().primaryManagerIndex(), 1);
  EXPECT_FALSE(model->signIn().assignedSlot());
  model.reset();

  ManagerRouteCache{1, "Alice", 7, 2, {route(2, "10.0.0.2")}}.save(*defaults);
  make();
  ASSERT_TRUE(model->signIn().routeCache());
  EXPECT_EQ(model->signIn().primaryManagerIndex(), 2);
  EXPECT_EQ(model->signIn().assignedSlot(), 7);
}

// ---- start ----

TEST_F(StatusModelTest, StartRunsOnceAndHoldsTheDisplayAwake) {
  make();
  onMain([&] { model->start(); });
  settle();
  const auto lines = logTexts();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Display sleep and screen saver prevention active while VantrelMac is running",
                       "Interactive launch mode; waiting for account login"}));
  EXPECT_TRUE(model->isPermissionPollRunning());
  EXPECT_TRUE(model->isStatePollRunning());
  EXPECT_EQ(bridge->starts, 1);
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_TRUE(primary().hasEventHandler());
  EXPECT_TRUE(primary().hasClipboardHandler());
  EXPECT_TRUE(primary().hasPasteProvider());

  onMain([&] { model->start(); });
  settle();
  EXPECT_EQ(logTexts(), lines);
  EXPECT_EQ(displaySleep->starts, 1);
  EXPECT_EQ(monitors.size(), 1u);
}

TEST_F(StatusModelTest, RefusedDisplayAssertionIsOnlyLogged) {
  displaySleep->result = false;
  make();
  onMain([&] { model->start(); });
  settle();
  EXPECT_TRUE(logged("Could not prevent display sleep; check the desktop's power and screen saver settings"));
}

// A desktop that can never grant screen recording or input says why in the window's log, once,
// however often the model starts.
TEST_F(StatusModelTest, ADesktopWithoutGrantsSaysWhyOnceInTheLog) {
  permissions->current = {false, false};
  permissions->unavailable = "This Wayland desktop offers no screen-cast service";
  make();
  onMain([&] { model->start(); });
  settle();
  onMain([&] { model->start(); });
  settle();
  const auto lines = logTexts();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "This Wayland desktop offers no screen-cast service"), 1)
      << ::testing::PrintToString(lines);
}

struct StartupCase {
  const char* name;
  bool remember;
  const char* account;
  bool argument;
  bool attemptedBefore;
  const char* line;
};

class StartupDecisionTest : public StatusModelTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupDecisionTest, LogsExactlyOneDecision) {
  const auto& c = GetParam();
  saveAccount(c.account, c.remember);
  credentials->passwords[c.account] = "secret";
  if (c.argument) arguments.push_back("--AUTO-login");
  make();
  if (c.attemptedBefore) {
    // An automatic login already tried before start: the retry flag path.
    onMain([&] { model->requestStartupAutomaticLogin(); });
  }
  onMain([&] { model->start(); });
  settle();
  const std::vector<std::string> decisions{
      "Automatic account login requested by startup intent",
      "Interactive launch mode; waiting for account login", "Startup automatic login already requested",
      "Startup automatic login unavailable: check AUTO LOGIN preference and saved account"};
  int count = 0;
  for (const auto& d : decisions) count += static_cast<int>(countLogged(d));
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(logged(c.line)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, StartupDecisionTest,
    ::testing::Values(
        StartupCase{"interactive", true, "alice", false, false,
                    "Interactive launch mode; waiting for account login"},
        StartupCase{"requested", true, "alice", true, false,
                    "Automatic account login requested by startup intent"},
        StartupCase{"autoLoginOff", false, "alice", true, false,
                    "Startup automatic login unavailable: check AUTO LOGIN preference and saved account"},
        StartupCase{"blankAccount", true, "  ", true, false,
                    "Startup automatic login unavailable: check AUTO LOGIN preference and saved account"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusModelTest, StartupDecisionAfterAnAttemptSaysAlreadyRequested) {
  saveAccount("alice");
  credentials->passwords["alice"] = "secret";
  arguments.push_back("ALogin");
  make();
  onMain([&] { model->start(); });
  // The start-up task waits for the handlers; the attempt runs first through the intent path.
  settle();
  EXPECT_TRUE(logged("Automatic account login requested by startup intent"));
  EXPECT_EQ(login->requests.size(), 1u);
  EXPECT_EQ(login->requests[0].accountID, "alice");
  EXPECT_EQ(login->requests[0].password, "secret");
}

// ---- login request fields ----

TEST_F(StatusModelTest, InteractiveClientNumberRules) {
  const std::pair<const char*, std::optional<int>> rows[] = {
      {"0", 0},
      {" 12 ", 12},
      {"65536", 65536},
      {"+7", 7},
      {"", std::nullopt},
      {"65537", std::nullopt},
      {"-1", std::nullopt},
      {"1.5", std::nullopt},
      {"abc", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(AccountSignIn::parseInteractiveClientNumber(text), expected) << "'" << text << "'";
  }
}

TEST_F(StatusModelTest, AutomaticClientNumberRules) {
  const std::pair<const char*, std::optional<int>> rows[] = {
      {"", std::nullopt},  {"abc", std::nullopt},
      {"0", std::nullopt}, {"-3", std::nullopt},
      {"70000", 70000},    {"12", 12},
      {"+5", 5},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(AccountSignIn::parseAutomaticClientNumber(text), expected) << "'" << text << "'";
  }
}

TEST_F(StatusModelTest, InteractiveRequestCarriesTheTypedFormAndFilteredAddresses) {
  host->list = {"192.168.1.20", "fe80::1", "127.0.0.1", "127.0.0.2", "10.1.2.3", "::1"};
  saveAccount(" alice ");
  make();
  onMain([&] { model->setText(StatusFormField::accountPassword, " pw "); });
  onMain([&] { model->setText(StatusFormField::requestedClientNumber, " 12 "); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  ASSERT_EQ(login->requests.size(), 1u);
  const auto& r = login->requests[0];
  EXPECT_EQ(r.accountID, " alice ");  // as typed: the service trims
  EXPECT_EQ(r.password, " pw ");
  EXPECT_EQ(r.requestedSlot, 12);
  EXPECT_EQ(r.serial, 123456789u);
  EXPECT_EQ(r.computerName, "Desk");
  EXPECT_EQ(r.version, "VantrelMac-0.2");
  EXPECT_EQ(r.insideAddresses, (std::vector<std::string>{"192.168.1.20", "127.0.0.2", "10.1.2.3"}));
  EXPECT_EQ(r.macAddress, "02:AA:BB:CC:DD:EE");
  EXPECT_EQ(r.macAddress2, "");
  EXPECT_TRUE(logged("Account login requested (clientNumber=12)"));
  EXPECT_EQ(model->state().accountLoginStatus, "Signing in…");
  EXPECT_TRUE(model->state().isAccountLoginBusy);
}

TEST_F(StatusModelTest, ComputerNameFallsBackToTheHostThenTheProduct) {
  make();
  onMain([&] { model->setText(StatusFormField::setupName, "  \t "); });
  EXPECT_EQ(model->signIn().makeLoginRequest("a", "b", std::nullopt).computerName, "Test Host");
  host->name = std::nullopt;
  EXPECT_EQ(model->signIn().makeLoginRequest("a", "b", std::nullopt).computerName, "VantrelMac");
  onMain([&] { model->setText(StatusFormField::setupName, " Office Mac "); });
  EXPECT_EQ(model->signIn().makeLoginRequest("a", "b", std::nullopt).computerName, "Office Mac");
}

TEST_F(StatusModelTest, InvalidInteractiveClientNumberStartsNothing) {
  make();
  onMain([&] { model->setText(StatusFormField::accountID, "alice"); });
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  for (const char* text : {"", "65537", "-1", "1.5", "abc"}) {
    onMain([&] { model->setText(StatusFormField::requestedClientNumber, text); });
    const auto writes = defaults->writeCount();
    onMain([&] { model->loginAndConnect(); });
    settle();
    EXPECT_EQ(model->state().accountLoginError,
              "Client number must be 0 (automatic) or an integer from 1 to 65536.");
    EXPECT_EQ(defaults->writeCount(), writes) << text;
  }
  EXPECT_TRUE(login->requests.empty());
  onMain([&] { model->setText(StatusFormField::requestedClientNumber, "0"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  ASSERT_EQ(login->requests.size(), 1u);
  EXPECT_FALSE(login->requests[0].requestedSlot);
}

// ---- login results ----

TEST_F(StatusModelTest, SuccessfulLoginConnectsThePrimaryAndEverySecondary) {
  saveAccount("alice");
  make();
  onMain([&] { model->start(); });
  settle();
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(
      5, {route(1, "10.0.0.1, 10.0.0.1 ,", "pub1"), route(2, "10.0.0.2"), route(3, "10.0.0.3")}, "alice"));
  settle();
  EXPECT_TRUE(model->state().isAccountAuthenticated);
  EXPECT_FALSE(model->state().isAccountLoginBusy);
  EXPECT_EQ(model->state().accountPassword, "");
  EXPECT_EQ(model->state().userID, "alice");
  EXPECT_EQ(model->state().managerSlotText, "5");
  EXPECT_EQ(model->state().requestedClientNumberText, "5");
  EXPECT_EQ(model->state().accountLoginStatus, "Signed in — connecting through server route");
  EXPECT_TRUE(logged("Account authenticated; server assigned client number 5"));
  EXPECT_TRUE(logged("Server returned 3 manager route(s), 4 direct endpoint(s)"));
  EXPECT_TRUE(logged("Connection cycle started (reason=account login, endpoints=2)"));
  EXPECT_TRUE(logged("Independent manager sessions active: primary=1, secondary=2"));
  ASSERT_EQ(primary().attempts.size(), 1u);
  EXPECT_EQ(primary().attempts[0],
            (DirectAuthConfiguration{"10.0.0.1", 65333, "alice", 4, std::chrono::seconds(5)}));
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  EXPECT_EQ(model->secondaries().indices(), (std::vector<int>{2, 3}));
  EXPECT_EQ(bridge->clients.size(), 3u);
  ASSERT_TRUE(model->signIn().routeCache());
  EXPECT_EQ(ManagerRouteCache::load(*defaults), model->signIn().routeCache());
  EXPECT_EQ(AccountLoginSettings::load(*defaults).requestedSlotText, "5");
  EXPECT_EQ(DirectConnectionSettings::load(*defaults),
            (DirectConnectionSettings{"10.0.0.1", 65333, "alice", 4}));
  // The context went to the primary before and after its disconnect, and to the secondaries.
  ASSERT_EQ(primary().contexts.size(), 2u);
  EXPECT_EQ(primary().contexts[0], model->signIn().accountContext());
  EXPECT_EQ(clients->secondaryContexts.at(0), model->signIn().accountContext());
  EXPECT_EQ(credentials->passwords["alice"], "pw");

  advance(600ms);
  EXPECT_EQ(model->state().managerConnectionsLabel, "3/3 managers");
}

// The log names the facilities this program uses on this computer: the password goes to and
// comes from the encrypted login file; no line points at a Mac facility.
TEST_F(StatusModelTest, CredentialLogLinesNameTheEncryptedLoginFile) {
  saveAccount("alice");
  credentials->passwords["alice"] = "secret";
  arguments.push_back("--AUTO-login");
  make();
  onMain([&] { model->start(); });
  settle();
  login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_TRUE(logged("Reading account credential from the encrypted login file"));
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_TRUE(logged("Automatic-login credential saved in the encrypted login file"));
  for (const auto& line : logTexts()) {
    for (const char* mac : {"Keychain", "macOS", "This Mac"})
      EXPECT_EQ(line.find(mac), std::string::npos) << line;
  }
}

TEST_F(StatusModelTest, LoginWithoutUsableRouteCountsAsSignedInButOffline) {
  saveAccount("alice");
  make();
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(0, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_TRUE(model->state().isAccountAuthenticated);
  EXPECT_EQ(model->state().accountLoginStatus, "Signed in — manager is offline");
  EXPECT_EQ(model->state().accountLoginError,
            "No active manager route was returned. Start the manager and sign in again.");
  EXPECT_FALSE(ManagerRouteCache::load(*defaults));
  EXPECT_TRUE(primary().attempts.empty());

  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(3, {route(1, " , "), route(2, "10.0.0.2")}, "alice"));
  settle();
  EXPECT_EQ(model->state().accountLoginError, "No usable direct manager endpoint was returned.");
  EXPECT_EQ(model->secondaries().indices(), (std::vector<int>{2}));
}

TEST_F(StatusModelTest, InteractiveFailureClearsThePasswordAndSchedulesNothing) {
  saveAccount("alice");
  make();
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->fail(std::make_exception_ptr(AccountLoginError::serverRejected("Wrong password.")));
  settle();
  EXPECT_EQ(model->state().accountPassword, "");
  EXPECT_EQ(model->state().accountLoginStatus, "Sign-in failed");
  EXPECT_EQ(model->state().accountLoginError, "Wrong password.");
  EXPECT_TRUE(logged("Account login failed: Wrong password."));
  EXPECT_FALSE(model->signIn().isRetryPending());
}

TEST_F(StatusModelTest, AutomaticLoginFailureFallsBackAndRetriesEveryFiveSeconds) {
  saveAccount("alice");
  credentials->passwords["alice"] = "secret";
  model = nullptr;
  make();
  onMain([&] { model->setText(StatusFormField::requestedClientNumber, "70000"); });
  onMain([&] { model->requestStartupAutomaticLogin(); });
  onMain([&] { model->start(); });
  settle();
  ASSERT_EQ(login->requests.size(), 1u);
  EXPECT_EQ(login->requests[0].requestedSlot, 70000);
  login->fail(std::make_exception_ptr(
      AccountLoginError::invalidRequest("Client number must be between 1 and 65536.")));
  settle();
  EXPECT_EQ(model->state().accountLoginStatus, "Automatic sign-in failed");
  EXPECT_TRUE(logged("Automatic account login failed: Client number must be between 1 and 65536."));
  EXPECT_TRUE(logged("Falling back to cached manager routes"));
  EXPECT_TRUE(model->signIn().isRetryPending());

  advance(4900ms);
  EXPECT_EQ(login->requests.size(), 1u);
  advance(100ms);
  EXPECT_TRUE(logged("Retrying automatic account login"));
  ASSERT_EQ(login->requests.size(), 2u);
  login->fail(std::make_exception_ptr(AccountLoginError::invalidHTTPStatus(500)));
  settle();
  advance(5000ms);
  EXPECT_EQ(login->requests.size(), 3u);
  EXPECT_EQ(countLogged("Retrying automatic account login"), 2u);

  // AUTO LOGIN switched off while a retry is pending: the retry stops at the switch.
  login->fail(std::make_exception_ptr(AccountLoginError::invalidHTTPStatus(500)));
  settle();
  onMain([&] { model->setRememberAccountID(false); });
  advance(5000ms);
  EXPECT_EQ(login->requests.size(), 3u);
}

TEST_F(StatusModelTest, EditedAccountDropsTheSavedPasswordRead) {
  saveAccount("alice");
  credentials->passwords["alice"] = "secret";
  arguments.push_back("ALogin");
  credentials->hold(true);
  make();
  onMain([&] { model->start(); });
  settle();
  EXPECT_EQ(model->state().accountLoginStatus, "Reading encrypted automatic-login credential");
  onMain([&] { model->setText(StatusFormField::accountID, "bob"); });
  credentials->releaseOne();
  settle();
  EXPECT_TRUE(login->requests.empty());
}

TEST_F(StatusModelTest, PasswordSavesReachTheStoreInCallOrder) {
  saveAccount("alice");
  make();
  credentials->hold(true);
  onMain([&] { model->setText(StatusFormField::accountPassword, "one"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(0, {}, "alice"));
  settle();
  onMain([&] { model->setText(StatusFormField::accountPassword, "two"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  login->respond(result(0, {}, "alice"));
  settle();
  EXPECT_EQ(credentials->heldCount(), 1u);  // the second waits for the first
  credentials->releaseOne();
  settle();
  credentials->releaseOne();
  settle();
  EXPECT_EQ(credentials->log, (std::vector<std::string>{"save alice one", "save alice two"}));
  EXPECT_EQ(credentials->passwords["alice"], "two");
}

TEST_F(StatusModelTest, StartupIntentBeforeStartOnlyRecordsTheRequest) {
  make();
  onMain([&] { model->requestStartupAutomaticLogin(); });
  settle();
  EXPECT_TRUE(model->signIn().automaticLoginRequested());
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"Local startup login intent received"}));
  onMain([&] { model->setText(StatusFormField::accountID, "alice"); });
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });  // the login server has not answered yet
  ASSERT_TRUE(model->state().isAccountLoginBusy);
  onMain([&] { model->requestStartupAutomaticLogin(); });
  EXPECT_TRUE(logged("Startup login intent ignored: account already active"));
}

TEST_F(StatusModelTest, AutoConnectUsesTheCachedRoutesOnce) {
  saveAccount("alice");
  DirectConnectionSettings{"10.9.9.9", 65333, "alice", 2}.save(*defaults);
  ManagerRouteCache{1, "alice", 3, 2, {route(1, "10.0.0.1"), route(2, "10.0.0.2")}}.save(*defaults);
  arguments.push_back("ALogin");
  make();
  onMain([&] { model->start(); });  // no saved password: auto-connect from the cache
  settle();
  EXPECT_TRUE(logged("No saved encrypted credential; sign in once to enable automatic account login"));
  EXPECT_TRUE(logged("Auto-connect using cached server routes (managers=2, primary=2)"));
  ASSERT_EQ(primary().attempts.size(), 1u);
  EXPECT_EQ(primary().attempts[0].host, "10.0.0.2");
  EXPECT_EQ(primary().attempts[0].connectionNumber, 2);
  EXPECT_EQ(model->secondaries().indices(), (std::vector<int>{1}));
  // Not saved: the form shows the endpoint, the stored settings stay.
  EXPECT_EQ(DirectConnectionSettings::load(*defaults).host, "10.0.0.2");  // saved once authenticated
}

// ---- displays, permissions, diagnostics ----

TEST_F(StatusModelTest, DisplayRefreshOutcomes) {
  make();
  capture->displays = {};
  permissions->current = {false, true};
  runAwaitable(io, model->displayRefresh());
  EXPECT_EQ(model->state().displayError, "Screen Recording permission is not granted.");
  EXPECT_FALSE(model->state().isRefreshingDisplays);
  EXPECT_TRUE(model->state().lastRefresh);

  permissions->current = {true, true};
  runAwaitable(io, model->displayRefresh());
  EXPECT_FALSE(model->state().displayError);

  capture->displays = {DisplayInfo{1, 1, 1, "A", true}};
  runAwaitable(io, model->displayRefresh());
  capture->error = std::make_exception_ptr(ScreenCaptureServiceError::enumerationFailed("no X"));
  runAwaitable(io, model->displayRefresh());
  EXPECT_EQ(model->state().displayError, "Failed to enumerate shareable displays: no X");
  EXPECT_TRUE(model->state().displays.empty());

  capture->error = std::make_exception_ptr(std::runtime_error("boom"));
  runAwaitable(io, model->displayRefresh());
  EXPECT_EQ(model->state().displayError, "Unexpected display enumeration error: boom");
  EXPECT_FALSE(model->state().isRefreshingDisplays);
}

TEST_F(StatusModelTest, PermissionRequestsRepublishAtOnceAndRefreshTheDisplays) {
  make();
  permissions->current = {false, false};
  onMain([&] { model->requestScreenRecording(); });
  EXPECT_EQ(permissions->screenRequests, 1);
  EXPECT_EQ(model->state().permissions, (PermissionSnapshot{false, false}));
  settle();
  EXPECT_EQ(capture->calls, 1);
  permissions->current = {false, true};
  onMain([&] { model->requestAccessibility(); });
  EXPECT_EQ(input->requests, 1);
  EXPECT_TRUE(model->state().permissions.accessibilityTrusted);
  onMain([&] { model->openScreenRecordingSettings(); });
  onMain([&] { model->openAccessibilitySettings(); });
  EXPECT_EQ(permissions->opens, 2);
}

// The desktop has no prompt and no settings pane: each of a grant's buttons leaves its answer
// under that grant, and only there. Where the desktop's services do the work the answer is that
// nothing is needed; where the desktop has none the agent can use, what the user can do instead.
TEST_F(StatusModelTest, EveryPermissionButtonAnswersUnderItsGrant) {
  struct Press {
    void (StatusWindowViewModel::*operation)();
    std::optional<std::string> StatusViewState::*note;
    std::optional<std::string> StatusViewState::*other;
  };
  const Press presses[] = {
      {&StatusWindowViewModel::requestScreenRecording, &StatusViewState::screenRecordingNote,
       &StatusViewState::accessibilityNote},
      {&StatusWindowViewModel::openScreenRecordingSettings, &StatusViewState::screenRecordingNote,
       &StatusViewState::accessibilityNote},
      {&StatusWindowViewModel::requestAccessibility, &StatusViewState::accessibilityNote,
       &StatusViewState::screenRecordingNote},
      {&StatusWindowViewModel::openAccessibilitySettings, &StatusViewState::accessibilityNote,
       &StatusViewState::screenRecordingNote},
  };
  for (const std::optional<std::string>& unavailable :
       {std::optional<std::string>(), std::optional<std::string>("This Wayland desktop offers nothing")}) {
    for (const Press& press : presses) {
      permissions->unavailable = unavailable;
      make();
      EXPECT_FALSE(model->state().*press.note);
      int notified = 0;
      auto subscription = model->subscribe([&] { ++notified; });
      onMain([&] { ((*model).*press.operation)(); });
      settle();
      EXPECT_GE(notified, 1);
      EXPECT_EQ(model->state().*press.note,
                unavailable
                    ? "This Wayland desktop offers no service the agent can use. Choose an X11 session "
                      "at the login screen."
                    : "This desktop needs no permission for this; there is nothing to set.");
      EXPECT_FALSE(model->state().*press.other);
    }
  }
}

TEST_F(StatusModelTest, OverlappingRefreshesLetTheLastFinisherDecide) {
  make();
  capture->holdNext = true;
  capture->displays = {DisplayInfo{1, 1, 1, "first", true}};
  onMain([&] { model->refreshDisplays(); });
  settle();
  capture->displays = {DisplayInfo{2, 1, 1, "second", true}, DisplayInfo{3, 1, 1, "", false}};
  onMain([&] { model->refreshDisplays(); });
  settle();
  ASSERT_EQ(capture->held.size(), 2u);
  capture->held[1]->release();
  settle();
  EXPECT_FALSE(model->state().isRefreshingDisplays);  // the first to finish already clears it
  capture->held[0]->release();
  settle();
  EXPECT_EQ(model->state().displayCountLabel, "2 displays");  // both read the list at release time
}

TEST_F(StatusModelTest, UnreadableSavedPasswordFallsBackToAutoConnect) {
  AccountLoginSettings settings;
  settings.accountID = "alice";
  settings.save(*defaults);
  DirectConnectionSettings{"10.0.0.9", 65333, "alice", 0}.save(*defaults);
  credentials->readError = std::make_exception_ptr(EncryptedAccountCredentialStore::Failure::invalidRecord());
  arguments.push_back("ALogin");
  make();
  onMain([&] { model->start(); });
  settle();
  EXPECT_TRUE(logged("Saved credential could not be read: account_credential_corrupt_or_wrong_installation"));
  EXPECT_TRUE(logged("Auto-connect using saved settings"));
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_TRUE(login->requests.empty());
  EXPECT_FALSE(model->signIn().isRetryPending());
}

TEST_F(StatusModelTest, PermissionPollRepublishesEveryTwoSeconds) {
  make();
  onMain([&] { model->start(); });
  settle();
  // Every republication asks for a fresh snapshot.
  const int before = permissions->snapshots;
  auto published = [&] { return permissions->snapshots - before; };
  advance(1900ms);
  EXPECT_EQ(published(), 0);
  advance(100ms);
  EXPECT_EQ(published(), 1);
  advance(4000ms);
  EXPECT_EQ(published(), 3);
  // What the snapshot says reaches the state.
  permissions->current = {false, true};
  advance(2000ms);
  EXPECT_FALSE(model->state().permissions.screenRecordingGranted);
}

TEST_F(StatusModelTest, DiagnosticLogKeepsTheNewestThreeHundredAndCopies) {
  make();
  Uuid token = model->state().diagnosticLogScrollToken;
  for (int i = 1; i <= 301; ++i) {
    model->appendDiagnostic("line " + std::to_string(i));
    EXPECT_NE(model->state().diagnosticLogScrollToken, token);
    token = model->state().diagnosticLogScrollToken;
  }
  ASSERT_EQ(model->state().diagnosticLog.size(), 300u);
  EXPECT_EQ(model->state().diagnosticLog.front().text, "line 2");
  EXPECT_EQ(model->state().diagnosticLog.back().text, "line 301");

  onMain([&] { model->copyDiagnosticLog(); });
  ASSERT_TRUE(pasteboard->content);
  EXPECT_EQ(pasteboard->content->substr(pasteboard->content->size() - 8), "line 301");
  EXPECT_EQ(std::count(pasteboard->content->begin(), pasteboard->content->end(), '\n'), 299);

  onMain([&] { model->clearDiagnosticLog(); });
  EXPECT_TRUE(model->state().diagnosticLog.empty());
  EXPECT_NE(model->state().diagnosticLogScrollToken, token);
  onMain([&] { model->copyDiagnosticLog(); });
  EXPECT_EQ(pasteboard->content, "");
}

}  // namespace
}  // namespace vantrel::testing
