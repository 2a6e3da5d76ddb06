// The primary's connection cycles, reconnect back-off, recovery, the secondary sessions, the
// route refresh, the state poll, stop and destruction. Each race test drives the events in the
// order that breaks a naive orchestration and checks the sound outcome.

#include <gtest/gtest.h>

#include "StatusModelFakes.hpp"

namespace vantrel::testing {
namespace {

using Outcome = FakeManagerClient::Outcome;
using namespace std::chrono_literals;

class ConnectionTest : public ::testing::Test, public StatusModelHarness {
 protected:
  void SetUp() override {
    AccountLoginSettings settings;
    settings.accountID = "alice";
    settings.setupName = "Desk";
    settings.serial = 123456789;
    settings.installationMAC = "02:AA:BB:CC:DD:EE";
    settings.save(*defaults);
    DirectConnectionSettings{"10.0.0.9", 65333, "alice", 0}.save(*defaults);
  }

  // Started model signed in with the given routes (the first is the primary).
  void signIn(std::vector<AccountManagerRoute> routes, int slot = 5) {
    if (!model) {
      make();
      onMain([&] { model->start(); });
      settle();
    }
    onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
    onMain([&] { model->loginAndConnect(); });
    settle();
    login->respond(result(slot, std::move(routes), "alice"));
    settle();
  }

  // A cycle to the saved direct settings whose attempt hangs until the test ends it.
  void connectingForever() {
    primary().setDefaultOutcome(Outcome::hang);
    make();
    onMain([&] { model->start(); });
    settle();
    onMain([&] { model->connect(); });
    settle();
    ASSERT_EQ(primary().hangingCount(), 1u);
  }

  // Connected from the saved direct settings (10.0.0.9), authenticated and idle.
  void connected() {
    make();
    onMain([&] { model->start(); });
    settle();
    onMain([&] { model->connect(); });
    settle();
    ASSERT_EQ(model->state().connectionState, DirectAuthState::authenticated);
    ASSERT_FALSE(model->state().isConnectionBusy);
  }

  // Started with "ALogin" and a saved password: the automatic login waits for the login server.
  void startAutomaticLogin() {
    credentials->passwords["alice"] = "secret";
    arguments = {"VantrelMac", "ALogin"};
    model = nullptr;
    make();
    onMain([&] { model->start(); });
    settle();
    ASSERT_EQ(login->waiting(), 1u);
  }

  // Records every published connection state.
  std::vector<DirectAuthState> watchStates() {
    auto states = std::make_shared<std::vector<DirectAuthState>>();
    stateLog = states;
    stateSubscription = model->subscribe([this, states] {
      if (states->empty() || states->back() != model->state().connectionState)
        states->push_back(model->state().connectionState);
    });
    return {};
  }
  bool published(DirectAuthState state) const {
    return std::find(stateLog->begin(), stateLog->end(), state) != stateLog->end();
  }
  std::shared_ptr<std::vector<DirectAuthState>> stateLog;
  StatusViewPort::Subscription stateSubscription;

