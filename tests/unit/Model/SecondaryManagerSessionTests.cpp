// A secondary manager's supervision loop on its own, and the credential store wrapper.

#include <gtest/gtest.h>

#include <filesystem>

#include "Model/Settings/AccountCredentialStore.hpp"
#include "StatusModelFakes.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {
namespace {

using Outcome = FakeManagerClient::Outcome;
using namespace std::chrono_literals;

class SecondarySessionTest : public ::testing::Test, public StatusModelHarness {
 protected:
  std::shared_ptr<FakeManagerClient> client =
      std::make_shared<FakeManagerClient>(io.get_executor(), "secondary");
  std::vector<int> callbacks;
  std::shared_ptr<SecondaryManagerSession> session;

  void startSession(std::vector<std::string> hosts) {
    std::vector<DirectConnectionSettings> candidates;
    candidates.reserve(hosts.size());
    for (auto& host : hosts) candidates.push_back(DirectConnectionSettings{host, 65333, "alice", 4});
    session = SecondaryManagerSession::create(io.get_executor(), 2, client, candidates);
    session->start([this](int index) { callbacks.push_back(index); });
    settle();
  }
};

TEST_F(SecondarySessionTest, UnreachableManagerBacksOffAndAsksForRoutesEveryThirdPass) {
  client->setDefaultOutcome(Outcome::reject);
  startSession({"10.0.0.2", "10.0.0.3"});
  EXPECT_EQ(client->attempts.size(), 2u);  // pass 1: both endpoints, 3 s each
  EXPECT_EQ(client->attempts[0].timeout, std::chrono::seconds(3));
  const std::pair<std::chrono::milliseconds, std::size_t> passes[] = {{2s, 4},   {5s, 6},   {10s, 8},
                                                                      {20s, 10}, {30s, 12}, {30s, 14}};
  for (const auto& [gap, attempts] : passes) {
    advance(gap - 500ms, 500ms);
    EXPECT_EQ(client->attempts.size(), attempts - 2) << "before " << gap.count() << " ms";
    advance(500ms, 500ms);
    EXPECT_EQ(client->attempts.size(), attempts) << "after " << gap.count() << " ms";
  }
  EXPECT_EQ(callbacks, (std::vector<int>{2, 2}));  // after passes 3 and 6
  EXPECT_EQ(client->disconnects, 14);
}

TEST_F(SecondarySessionTest, LostSessionStartsOverWithTheShortestPause) {
  client->script("10.0.0.2", {Outcome::reject, Outcome::reject, Outcome::accept, Outcome::reject});
  startSession({"10.0.0.2"});
  advance(2s, 500ms);
  advance(5s, 500ms);
  ASSERT_EQ(client->state(), DirectAuthState::authenticated);
  ASSERT_EQ(client->attempts.size(), 3u);
  advance(3s, 500ms);  // supervised every second, nothing new
  EXPECT_EQ(client->attempts.size(), 3u);
  client->setStateDirectly(DirectAuthState::failed);
  advance(1s, 500ms);
  ASSERT_EQ(client->attempts.size(), 4u);  // a new pass at once; it fails
  advance(1500ms, 500ms);
  EXPECT_EQ(client->attempts.size(), 4u);
  advance(500ms, 500ms);
  EXPECT_EQ(client->attempts.size(), 5u);  // 2 s later: failures counted from zero again
  EXPECT_TRUE(callbacks.empty());
}

TEST_F(SecondarySessionTest, StopEndsTheLoopAndClosesTheSession) {
  client->setDefaultOutcome(Outcome::hang);
  startSession({"10.0.0.2"});
  ASSERT_EQ(client->hangingCount(), 1u);
  runAwaitable(io, session->stop());
  settle();
  EXPECT_EQ(client->hangingCount(), 0u);
  EXPECT_GE(client->disconnects, 1);
  session->start([this](int index) { callbacks.push_back(index); });
  advance(40s, 1s);
  EXPECT_EQ(client->attempts.size(), 1u);
}

TEST_F(SecondarySessionTest, SessionWithoutCandidatesNeverStarts) {
  startSession({});
  advance(5s, 1s);
  EXPECT_TRUE(client->attempts.empty());
}

TEST(AccountCredentialStoreTest, SavesReadsAndDeletesUnderTheNamespaceFolder) {
  TemporaryHome home;
  asio::io_context io;
  AccountCredentialStore store(std::nullopt, "local.vantrel.Test");
  EXPECT_EQ(store.storage().directory(), AccountCredentialStore::defaultDirectory("local.vantrel.Test"));
  EXPECT_EQ(store.storage().directory().filename(), "AccountLogin");
  EXPECT_EQ(store.storage().directory().parent_path().filename(), "local.vantrel.Test");
  EXPECT_EQ(runAwaitable(io, store.passwordAsync("alice")), std::nullopt);
  runAwaitable(io, store.saveAsync("s3cret", "alice"));
  EXPECT_EQ(runAwaitable(io, store.passwordAsync(" alice ")), "s3cret");
  runAwaitable(io, store.deletePasswordAsync("alice"));
  EXPECT_EQ(runAwaitable(io, store.passwordAsync("alice")), std::nullopt);
  try {
    runAwaitable(io, store.saveAsync("x", "   "));
    ADD_FAILURE() << "a blank account was accepted";
  } catch (const EncryptedAccountCredentialStore::Failure& failure) {
    EXPECT_EQ(failure.localizedDescription(), "account_credential_invalid_input");
  }
}

}  // namespace
}  // namespace vantrel::testing

namespace vantrel::testing {
namespace {

TEST(StatusEnvironmentTest, ProductionWiringFillsEveryCollaborator) {
  TemporaryHome home;
  asio::io_context main;
  asio::io_context sessions;
  auto environment = makeProductionStatusEnvironment(
      main.get_executor(), sessions.get_executor(), std::make_shared<FakeLoginService>(main.get_executor()),
      std::make_shared<AccountCredentialStore>(std::nullopt, "local.vantrel.VantrelMac"),
      std::make_shared<FakePasteboard>(), std::make_shared<InMemoryUserDefaults>(), nullptr, {"VantrelMac"});
  EXPECT_TRUE(environment.sessionExecutor == asio::any_io_executor(sessions.get_executor()));
  EXPECT_TRUE(environment.clipboardBridge && environment.pasteboard && environment.permissions &&
              environment.captureService && environment.inputService && environment.displaySleepPreventer &&
              environment.host && environment.makeRecoveryMonitor && environment.pasteDestination);
  auto primary = environment.clients->makePrimary();
  auto secondary = environment.clients->makeSecondary(nullptr);
  ASSERT_TRUE(primary->directClient());
  ASSERT_TRUE(secondary->directClient());
  EXPECT_NE(primary->directClient(), secondary->directClient());
  EXPECT_EQ(runAwaitable(sessions, primary->currentState()), DirectAuthState::idle);
}

}  // namespace
}  // namespace vantrel::testing
