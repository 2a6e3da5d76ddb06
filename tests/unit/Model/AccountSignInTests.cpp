// The account's sign-in on its own, with a recording owner in place of the status model: the
// automatic login's 5-second retry and what supersedes it, the saved-password read and save
// chain when the store fails, and the route refresh. Time moves only with the manual clock.

#include <gtest/gtest.h>

#include "Account/EncryptedAccountCredentialStore.hpp"
#include "StatusModelFakes.hpp"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;

// Records what the sign-in asks of the status model.
class RecordingOwner final : public AccountSignIn::Owner {
 public:
  struct Connection {
    std::vector<DirectConnectionSettings> candidates;
    std::string reason;
    bool showFirst = false;
    bool saveFirst = false;
  };
  struct Secondaries {
    std::vector<int> managers;
    int primaryIndex = 0;
    std::uint16_t connectionNumber = 0;
  };

  StatusViewState state;
  std::vector<std::string> log;
  std::vector<Connection> connections;
  std::vector<std::vector<DirectConnectionSettings>> kept;
  std::vector<Secondaries> secondaries;
  int connects = 0;

  StatusViewState& status() override { return state; }
  void changed() override { state.derive(); }
  void appendDiagnostic(const std::string& text) override { log.push_back(text); }
  void connectPrimary(std::vector<DirectConnectionSettings> candidates, std::string reason, bool showFirst,
                      bool saveFirst) override {
    connections.push_back({std::move(candidates), std::move(reason), showFirst, saveFirst});
  }
  void keepPrimaryEndpoints(std::vector<DirectConnectionSettings> candidates) override {
    kept.push_back(std::move(candidates));
  }
  Awaitable<void> connectSecondaries(std::vector<AccountManagerRoute> routes, int primaryIndex, std::string,
                                     std::uint16_t connectionNumber) override {
    Secondaries call{{}, primaryIndex, connectionNumber};
    for (const auto& route : routes) call.managers.push_back(route.managerIndex);
    secondaries.push_back(std::move(call));
    co_return;
  }
  void connect() override { ++connects; }

  bool logged(const std::string& text) const { return std::find(log.begin(), log.end(), text) != log.end(); }
};

class AccountSignInTest : public ::testing::Test, public StatusModelHarness {
 protected:
  // A saved account "alice" with AUTO LOGIN on.
  void saveAccount() {
    AccountLoginSettings settings;
    settings.accountID = "alice";
    settings.rememberAccountID = true;
    settings.save(*defaults);
  }

  void makeSignIn() {
    owner.state.accountLoginStatus = std::string(AccountSignIn::idleAccountLoginStatus);
    signIn = AccountSignIn::create(environment(), clients->primary, owner);
    owner.changed();
  }

  // The automatic login with the saved password "secret", waiting for the login server.
  void startAutomaticLogin() {
    saveAccount();
    credentials->passwords["alice"] = "secret";
    arguments.push_back("ALogin");
    makeSignIn();
    onMain([&] { signIn->decideAutomaticLogin(true); });
    settle();
    ASSERT_EQ(login->waiting(), 1u);
  }

  // The user's sign-in with the password "pw", waiting for the login server.
  void startInteractiveLogin() {
    saveAccount();
    makeSignIn();
    owner.state.accountPassword = "pw";
    owner.changed();
    onMain([&] { signIn->loginAndConnect(); });
    settle();
  }

  // An interactive sign-in answered with routes to managers 1 and 2, slot 5.
  void signInWithTwoManagers() {
    startInteractiveLogin();
    login->respond(result(5, {route(1, "10.0.0.1"), route(2, "10.0.0.2")}, "alice"));
    settle();
    ASSERT_EQ(owner.connections.size(), 1u);
  }

  static std::exception_ptr rejected() {
    return std::make_exception_ptr(AccountLoginError::serverRejected("wrong password"));
  }

  RecordingOwner owner;
  std::shared_ptr<AccountSignIn> signIn;
};

// ---- the automatic login and its retry ----