  static std::string rejectedText() { return *DirectAuthError::rejected().errorDescription(); }
};

// ---- cycle ----

TEST_F(ConnectionTest, FirstFailingCandidateIsClosedBeforeTheNext) {
  primary().script("10.0.0.1", {Outcome::reject});
  signIn({route(1, "10.0.0.1,10.0.0.2")});
  EXPECT_EQ(logLines("Endpoint "),
            (std::vector<std::string>{"Endpoint 1/2: 10.0.0.1:65333 (managerSlot=5, comNum=4)",
                                      "Endpoint 2/2: 10.0.0.2:65333 (managerSlot=5, comNum=4)",
                                      "Endpoint selected and cached: 10.0.0.2:65333"}));
  EXPECT_EQ(primary().disconnects, 2);  // the login's own close, then the failed candidate's
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  EXPECT_EQ(model->state().managerHost, "10.0.0.2");
  EXPECT_EQ(DirectConnectionSettings::load(*defaults).host, "10.0.0.2");
  EXPECT_EQ(model->primaryConnection().failures(), 0);
  EXPECT_FALSE(model->state().isConnectionBusy);
}

TEST_F(ConnectionTest, FailedCyclesBackOffWithoutLimit) {
  primary().setDefaultOutcome(Outcome::reject);
  make();
  onMain([&] { model->start(); });
  settle();
  onMain([&] { model->connect(); });
  settle();
  EXPECT_EQ(model->state().connectionState, DirectAuthState::failed);
  EXPECT_EQ(model->state().connectionError, rejectedText());
  EXPECT_FALSE(model->state().isConnectionBusy);
  advance(1900ms);
  EXPECT_EQ(primary().attempts.size(), 1u);
  advance(100ms);
  EXPECT_EQ(primary().attempts.size(), 2u);
  EXPECT_TRUE(logged("Connection cycle started (reason=automatic reconnect, endpoints=1)"));
  advance(100s, 500ms);
  EXPECT_EQ(logLines("Reconnect scheduled"),
            (std::vector<std::string>{
                "Reconnect scheduled in 2s (attempt=1)", "Reconnect scheduled in 5s (attempt=2)",
                "Reconnect scheduled in 10s (attempt=3)", "Reconnect scheduled in 20s (attempt=4)",
                "Reconnect scheduled in 30s (attempt=5)", "Reconnect scheduled in 30s (attempt=6)",
                "Reconnect scheduled in 30s (attempt=7)"}));
  // A success resets the back-off; the next loss starts at 2 s again.
  primary().setDefaultOutcome(Outcome::accept);
  advance(30s, 500ms);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  EXPECT_EQ(model->primaryConnection().failures(), 0);
  primary().dropConnection();
  settle();
  EXPECT_EQ(logLines("Reconnect scheduled").back(), "Reconnect scheduled in 2s (attempt=1)");
  EXPECT_EQ(model->state().connectionError, "Connection reset by manager");
}

TEST_F(ConnectionTest, DisconnectCancelsThePendingReconnectAndBlocksRecovery) {
  primary().setDefaultOutcome(Outcome::reject);
  make();
  onMain([&] { model->start(); });
  settle();
  onMain([&] { model->connect(); });
  settle();
  ASSERT_TRUE(model->primaryConnection().isWaiting());
  onMain([&] { model->disconnect(); });
  settle();
  EXPECT_FALSE(model->primaryConnection().isWaiting());
  EXPECT_EQ(model->state().connectionState, DirectAuthState::disconnected);
  EXPECT_FALSE(model->state().isConnectionBusy);
  monitors.back()->fire("Mac woke from sleep");
  advance(60s, 1s);
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_FALSE(logged("macOS recovery signal: Mac woke from sleep"));
}

TEST_F(ConnectionTest, FormValidationFailureTouchesOnlyStateAndError) {
  make();
  onMain([&] { model->setText(StatusFormField::managerSlot, "0"); });
  onMain([&] { model->connect(); });
  EXPECT_EQ(model->state().connectionError, "Manager slot must be an integer from 1 to 65536.");
  EXPECT_EQ(model->state().connectionState, DirectAuthState::failed);
  EXPECT_FALSE(model->state().isConnectionBusy);
  EXPECT_TRUE(logged("Form validation failed: Manager slot must be an integer from 1 to 65536."));
  EXPECT_FALSE(model->primaryConnection().isWaiting());

  onMain([&] { model->setText(StatusFormField::managerSlot, "65536"); });
  onMain([&] { model->connect(); });
  settle();
  EXPECT_TRUE(logged("Endpoint 1/1: 10.0.0.9:65333 (managerSlot=65536, comNum=65535)"));
}

TEST_F(ConnectionTest, SavingTheFormKeepsWhatCannotBeParsed) {
  make();
  const std::pair<const char*, std::uint16_t> ports[] = {{"abc", 65333}, {" 80", 65333},   {"+80", 80},
                                                         {"", 65333},    {"70000", 65333}, {"443", 443}};
  for (const auto& [entered, port] : ports) {
    const char* text = entered;  // clang 14 cannot capture a structured binding in a lambda
    onMain([&] { model->setText(StatusFormField::managerPort, text); });
    onMain([&] { model->persistConnectionSettings(); });
    EXPECT_EQ(DirectConnectionSettings::load(*defaults).port, port) << text;
  }
  onMain([&] { model->setText(StatusFormField::managerSlot, ""); });
  onMain([&] { model->persistConnectionSettings(); });
  EXPECT_EQ(DirectConnectionSettings::load(*defaults).connectionNumber, 0);
  onMain([&] { model->setText(StatusFormField::managerSlot, " 12 "); });
  onMain([&] { model->persistConnectionSettings(); });
  EXPECT_EQ(DirectConnectionSettings::load(*defaults).connectionNumber, 11);
}

// ---- decided races ----

TEST_F(ConnectionTest, DisconnectDuringTheLastAttemptEndsTheCycleSilently) {
  connectingForever();
  watchStates();
  onMain([&] { model->disconnect(); });
  settle();
  EXPECT_FALSE(published(DirectAuthState::failed));
  EXPECT_EQ(model->state().connectionState, DirectAuthState::disconnected);
  EXPECT_FALSE(model->state().isConnectionBusy);
  EXPECT_FALSE(model->state().connectionError);
  EXPECT_FALSE(model->primaryConnection().isWaiting());
  EXPECT_TRUE(logLines("Reconnect scheduled").empty());
  advance(40s, 1s);
  EXPECT_EQ(primary().attempts.size(), 1u);
}

TEST_F(ConnectionTest, SupersededCycleNeverOverlapsTheNewOne) {
  // The primary's attempt hangs; a secondary fails until it asks for fresh routes; the refresh
  // starts a new cycle while the first attempt is still inside the client.
  primary().setDefaultOutcome(Outcome::hang);
  clients->secondaryOutcome = Outcome::reject;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  ASSERT_EQ(primary().hangingCount(), 1u);
  advance(8s, 500ms);  // passes fail at 0, 2 and 7 s: the third asks for a refresh
  ASSERT_TRUE(logged("Refreshing manager routes after repeated failures (manager=2)"));
  watchStates();
  login->respond(result(5, {route(1, "10.0.0.1"), route(2, "10.0.0.2")}, "alice"));
  settle();
  EXPECT_TRUE(logged("Connection cycle started (reason=server route refresh, endpoints=1)"));
  EXPECT_FALSE(published(DirectAuthState::failed));
  EXPECT_EQ(primary().maxInFlight, 1);
  EXPECT_EQ(primary().notIdleRefusals, 0);
  ASSERT_EQ(primary().attempts.size(), 2u);
  EXPECT_TRUE(model->state().isConnectionBusy);
  primary().releaseHang();
  settle();
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  EXPECT_FALSE(model->primaryConnection().isWaiting());
}

TEST_F(ConnectionTest, WakeThenNetworkGivesOneCycle) {
  connected();
  monitors.back()->fire("Mac woke from sleep");
  monitors.back()->fire("Network became available");
  settle();
  EXPECT_EQ(logLines("Connection cycle started").size(), 2u);  // the Connect button's, then one
  EXPECT_TRUE(logged("Connection cycle started (reason=Network became available, endpoints=1)"));
  EXPECT_EQ(primary().attempts.size(), 2u);
  EXPECT_EQ(primary().notIdleRefusals, 0);
  EXPECT_EQ(primary().maxInFlight, 1);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  EXPECT_FALSE((model->primaryConnection().isRunning() && !model->primaryConnection().isWaiting()));
}

TEST_F(ConnectionTest, RecoveryWithoutCandidatesDoesNothing) {
  make();
  onMain([&] { model->start(); });
  settle();
  monitors.back()->fire("Mac woke from sleep");
  settle();
  EXPECT_FALSE(logged("macOS recovery signal: Mac woke from sleep"));
  EXPECT_EQ(primary().disconnects, 0);
}

TEST_F(ConnectionTest, HandlersAreInPlaceBeforeTheFirstAttempt) {
  primary().holdSetters(true);
  make();
  onMain([&] { model->start(); });  // the start-up task begins installing
  settle();
  onMain([&] { model->connect(); });  // the cycle must wait for that installation
  settle();
  EXPECT_TRUE(primary().attempts.empty());
  onMain([&] { model->requestStartupAutomaticLogin(); });  // a third caller waits as well
  settle();
  primary().releaseSetters();
  settle();
  ASSERT_EQ(primary().attempts.size(), 1u);
  EXPECT_EQ(primary().attemptsWithoutHandlers, 0);
  primary().emit(DirectAuthEvent::now(DirectAuthEventKinds::TcpConnectReady{}));
  settle();
  EXPECT_TRUE(logged(DirectAuthEvent::now(DirectAuthEventKinds::TcpConnectReady{}).message()));
  primary().sendClipboard(LegacyClipboardValue::text("from manager"));
  settle();
  EXPECT_EQ(bridge->applied.size(), 1u);
}

TEST_F(ConnectionTest, DisconnectWhileSecondariesAreBeingBuiltLeavesNoSession) {
  clients->holdSecondarySetters = true;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2"), route(3, "10.0.0.3")});
  ASSERT_EQ(clients->secondaries.size(), 1u);  // the first is waiting for its handlers
  onMain([&] { model->disconnect(); });
  settle();
  clients->secondaries[0]->releaseSetters();
  settle();
  EXPECT_TRUE(model->secondaries().indices().empty());
  EXPECT_EQ(clients->secondaries.size(), 1u);
  EXPECT_GE(clients->secondaries[0]->disconnects, 1);
  EXPECT_EQ(clients->liveSecondaries(), 0);
  EXPECT_FALSE(logged("Independent manager sessions active: primary=1, secondary=2"));
  advance(10s, 1s);
  EXPECT_TRUE(clients->secondaries[0]->attempts.empty());
  EXPECT_EQ(bridge->clients.size(), 1u);
}

TEST_F(ConnectionTest, OverlappingConfigurationsLeaveOneSessionPerManager) {
  clients->holdSecondarySetters = true;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2"), route(3, "10.0.0.3")});
  ASSERT_EQ(clients->secondaries.size(), 1u);
  // The user signs in again while the first configuration still waits.
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2"), route(3, "10.0.0.3")});
  for (int round = 0; round < 10; ++round) {
    for (auto& secondary : clients->secondaries) secondary->releaseSetters();
    settle();
  }
  EXPECT_EQ(model->secondaries().indices(), (std::vector<int>{2, 3}));
  EXPECT_EQ(clients->liveSecondaries(), 2);
  for (const auto& secondary : clients->secondaries) {
    const bool kept = secondary->state() == DirectAuthState::authenticated;
    const bool inMap =
        model->secondaries().session(2) && model->secondaries().session(2)->client() == secondary;
    const bool inMap3 =
        model->secondaries().session(3) && model->secondaries().session(3)->client() == secondary;
    EXPECT_EQ(kept, inMap || inMap3) << secondary->name();
  }
  EXPECT_EQ(bridge->clients.size(), 3u);
}

TEST_F(ConnectionTest, RefreshWithoutTheKeptPrimaryIndexNeverDoublesAManager) {
  clients->secondaryOutcome = Outcome::reject;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  ASSERT_EQ(model->state().connectionState, DirectAuthState::authenticated);
  advance(8s, 500ms);
  ASSERT_TRUE(logged("Refreshing manager routes after repeated failures (manager=2)"));
  clients->secondaryOutcome = Outcome::accept;
  login->respond(result(5, {route(2, "10.0.0.2"), route(3, "10.0.0.3")}, "alice"));
  settle();
  EXPECT_TRUE(logged("Manager routes refreshed from login server (routes=2)"));
  // The primary stays where it is; manager 2 is where it reconnects, so only 3 gets a session.
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_EQ(model->signIn().primaryManagerIndex(), 1);
  ASSERT_EQ(model->primaryConnection().endpoints().size(), 1u);
  EXPECT_EQ(model->primaryConnection().endpoints()[0].host, "10.0.0.2");
  EXPECT_EQ(model->secondaries().indices(), (std::vector<int>{3}));
  EXPECT_TRUE(logged("Independent manager sessions active: primary=2, secondary=1"));
  EXPECT_EQ(model->signIn().routeCache()->primaryManagerIndex, 2);
}

TEST_F(ConnectionTest, RefreshesAreThrottledAndNeedASignedInSession) {
  clients->secondaryOutcome = Outcome::reject;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  advance(8s, 500ms);
  ASSERT_EQ(login->requests.size(), 2u);
  login->fail(std::make_exception_ptr(AccountLoginError::invalidHTTPStatus(503)));
  settle();
  EXPECT_TRUE(logged("Manager route refresh failed: The login server returned HTTP status 503."));
  // Passes 6 fails about 27 s after the first refresh: still within 30 s, ignored.
  advance(27s, 500ms);
  EXPECT_EQ(login->requests.size(), 2u);
  onMain([&] { model->disconnect(); });
  settle();
  EXPECT_FALSE(model->signIn().hasSessionPassword());
  EXPECT_FALSE(model->signIn().assignedSlot());
}

TEST_F(ConnectionTest, LateAutomaticLoginAfterDisconnectAppliesNothing) {
  AccountLoginSettings settings = AccountLoginSettings::load(*defaults);
  startAutomaticLogin();
  onMain([&] { model->disconnect(); });
  settle();
  login->respond(result(5, {route(1, "10.0.0.1"), route(2, "10.0.0.2")}, "alice"));
  settle();
  EXPECT_FALSE(model->state().isAccountAuthenticated);
  EXPECT_FALSE(model->state().isAccountLoginBusy);
  EXPECT_TRUE(primary().attempts.empty());
  EXPECT_TRUE(model->secondaries().indices().empty());
  EXPECT_FALSE(ManagerRouteCache::load(*defaults));
  (void)settings;
}

// A late answer, good or bad, of an automatic login the user's Disconnect dropped leaves the
// idle status, not "Signing in automatically…" with nothing running.
TEST_F(ConnectionTest, DroppedAutomaticLoginPutsTheStatusBackToIdle) {
  for (const bool succeeds : {true, false}) {
    SCOPED_TRACE(succeeds ? "late success" : "late failure");
    startAutomaticLogin();
    EXPECT_EQ(model->state().accountLoginStatus, "Signing in automatically…");
    onMain([&] { model->disconnect(); });
    settle();
    if (succeeds) {
      login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
    } else {
      login->fail(std::make_exception_ptr(AccountLoginError::invalidHTTPStatus(500)));
    }
    settle();
    EXPECT_FALSE(model->state().isAccountLoginBusy);
    EXPECT_EQ(model->state().accountLoginStatus, "Not signed in");
    EXPECT_FALSE(model->signIn().isRetryPending());
  }
}

// Decided: the user's Disconnect also ends a pending automatic-login retry. Without that, the
// retry fires five seconds later, signs in again and reconnects over the user's choice.
TEST_F(ConnectionTest, DisconnectEndsThePendingAutomaticLoginRetry) {
  startAutomaticLogin();
  login->fail(std::make_exception_ptr(AccountLoginError::invalidHTTPStatus(500)));
  settle();
  // The failure fell back to the saved direct settings and scheduled the retry.
  ASSERT_TRUE(model->signIn().isRetryPending());
  ASSERT_EQ(primary().attempts.size(), 1u);
  advance(2s);
  onMain([&] { model->disconnect(); });
  settle();
  EXPECT_FALSE(model->signIn().isRetryPending());
  advance(10s);
  EXPECT_FALSE(logged("Retrying automatic account login"));
  EXPECT_EQ(login->requests.size(), 1u);
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_NE(model->state().connectionState, DirectAuthState::authenticated);
}

TEST_F(ConnectionTest, LateRefreshAfterDisconnectAppliesNothing) {
  clients->secondaryOutcome = Outcome::reject;
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  advance(8s, 500ms);
  ASSERT_TRUE(model->signIn().isRouteRefreshRunning());
  const auto cache = model->signIn().routeCache();
  onMain([&] { model->disconnect(); });
  settle();
  login->respond(result(9, {route(1, "10.0.0.7"), route(3, "10.0.0.3")}, "alice"));
  settle();
  EXPECT_FALSE(logged("Manager routes refreshed from login server (routes=2)"));
  EXPECT_EQ(model->signIn().routeCache(), cache);
  EXPECT_TRUE(model->secondaries().indices().empty());
  EXPECT_FALSE(model->signIn().assignedSlot());
}

TEST_F(ConnectionTest, InteractiveLoginStartedBeforeADisconnectStillSignsIn) {
  make();
  onMain([&] { model->start(); });
  settle();
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  settle();
  onMain([&] { model->disconnect(); });
  settle();
  login->respond(result(5, {route(1, "10.0.0.1")}, "alice"));
  settle();
  EXPECT_TRUE(model->state().isAccountAuthenticated);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::authenticated);
}

// ---- poll ----

TEST_F(ConnectionTest, PollCountsAuthenticatedManagersAcrossMixedSecondaries) {
  clients->secondaryOutcomeQueue = {Outcome::accept, Outcome::reject, Outcome::hang};
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2"), route(3, "10.0.0.3"), route(4, "10.0.0.4")});
  advance(600ms);
  EXPECT_EQ(model->state().managerConnectionsLabel, "2/4 managers");
  primary().dropConnection();
  advance(500ms);
  EXPECT_EQ(model->state().managerConnectionsLabel, "1/4 managers");
  EXPECT_EQ(model->state().connectionState, DirectAuthState::failed);
}

TEST_F(ConnectionTest, PollLeavesStateAloneWhileACycleRuns) {
  connectingForever();
  advance(1s);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::connecting);
  EXPECT_TRUE(model->state().isConnectionBusy);
  EXPECT_EQ(model->state().managerConnectionsLabel, "0/1 managers");
}

