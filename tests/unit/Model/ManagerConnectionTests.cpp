// One manager connection on its own: the order and time-out of its endpoints, the back-off and
// fixed pauses at their boundaries, recovery, close and stop, and owners or sources that fail or
// call back into it.

#include <gtest/gtest.h>

#include "Model/Connection/ManagerConnection.hpp"
#include "StatusModelFakes.hpp"

namespace vantrel::testing {
namespace {

using Outcome = FakeManagerClient::Outcome;
using Phase = ConnectionStatus::Phase;
using namespace std::chrono_literals;

class ManagerConnectionTest : public ::testing::Test, public StatusModelHarness {
 protected:
  std::shared_ptr<FakeManagerClient> client = std::make_shared<FakeManagerClient>(io.get_executor(), "m");
  std::vector<ConnectionStatus> published;
  std::shared_ptr<ManagerConnection> connection;
  // Called after each status is recorded (a hostile owner).
  std::function<void(const ConnectionStatus&)> reaction;

  static std::vector<DirectConnectionSettings> endpoints(std::vector<std::string> hosts) {
    std::vector<DirectConnectionSettings> list;
    list.reserve(hosts.size());
    for (auto& host : hosts) list.push_back(DirectConnectionSettings{host, 65333, "alice", 4});
    return list;
  }
  static ConnectionPolicy backingOff(std::optional<VantrelClock::duration> watch = std::nullopt) {
    ConnectionPolicy policy;
    policy.timeout = 5s;
    policy.watchInterval = watch;
    return policy;
  }
  void make(ConnectionPolicy policy, ManagerConnection::Prepare prepare = {}) {
    connection = ManagerConnection::create(
        io.get_executor(), policy, {client, {}},
        [this](const ConnectionStatus& status) {
          published.push_back(status);
          if (reaction) reaction(status);
        },
        std::move(prepare));
  }
  void begin(std::vector<std::string> hosts, std::string reason = "test") {
    onMain([&] { connection->start(endpoints(std::move(hosts)), reason); });
    settle();
  }
  std::vector<Phase> phases() const {
    std::vector<Phase> list;
    for (const auto& status : published) list.push_back(status.phase);
    return list;
  }
  std::vector<std::string> hostsTried() const {
    std::vector<std::string> hosts;
    for (const auto& attempt : client->attempts) hosts.push_back(attempt.host);
    return hosts;
  }
  const ConnectionStatus* last(Phase phase) const {
    for (auto it = published.rbegin(); it != published.rend(); ++it)
      if (it->phase == phase) return &*it;
    return nullptr;
  }
};

TEST(ManagerConnectionTable, BackoffCountsFailuresFromOneAndStaysAtThirtySeconds) {
  const std::pair<int, VantrelClock::duration> cases[] = {{-5, 2s}, {0, 2s},  {1, 2s},  {2, 5s},    {3, 10s},
                                                          {4, 20s}, {5, 30s}, {6, 30s}, {1000, 30s}};
  for (const auto& [failures, delay] : cases) {
    EXPECT_EQ(ManagerConnection::backoffDelay(failures), delay) << failures;
  }
  ConnectionPolicy fixed;
  fixed.retry = ConnectionPolicy::Retry::fixed;
  fixed.fixedDelay = 5s;
  EXPECT_EQ(fixed.delayAfter(1), 5s);
  EXPECT_EQ(fixed.delayAfter(9), 5s);
}

TEST_F(ManagerConnectionTest, EndpointsAreTriedInOrderEachWithThePolicysTimeout) {
  client->script("10.0.0.1", {Outcome::reject});
  client->script("10.0.0.2", {Outcome::timeout});
  make(backingOff());
  begin({"10.0.0.1", "10.0.0.2", "10.0.0.3"}, "login");
  EXPECT_EQ(hostsTried(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  for (const auto& attempt : client->attempts) EXPECT_EQ(attempt.timeout, 5s);
  EXPECT_EQ(client->disconnects, 2);  // each failed endpoint is closed before the next
  EXPECT_EQ(phases(), (std::vector<Phase>{Phase::started, Phase::trying, Phase::trying, Phase::trying,
                                          Phase::connected}));
  EXPECT_EQ(published[0].reason, "login");
  EXPECT_EQ(published[0].endpointCount, 3u);
  EXPECT_EQ(published[3].endpointIndex, 3u);
  ASSERT_TRUE(published[4].endpoint);
  EXPECT_EQ(published[4].endpoint->host, "10.0.0.3");
  EXPECT_EQ(published[4].state, DirectAuthState::authenticated);
  EXPECT_FALSE(connection->isRunning()) << "without a watch the cycle ends once connected";
}

TEST_F(ManagerConnectionTest, FailedPassesBackOffAtTheTableBoundaries) {
  client->setDefaultOutcome(Outcome::reject);
  make(backingOff());
  begin({"10.0.0.1", "10.0.0.2"});
  ASSERT_TRUE(last(Phase::failed));
  EXPECT_EQ(last(Phase::failed)->error, *DirectAuthError::rejected().errorDescription());
  const VantrelClock::duration gaps[] = {2s, 5s, 10s, 20s, 30s, 30s};
  for (std::size_t pass = 0; pass < std::size(gaps); ++pass) {
    const auto before = client->attempts.size();
    ASSERT_TRUE(connection->isWaiting());
    EXPECT_EQ(last(Phase::waiting)->retryIn, gaps[pass]);
    EXPECT_EQ(last(Phase::waiting)->attempt, static_cast<int>(pass) + 1);
    advance(std::chrono::duration_cast<std::chrono::milliseconds>(gaps[pass]) - 100ms);
    EXPECT_EQ(client->attempts.size(), before) << "pass " << pass + 2 << " came early";
    advance(100ms);
    EXPECT_EQ(client->attempts.size(), before + 2) << "pass " << pass + 2 << " is late";
    EXPECT_EQ(last(Phase::started)->reason, ManagerConnection::automaticReason);
  }
  EXPECT_EQ(connection->failures(), 7);
  // A session that authenticates resets the position: its loss pauses 2 s again.
  client->setDefaultOutcome(Outcome::accept);
  advance(30s);
  ASSERT_EQ(last(Phase::connected)->state, DirectAuthState::authenticated);
  EXPECT_EQ(connection->failures(), 0);
  onMain([&] { connection->sessionEnded(); });
  EXPECT_EQ(last(Phase::waiting)->retryIn, 2s);
  EXPECT_EQ(last(Phase::waiting)->attempt, 1);
}

TEST_F(ManagerConnectionTest, AFixedPolicyPausesTheSameAfterFailuresAndLosses) {
  ConnectionPolicy policy;
  policy.timeout = 5s;
  policy.watchInterval = 1s;
  policy.retry = ConnectionPolicy::Retry::fixed;
  policy.fixedDelay = 5s;
  client->script("h", {Outcome::reject, Outcome::reject, Outcome::accept});
  make(policy);
  begin({"h"});
  for (int i = 0; i < 2; ++i) {
    advance(4900ms);
    EXPECT_EQ(client->attempts.size(), static_cast<std::size_t>(i + 1));
    advance(100ms);
  }
  ASSERT_EQ(client->state(), DirectAuthState::authenticated);
  const int closedBefore = client->disconnects;
  client->setStateDirectly(DirectAuthState::failed);
  advance(1s);  // the watch sees it and closes the session
  EXPECT_EQ(client->disconnects, closedBefore + 1);
  EXPECT_EQ(last(Phase::waiting)->retryIn, 5s);
  advance(4900ms);
  EXPECT_EQ(client->attempts.size(), 3u);
  advance(100ms);
  EXPECT_EQ(client->attempts.size(), 4u);
}

TEST_F(ManagerConnectionTest, ALostSessionCanBeRetriedAtOnce) {
  auto policy = backingOff(1s);
  policy.retryAtOnceAfterLoss = true;
  make(policy);
  begin({"h"});
  advance(3s);
  EXPECT_EQ(client->attempts.size(), 1u) << "watched, not retried, while authenticated";
  client->setStateDirectly(DirectAuthState::failed);
  advance(1s);
  EXPECT_EQ(client->attempts.size(), 2u);
  EXPECT_EQ(last(Phase::waiting), nullptr);
}

TEST_F(ManagerConnectionTest, RecoveryClosesTheSessionStartsOverAndKeepsTheBackoffPosition) {
  client->setDefaultOutcome(Outcome::reject);
  make(backingOff());
  begin({"h"});
  advance(2s);
  advance(5s);
  ASSERT_EQ(connection->failures(), 3);
  const int closedBefore = client->disconnects;
  onMain([&] { connection->recover("Network became available"); });
  settle();
  EXPECT_EQ(client->disconnects, closedBefore + 2);  // the recovery's close, then the failed endpoint
  EXPECT_EQ(client->attempts.size(), 4u);
  EXPECT_EQ(last(Phase::started)->reason, "Network became available");
  EXPECT_EQ(last(Phase::waiting)->attempt, 4);
  EXPECT_EQ(last(Phase::waiting)->retryIn, 20s);
  advance(10s);
  EXPECT_EQ(client->attempts.size(), 4u) << "the pause before the recovery is gone";
}

TEST_F(ManagerConnectionTest, SessionEndIsIgnoredWhileBusyAndAfterClose) {
  client->setDefaultOutcome(Outcome::hang);
  make(backingOff());
  begin({"h"});
  onMain([&] { connection->sessionEnded(); });
  EXPECT_EQ(last(Phase::waiting), nullptr) << "a cycle is running";
  onMain([&] { connection->close(); });
  settle();
  EXPECT_EQ(client->hangingCount(), 0u);
  ASSERT_EQ(published.back().phase, Phase::closed);
  EXPECT_EQ(published.back().state, DirectAuthState::disconnected);
  EXPECT_TRUE(connection->endpoints().empty());
  onMain([&] { connection->sessionEnded(); });
  onMain([&] { connection->recover("Mac woke from sleep"); });
  advance(40s, 1s);
  EXPECT_EQ(client->attempts.size(), 1u);
  EXPECT_EQ(published.back().phase, Phase::closed);
}

// Stops at each place the cycle can be: nothing is published afterwards, nothing is tried again,
// and the connection's task ends at once.
TEST_F(ManagerConnectionTest, StopEndsAttemptPauseAndWatchPromptlyAndSilently) {
  struct Case {
    const char* name;
    Outcome outcome;
    std::optional<VantrelClock::duration> watch;
    bool interrupted;
  };
  const Case cases[] = {{"attempt", Outcome::hang, std::nullopt, true},
                        {"pause", Outcome::reject, std::nullopt, false},
                        {"watch", Outcome::accept, 1s, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client = std::make_shared<FakeManagerClient>(io.get_executor(), c.name);
    published.clear();
    client->setDefaultOutcome(c.outcome);
    make(backingOff(c.watch));
    begin({"h"});
    advance(500ms);
    ASSERT_TRUE(connection->isRunning());
    const auto count = published.size();
    bool ended = false;
    onMain([&] {
      connection->stop();
      spawnTask(
          io.get_executor(),
          [](std::shared_ptr<ManagerConnection> c, bool* ended) -> Awaitable<void> {
            co_await c->finished();
            *ended = true;
          }(connection, &ended),
          "finished");
    });
    settle();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(connection->isRunning());
    EXPECT_EQ(client->hangingCount(), 0u);
    EXPECT_EQ(static_cast<bool>(connection->interruption()), c.interrupted);
    onMain([&] { connection->start(endpoints({"h"}), "after stop"); });
    onMain([&] { connection->sessionEnded(); });
    advance(60s, 1s);
    EXPECT_EQ(client->attempts.size(), 1u);
    EXPECT_EQ(published.size(), count);
  }
}

TEST_F(ManagerConnectionTest, AFailingSourceFailsThePassWithItsErrorAndIsAskedAgain) {
  int asked = 0;
  make(backingOff(), [this, &asked]() -> Awaitable<std::optional<ManagerConnection::Target>> {
    ++asked;
    if (asked == 1) throw std::runtime_error("connection file unreadable");
    return
        [](std::shared_ptr<ManagerSessionClient> c) -> Awaitable<std::optional<ManagerConnection::Target>> {
          co_return ManagerConnection::Target{std::move(c), endpoints({"fresh"})};
        }(client);
  });
  begin({});
  EXPECT_TRUE(client->attempts.empty());
  ASSERT_TRUE(last(Phase::failed));
  EXPECT_EQ(last(Phase::failed)->error,
            localizedDescription(std::make_exception_ptr(std::runtime_error("connection file unreadable"))));
  advance(2s);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(hostsTried(), (std::vector<std::string>{"fresh"}));
  EXPECT_EQ(connection->endpoints().size(), 1u);
}

// An owner that starts a new cycle from inside the status callback: the old cycle ends there and
// the two never use the client at the same time.
TEST_F(ManagerConnectionTest, AnOwnerRestartingFromTheCallbackNeverOverlapsTwoCycles) {
  client->setDefaultOutcome(Outcome::hang);
  make(backingOff());
  bool restarted = false;
  reaction = [&](const ConnectionStatus& status) {
    if (status.phase == Phase::trying && status.endpointIndex == 1 && !restarted) {
      restarted = true;
      connection->start(endpoints({"second"}), "from the callback");
    }
  };
  begin({"first", "other"});
  EXPECT_EQ(hostsTried(), (std::vector<std::string>{"second"}));
  EXPECT_EQ(client->maxInFlight, 1);
  client->releaseHang(Outcome::reject);
  settle();
  EXPECT_EQ(last(Phase::failed)->attempt, 1);
  EXPECT_EQ(client->notIdleRefusals, 0);
}

}  // namespace
}  // namespace vantrel::testing
