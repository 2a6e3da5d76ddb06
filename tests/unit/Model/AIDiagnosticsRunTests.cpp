#include <gtest/gtest.h>

#include "Model/Agent/AIDiagnosticsRun.hpp"
#include "StatusModelFakes.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeManagerClient;
using Outcome = FakeManagerClient::Outcome;

bool containsLine(const std::vector<std::string>& lines, std::string_view text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// One run against a scripted session on a manual clock.
class DiagnosticsRun : public ::testing::Test {
 protected:
  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<FakeManagerClient> client = std::make_shared<FakeManagerClient>(io.get_executor());
  ai_diagnostics::ReceiveStamp stamp = std::make_shared<std::atomic<VantrelClock::rep>>(0);
  std::vector<std::string> lines;
  std::optional<int> status;
  // What the program emits when it quits in the middle of a run.
  asio::cancellation_signal quit;

  void start() {
    ai_diagnostics::RunEnvironment environment{
        client, stamp, "qa-user", 41, [this](std::string line) { lines.push_back(std::move(line)); }};
    asio::co_spawn(io, ai_diagnostics::run({{192, 168, 5, 5}, 65333}, environment),
                   asio::bind_cancellation_slot(quit.slot(), [this](std::exception_ptr error, int result) {
                     ASSERT_FALSE(error) << localizedDescription(error);
                     status = result;
                   }));
    testing::drain(io);
  }
  // In steps, each run for a moment so that the reactor notices the moved time (as the status
  // model's harness does), then settled.
  void advance(VantrelClock::duration by) {
    for (auto left = by; left > 0s; left -= 500ms) {
      clock.advance(500ms);
      io.run_for(std::chrono::milliseconds(2));
      if (io.stopped()) io.restart();
      for (int i = 0; i < 4; ++i) testing::drain(io);
    }
  }
  void managerSent() { stamp->store(VantrelClock::now().time_since_epoch().count()); }
};

TEST_F(DiagnosticsRun, ConnectsOnceWithTheSavedIdentityAndTheFiveSecondLimit) {
  start();
  ASSERT_EQ(client->attempts.size(), 1u);
  EXPECT_EQ(client->attempts[0],
            (DirectAuthConfiguration{"192.168.5.5", 65333, "qa-user", 41, std::chrono::seconds(5)}));
  EXPECT_EQ(client->attemptsWithoutHandlers, 0) << "the event handler comes before the connection";
  EXPECT_FALSE(status) << "an authenticated run serves the manager";
}

TEST_F(DiagnosticsRun, TheManagerClosingTheConnectionIsACleanEnd) {
  start();
  advance(10s);
  ASSERT_FALSE(status);
  client->dropConnection(NetworkTransportError::disconnected().localizedDescription());
  advance(1s);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(client->disconnects, 1);
  EXPECT_EQ(client->attempts.size(), 1u);
  EXPECT_TRUE(containsLine(lines, "AI_DIAGNOSTICS authenticated at 192.168.5.5:65333"));
  EXPECT_TRUE(containsLine(lines, "AI_DIAGNOSTICS the manager closed the connection"));
  // The session's own events reach the log as their messages.
  EXPECT_TRUE(containsLine(lines, NetworkTransportError::disconnected().localizedDescription()));
}

TEST_F(DiagnosticsRun, AMinuteWithoutAnyByteFromTheManagerEndsTheSession) {
  start();
  advance(30s);
  managerSent();  // the silence is counted from the last read, not from the start
  advance(59s);
  EXPECT_FALSE(status);
  EXPECT_EQ(client->disconnects, 0);
  advance(1s);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(client->disconnects, 1);
  EXPECT_TRUE(containsLine(lines, "AI_DIAGNOSTICS no frame from the manager for 60 s"));
}

struct FailureCase {
  Outcome outcome;
  std::string reason;
};

class DiagnosticsRunFailure : public DiagnosticsRun, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DiagnosticsRunFailure, EndsWithStatusOneTheReasonAndNoRetry) {
  client->setDefaultOutcome(GetParam().outcome);
  start();
  advance(30s);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(client->attempts.size(), 1u);
  const auto reasonLine = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("AI_DIAGNOSTICS could not authenticate at 192.168.5.5:65333: ", 0) == 0;
  });
  EXPECT_EQ(reasonLine, 1);
  EXPECT_TRUE(containsLine(lines, GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    AIDiagnostics, DiagnosticsRunFailure,
    ::testing::Values(FailureCase{Outcome::reject, DirectAuthError::rejected().localizedDescription()},
                      FailureCase{Outcome::timeout, DirectAuthError::timeout().localizedDescription()}));

TEST_F(DiagnosticsRun, ASessionThatFailsAfterAuthenticatingIsNotACleanEnd) {
  start();
  client->dropConnection("Malformed frame header");
  advance(1s);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(client->disconnects, 1);
  EXPECT_TRUE(containsLine(lines, "AI_DIAGNOSTICS session failed after authentication: "));
  EXPECT_FALSE(containsLine(lines, "AI_DIAGNOSTICS finished"));
}

// The line that sums a run up comes after every event of the session that explains it, and is the
// last line of the run: the session's events reach the log through the main executor, behind the
// run's own lines.
class DiagnosticsRunEnding : public DiagnosticsRun {
 protected:
  void SetUp() override {
    client->eventsOnFailure = {
        DirectAuthEvent::now(DirectAuthEventKinds::TcpConnectFailure{"Connection refused"})};
    client->eventsOnDisconnect = {DirectAuthEvent::now(DirectAuthEventKinds::Disconnect{})};
  }
  void expectEnding(int expectedStatus, std::string_view lastLine, const std::vector<std::string>& events) {
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    EXPECT_EQ(status, expectedStatus) << all;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind(lastLine, 0), 0u) << all;
    for (const auto& event : events) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), event), 1) << event << "\n" << all;
    }
  }
};