TEST_F(AccountSignInTest, FailedAutomaticLoginRetriesAfterExactlyFiveSeconds) {
  startAutomaticLogin();
  login->fail(rejected());
  settle();
  EXPECT_EQ(owner.state.accountLoginStatus, "Automatic sign-in failed");
  EXPECT_FALSE(owner.state.isAccountLoginBusy);
  ASSERT_TRUE(signIn->isRetryPending());
  advance(4900ms);
  EXPECT_EQ(login->requests.size(), 1u);
  advance(100ms);
  ASSERT_EQ(login->requests.size(), 2u);
  EXPECT_EQ(login->requests[1].password, "secret");
  EXPECT_EQ(std::count(owner.log.begin(), owner.log.end(), "Retrying automatic account login"), 1);
}

TEST_F(AccountSignInTest, TheUsersLoginEndsThePendingRetry) {
  startAutomaticLogin();
  login->fail(rejected());
  settle();
  ASSERT_TRUE(signIn->isRetryPending());
  owner.state.accountPassword = "typed";
  owner.changed();
  onMain([&] { signIn->loginAndConnect(); });
  EXPECT_FALSE(signIn->isRetryPending());
  advance(10s);
  // Only the user's own login went out after the failed automatic one.
  ASSERT_EQ(login->requests.size(), 2u);
  EXPECT_EQ(login->requests[1].password, "typed");
}

TEST_F(AccountSignInTest, EndingTheSessionDropsTheRunningAutomaticLoginAndItsRetry) {
  startAutomaticLogin();
  onMain([&] { signIn->endSession(false); });
  login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_EQ(owner.state.accountLoginStatus, "Not signed in");
  EXPECT_FALSE(owner.state.isAccountLoginBusy);
  EXPECT_FALSE(owner.state.isAccountAuthenticated);
  EXPECT_TRUE(owner.connections.empty());
  EXPECT_FALSE(signIn->accountContext());
  EXPECT_FALSE(signIn->hasSessionPassword());

  // A retry already pending when the session ends never fires.
  makeSignIn();
  onMain([&] { signIn->decideAutomaticLogin(false); });
  settle();
  login->fail(rejected());
  settle();
  ASSERT_TRUE(signIn->isRetryPending());
  const auto before = login->requests.size();
  onMain([&] { signIn->endSession(false); });
  advance(10s);
  EXPECT_EQ(login->requests.size(), before);
}

TEST_F(AccountSignInTest, TheUsersLoginOutlivesTheEndOfASession) {
  startInteractiveLogin();
  onMain([&] { signIn->endSession(false); });
  login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_TRUE(owner.state.isAccountAuthenticated);
  ASSERT_EQ(owner.connections.size(), 1u);
  EXPECT_EQ(owner.connections[0].reason, "account login");
  EXPECT_TRUE(owner.connections[0].saveFirst);
}

// ---- the saved password ----

TEST_F(AccountSignInTest, UnreadableSavedPasswordConnectsWithTheSavedSettingsAndRetriesNothing) {
  saveAccount();
  arguments.push_back("ALogin");
  credentials->readError = std::make_exception_ptr(EncryptedAccountCredentialStore::Failure::invalidInput());
  makeSignIn();
  owner.state.managerHost = "10.1.1.1";
  owner.state.userID = "alice";
  owner.changed();
  onMain([&] { signIn->decideAutomaticLogin(true); });
  settle();
  ASSERT_EQ(owner.log.size(), 4u);
  EXPECT_EQ(owner.log[2].rfind("Saved credential could not be read: ", 0), 0u);
  EXPECT_EQ(owner.log[3], "Auto-connect using saved settings");
  EXPECT_EQ(owner.connects, 1);
  EXPECT_TRUE(login->requests.empty());
  advance(10s);
  EXPECT_TRUE(login->requests.empty());
  EXPECT_EQ(owner.connects, 1);
}

TEST_F(AccountSignInTest, AFailedSaveIsReportedAndTheChainGoesOn) {
  credentials->saveError = std::make_exception_ptr(EncryptedAccountCredentialStore::Failure::invalidInput());
  credentials->hold(true);
  signInWithTwoManagers();
  // The sign-in went on without waiting for the store.
  EXPECT_TRUE(owner.state.isAccountAuthenticated);
  // AUTO LOGIN switched off before the save ended: the deletion waits for the failed save.
  owner.state.rememberAccountID = false;
  onMain([&] { signIn->persistAccountLoginSettings(); });
  settle();
  ASSERT_EQ(credentials->heldCount(), 1u);
  credentials->releaseOne();
  settle();
  credentials->releaseOne();
  settle();
  EXPECT_EQ(credentials->log, (std::vector<std::string>{"save alice pw", "delete alice"}));
  EXPECT_TRUE(
      owner.logged("Automatic-login credential persistence failed; current login can continue: "
                   "account_credential_invalid_input"));
  EXPECT_TRUE(owner.logged("Saved account credential removed"));
}