// ---- events and the state poll ----

using EventTest = ConnectionTest;

TEST_F(EventTest, AnErrorEventKeepsTheConnectionErrorAlreadyShown) {
  connected();
  primary().dropConnection("first failure");
  settle();
  ASSERT_EQ(model->state().connectionState, DirectAuthState::failed);
  ASSERT_EQ(model->state().connectionError, "first failure");
  const auto second = DirectAuthEvent::now(DirectAuthEventKinds::Error{"second failure"});
  primary().emit(second);
  settle();
  EXPECT_EQ(model->state().connectionError, "first failure");
  EXPECT_TRUE(logged(second.message())) << "the event is still logged";
}

TEST_F(EventTest, WhileACycleRunsOnlyEndStatesArePublished) {
  connectingForever();
  watchStates();
  primary().setStateDirectly(DirectAuthState::authenticating);
  primary().emit(DirectAuthEvent::now(DirectAuthEventKinds::TcpConnectReady{}));
  advance(1s);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::connecting);
  EXPECT_FALSE(published(DirectAuthState::authenticating));
}

TEST_F(EventTest, DisconnectedAfterTheUsersDisconnectSchedulesNoReconnect) {
  connected();
  onMain([&] { model->disconnect(); });
  settle();
  primary().emit(DirectAuthEvent::now(DirectAuthEventKinds::Disconnect{}));
  advance(40s, 1s);
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_TRUE(logLines("Reconnect scheduled").empty());
}