TEST_F(DiagnosticsRunEnding, AFailedAttemptEndsWithItsReasonAfterTheConnectFailureAndTheDisconnect) {
  client->setDefaultOutcome(Outcome::reject);
  start();
  advance(1s);
  expectEnding(1, "AI_DIAGNOSTICS could not authenticate at 192.168.5.5:65333: ",
               {"TCP connect failed: Connection refused", "Disconnected"});
}

TEST_F(DiagnosticsRunEnding, AFailedSessionEndsWithItsReasonAfterTheSessionsError) {
  start();
  client->dropConnection("Malformed frame header");
  advance(1s);
  expectEnding(1, "AI_DIAGNOSTICS session failed after authentication: ",
               {"Error: Malformed frame header", "Disconnected"});
}

TEST_F(DiagnosticsRunEnding, AClosedSessionEndsWithFinishedAfterTheDisconnect) {
  start();
  client->dropConnection(NetworkTransportError::disconnected().localizedDescription());
  advance(1s);
  expectEnding(0, "AI_DIAGNOSTICS finished", {"Disconnected"});
}

TEST_F(DiagnosticsRunEnding, ASilentManagerEndsWithFinishedAfterTheDisconnect) {
  start();
  advance(60s);
  expectEnding(0, "AI_DIAGNOSTICS finished", {"Disconnected"});
}

// A quit of the program (SIGTERM, SIGINT) cancels the run: it is stopped, not a failure, and the
// session is still closed.
TEST_F(DiagnosticsRunEnding, AQuitWhileServingSaysTheRunWasStopped) {
  start();
  advance(5s);
  ASSERT_FALSE(status);
  quit.emit(asio::cancellation_type::all);
  testing::drain(io);
  expectEnding(0, "AI_DIAGNOSTICS stopped: the program is quitting", {"Disconnected"});
  EXPECT_EQ(client->disconnects, 1);
  EXPECT_FALSE(containsLine(lines, "unexpectedly"));
  EXPECT_FALSE(containsLine(lines, "CancellationError"));
  EXPECT_FALSE(containsLine(lines, "AI_DIAGNOSTICS finished"));
}

// Once the run has ended, no event of its session reaches the log any more.
TEST_F(DiagnosticsRunEnding, NoEventArrivesAfterTheLastLine) {
  start();
  client->dropConnection(NetworkTransportError::disconnected().localizedDescription());
  advance(1s);
  ASSERT_EQ(status, 0);
  const auto count = lines.size();
  client->emit(DirectAuthEvent::now(DirectAuthEventKinds::Error{"late"}));
  testing::drain(io);
  EXPECT_EQ(lines.size(), count);
  EXPECT_FALSE(client->hasEventHandler());
}

}  // namespace
}  // namespace vantrel