// ---- the route refresh ----

TEST_F(AccountSignInTest, RefreshWithoutTheKeptManagerReconnectsThePrimaryElsewhere) {
  signInWithTwoManagers();
  onMain([&] { signIn->refreshRoutes(2); });
  settle();
  ASSERT_EQ(login->requests.size(), 2u);
  EXPECT_EQ(login->requests[1].password, "pw");
  EXPECT_EQ(login->requests[1].requestedSlot, 5);
  login->respond(result(6, {route(2, "10.0.0.2"), route(3, "10.0.0.3")}, "alice"));
  settle();
  ASSERT_EQ(owner.connections.size(), 2u);
  EXPECT_EQ(owner.connections[1].reason, "server route refresh");
  EXPECT_FALSE(owner.connections[1].showFirst);
  ASSERT_EQ(owner.connections[1].candidates.size(), 1u);
  EXPECT_EQ(owner.connections[1].candidates[0].host, "10.0.0.2");
  EXPECT_EQ(owner.connections[1].candidates[0].connectionNumber, 5);
  // Manager 2 became the primary: it gets no second session.
  ASSERT_EQ(owner.secondaries.size(), 2u);
  EXPECT_EQ(owner.secondaries[1].primaryIndex, 2);
  EXPECT_EQ(signIn->primaryManagerIndex(), 2);
  EXPECT_EQ(signIn->assignedSlot(), 6);
  ASSERT_TRUE(signIn->routeCache());
  EXPECT_EQ(signIn->routeCache()->primaryManagerIndex, 2);
  EXPECT_EQ(ManagerRouteCache::load(*defaults)->primaryManagerIndex, 2);
}

TEST_F(AccountSignInTest, RefreshWhileThePrimaryIsConnectedOnlyKeepsTheEndpoints) {
  signInWithTwoManagers();
  primary().setStateDirectly(DirectAuthState::authenticated);
  onMain([&] { signIn->refreshRoutes(2); });
  settle();
  login->respond(result(5, {route(1, "10.0.0.9"), route(2, "10.0.0.2")}, "alice"));
  settle();
  EXPECT_EQ(owner.connections.size(), 1u);
  ASSERT_EQ(owner.kept.size(), 1u);
  EXPECT_EQ(owner.kept[0][0].host, "10.0.0.9");
  EXPECT_EQ(signIn->primaryManagerIndex(), 1);
}

TEST_F(AccountSignInTest, FailedRefreshMayBeRepeatedAfterThirtySeconds) {
  signInWithTwoManagers();
  onMain([&] { signIn->refreshRoutes(2); });
  settle();
  login->fail(rejected());
  settle();
  EXPECT_TRUE(owner.logged("Manager route refresh failed: wrong password"));
  EXPECT_FALSE(signIn->isRouteRefreshRunning());
  onMain([&] { signIn->refreshRoutes(2); });
  EXPECT_EQ(login->requests.size(), 2u);
  advance(29900ms);
  onMain([&] { signIn->refreshRoutes(2); });
  EXPECT_EQ(login->requests.size(), 2u);
  advance(100ms);
  onMain([&] { signIn->refreshRoutes(2); });
  settle();
  EXPECT_EQ(login->requests.size(), 3u);
}

TEST_F(AccountSignInTest, RefreshCutShortByTheEndOfTheSessionAppliesNothing) {
  signInWithTwoManagers();
  onMain([&] { signIn->refreshRoutes(2); });
  settle();
  onMain([&] { signIn->endSession(false); });
  login->respond(result(6, {route(3, "10.0.0.3")}, "alice"));
  settle();
  EXPECT_EQ(owner.connections.size(), 1u);
  EXPECT_EQ(owner.secondaries.size(), 1u);
  EXPECT_FALSE(signIn->assignedSlot());
  EXPECT_EQ(ManagerRouteCache::load(*defaults)->primaryManagerIndex, 1);
  // Without the session's password there is nothing to sign in with.
  advance(30s);
  onMain([&] { signIn->refreshRoutes(2); });
  EXPECT_EQ(login->requests.size(), 2u);
}

}  // namespace
}  // namespace vantrel::testing