TEST_F(EventTest, ThePollShowsNoErrorForAFailedClientWithoutOne) {
  connected();
  primary().setStateDirectly(DirectAuthState::failed);  // failed, and no last error
  advance(600ms);
  EXPECT_EQ(model->state().connectionState, DirectAuthState::failed);
  EXPECT_EQ(model->state().connectionError, std::nullopt);
}

// ---- stop and destruction ----

// The quit path lets the application's objects go only once this turns false.
TEST_F(ConnectionTest, StopReportsItsSessionsClosingUntilEachHasClosed) {
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  ASSERT_EQ(clients->secondaries.size(), 1u);
  EXPECT_FALSE(model->hasClosingSessions());
  const auto primaryHold = std::make_shared<Pending>(io.get_executor());
  const auto secondaryHold = std::make_shared<Pending>(io.get_executor());
  primary().holdDisconnects = primaryHold;
  clients->secondaries[0]->holdDisconnects = secondaryHold;
  onMain([&] { model->stop(); });
  settle();
  EXPECT_TRUE(model->hasClosingSessions());
  primaryHold->release();
  settle();
  EXPECT_EQ(primary().state(), DirectAuthState::disconnected);
  EXPECT_TRUE(model->hasClosingSessions()) << "the secondary session still closes";
  secondaryHold->release();
  settle();
  EXPECT_FALSE(model->hasClosingSessions());
  EXPECT_EQ(clients->liveSecondaries(), 0);
}

TEST_F(ConnectionTest, StopEmptiesEverySlotAndClosesEverySession) {
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  const auto callback = monitors.back()->callback;
  onMain([&] { model->stop(); });
  settle();
  EXPECT_FALSE(model->hasRunningSlotTask());
  EXPECT_GE(primary().disconnects, 2);
  EXPECT_EQ(clients->liveSecondaries(), 0);
  EXPECT_TRUE(model->secondaries().indices().empty());
  EXPECT_EQ(bridge->clients.size(), 1u);
  EXPECT_FALSE(displaySleep->held);
  EXPECT_EQ(monitors.back()->stops, 1);
  EXPECT_TRUE(model->signIn().accountContext() == nullptr);
  callback("Network became available");  // a signal that raced the stop
  advance(40s, 1s);
  EXPECT_EQ(primary().attempts.size(), 1u);
  onMain([&] { model->start(); });
  settle();
  EXPECT_EQ(monitors.size(), 1u);
}

TEST_F(ConnectionTest, DestroyedModelRunsNothingAndClosesItsSessions) {
  primary().setDefaultOutcome(Outcome::reject);
  signIn({route(1, "10.0.0.1"), route(2, "10.0.0.2")});
  ASSERT_TRUE(model->primaryConnection().isWaiting());
  std::weak_ptr<StatusWindowViewModel> weak = model;
  model.reset();
  settle();
  EXPECT_TRUE(weak.expired());
  advance(60s, 1s);
  EXPECT_EQ(primary().attempts.size(), 1u);
  EXPECT_EQ(clients->liveSecondaries(), 0);
}

}  // namespace
}  // namespace vantrel::testing
