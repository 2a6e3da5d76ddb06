#include <gtest/gtest.h>

#include <sys/stat.h>

#include <future>

#include "Account/SystemConnectionConfiguration.hpp"
#include "Model/Agent/SessionAgentRuntime.hpp"
#include "Session/DirectAuthClient.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeTransport.hpp"
#include "support/ManagerWire.hpp"
#include "support/SessionAgentProbe.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::agentFailureLines;
using testing::FakeTransport;
using testing::waitUntil;

// The agent over in-memory transports: every attempt's transport is kept for inspection and
// prepared by `prepare` (by default a manager that accepts the authentication). As with the relay
// transport, a transport (and so its session) runs on the executor the agent hands over: the
// agent's stop abandons whatever its sessions left queued, which is sound only while none of it
// lives on a context that outlives the agent. The agent runs its loop and sessions on one thread,
// so a round trip through its executor means they are all waiting.
class SessionAgentTest : public ::testing::Test {
 protected:
  SessionAgentRuntime::Options options() {
    SessionAgentRuntime::Options o;
    o.threads = 1;
    o.makeTransport = [this](Executor executor) {
      auto transport = std::make_shared<FakeTransport>(std::move(executor));
      if (prepare) prepare(*transport);
      std::lock_guard lock(mutex);
      transports.push_back(transport);
      return transport;
    };
    return o;
  }
  std::shared_ptr<FakeTransport> transport(std::size_t i) {
    std::lock_guard lock(mutex);
    return i < transports.size() ? transports[i] : nullptr;
  }
  std::size_t transportCount() {
    std::lock_guard lock(mutex);
    return transports.size();
  }
  std::size_t failures() { return agentFailureLines(log).size(); }
  // Moves the clock in steps, letting the agent look at its timers after each.
  void advance(VantrelClock::duration total, SessionAgentRuntime& agent,
               VantrelClock::duration step = 500ms) {
    for (VantrelClock::duration moved{}; moved < total; moved += step) {
      clock.advance(step);
      testing::flushExecutor(agent.executor());
    }
  }
  // Moves the clock in small steps until `done()` holds (at most a minute of agent time).
  bool advanceUntil(const std::function<bool()>& done, SessionAgentRuntime& agent) {
    for (int step = 0; step < 600 && !done(); ++step) {
      clock.advance(100ms);
      testing::flushExecutor(agent.executor());
    }
    return waitUntil(done);
  }
  // How often a session alone closes its transport on the road `prepare` sets (its connect
  // cancelled once it hangs, with `cancelConnect`), before anybody disconnects it: the agent's one
  // disconnect adds exactly one to this.
  int closesBySessionAlone(bool cancelConnect) {
    auto fake = std::make_shared<FakeTransport>(sessions.executor());
    prepare(*fake);
    auto client = SessionAgentRuntime::makeClient(sessions.executor(), fake);
    asio::cancellation_signal cancel;
    std::promise<void> finished;
    DirectAuthConfiguration settings{"127.0.0.1", 65333, "agent", 0, std::chrono::seconds(5)};
    asio::co_spawn(
        sessions.executor(), client->connectAndAuthenticate(settings),
        asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr) { finished.set_value(); }));
    if (cancelConnect) {
      EXPECT_TRUE(waitUntil([&] { return fake->connectCount() == 1; }));
      asio::post(sessions.executor(), [&] { cancel.emit(asio::cancellation_type::all); });
    }
    EXPECT_EQ(finished.get_future().wait_for(testing::hangGuard), std::future_status::ready);
    testing::flushExecutor(sessions.executor());
    return fake->disconnectCount();
  }
  static void acceptAuthentication(FakeTransport& t) {
    t.queueReceive(testing::ManagerWire::frame(8, toBytes("1")));
  }

  testing::ThreadedContext sessions;
  testing::TemporaryHome home;
  ManualClock clock;
  MemoryLogSink log;
  std::function<void(FakeTransport&)> prepare = acceptAuthentication;
  std::mutex mutex;
  std::vector<std::shared_ptr<FakeTransport>> transports;
};

TEST_F(SessionAgentTest, WithoutAConnectionFileItLogsOneFailureEveryFiveSecondsAndNeverExits) {
  SessionAgentRuntime agent(options());
  agent.start();
  agent.start();  // one loop
  ASSERT_TRUE(waitUntil([&] { return failures() == 1; }));
  testing::flushExecutor(agent.executor());
  const auto first = agentFailureLines(log).front();
  EXPECT_NE(first.find("connection.json"), std::string::npos) << first;
  EXPECT_NE(first.find("No such file or directory"), std::string::npos) << first;
  for (int attempt = 2; attempt <= 4; ++attempt) {
    advance(4500ms, agent);
    EXPECT_EQ(failures(), static_cast<std::size_t>(attempt - 1)) << "no attempt before 5 s";
    clock.advance(500ms);
    ASSERT_TRUE(waitUntil([&] { return failures() == static_cast<std::size_t>(attempt); }));
    testing::flushExecutor(agent.executor());
  }
  EXPECT_EQ(transportCount(), 0u) << "no session is built without a configuration";
}

TEST_F(SessionAgentTest, EveryUnusableFileGivesOneFailureLinePerAttempt) {
  struct Case {
    const char* name;
    std::function<void()> write;
    const char* expectedFragment;
  };
  const auto path = SystemConnectionConfiguration::defaultURL();
  const Case cases[] = {
      {"not JSON", [] { testing::writeConnectionFile("{host:"); }, "isn’t in the correct format"},
      {"missing key", [] { testing::writeConnectionFile(R"({"host":"h","port":1,"userID":"u"})"); },
       "isn’t in the correct format"},
      {"port as text",
       [] { testing::writeConnectionFile(R"({"host":"h","port":"1","userID":"u","connectionNumber":0})"); },
       "isn’t in the correct format"},
      {"port beyond 16 bits",
       [] { testing::writeConnectionFile(testing::connectionFileJSON("127.0.0.1", 70000, "u", 0)); },
       "isn’t in the correct format"},
      {"negative connection number",
       [] { testing::writeConnectionFile(testing::connectionFileJSON("127.0.0.1", 1, "u", -1)); },
       "isn’t in the correct format"},
      {"a folder in its place",
       [path] {
         std::filesystem::remove(path);
         std::filesystem::create_directories(path);
       },
       "Is a directory"},
      {"a pipe in its place (never read)",
       [path] {
         std::filesystem::remove(path);
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       },
       "Invalid argument"},
      {"larger than any connection file",
       [path] {
         std::filesystem::remove(path);
         testing::writeConnectionFile(
             std::string(SessionAgentRuntime::maximumConfigurationFileSize + 1, ' '));
       },
       "File too large"},
  };
  std::filesystem::create_directories(path.parent_path());
  SessionAgentRuntime agent(options());
  std::size_t expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    c.write();
    // The file is changed only while the agent waits between attempts.
    if (expected == 0) {
      agent.start();
    } else {
      advance(5s, agent);
    }
    ++expected;
    ASSERT_TRUE(waitUntil([&] { return failures() >= expected; }));
    testing::flushExecutor(agent.executor());
    const auto lines = agentFailureLines(log);
    EXPECT_EQ(lines.size(), expected);
    EXPECT_NE(lines.back().find(c.expectedFragment), std::string::npos) << lines.back();
  }
  EXPECT_EQ(transportCount(), 0u);
}

TEST_F(SessionAgentTest, AnAuthenticatedSessionIsWatchedQuietlyAndItsEndStartsANewAttemptWithTheEditedHost) {
  testing::writeConnectionFile(testing::connectionFileJSON("first.example", 65333, "agent", 4));
  SessionAgentRuntime agent(options());
  agent.start();
  ASSERT_TRUE(waitUntil([&] { return transportCount() == 1 && transport(0)->sent().size() >= 2; }))
      << "authentication and registration frames";
  EXPECT_EQ(transport(0)->lastHost(), "first.example");
  EXPECT_EQ(transport(0)->lastPort(), 65333);

  // The host changes while the session is up: nothing happens to it.
  testing::writeConnectionFile(testing::connectionFileJSON("second.example", 65334, "agent", 4));
  advance(30s, agent, 1s);
  EXPECT_EQ(transportCount(), 1u);
  EXPECT_EQ(failures(), 0u) << "a long authenticated session logs nothing of the agent's own";
  EXPECT_EQ(transport(0)->disconnectCount(), 0);

  // The manager goes away: the attempt ends without a failure line, the session is closed.
  transport(0)->endOfStream();
  ASSERT_TRUE(waitUntil([&] { return transport(0)->disconnectCount() >= 1; }));
  advance(1s, agent);  // the session's state is looked at once a second
  EXPECT_EQ(failures(), 0u);
  EXPECT_EQ(transportCount(), 1u) << "the next attempt waits 5 s";
  ASSERT_TRUE(advanceUntil([&] { return transportCount() == 2; }, agent));
  EXPECT_EQ(failures(), 0u);
  ASSERT_TRUE(waitUntil([&] { return transport(1)->connectCount() == 1; }));
  EXPECT_EQ(transport(1)->lastHost(), "second.example");
  EXPECT_EQ(transport(1)->lastPort(), 65334);
}

TEST_F(SessionAgentTest, ARejectedAuthenticationIsOneFailureAndTheSessionIsClosedOnce) {
  prepare = [](FakeTransport& t) { t.queueReceive(testing::ManagerWire::frame(8, toBytes("0"))); };
  const int alone = closesBySessionAlone(false);
  testing::writeConnectionFile(testing::connectionFileJSON("127.0.0.1", 65333, "agent", 0));
  SessionAgentRuntime agent(options());
  agent.start();
  ASSERT_TRUE(waitUntil([&] { return failures() == 1; }));
  EXPECT_NE(agentFailureLines(log)[0].find("rejected"), std::string::npos) << agentFailureLines(log)[0];
  agent.stop();
  // The session closes its transport on the failure itself; the agent's disconnect then adds at
  // most one more close (none when the session's own teardown already covered it).
  EXPECT_GE(transport(0)->disconnectCount(), 1);
  EXPECT_LE(transport(0)->disconnectCount(), alone + 1);
  EXPECT_FALSE(transport(0)->isConnected());
}

TEST_F(SessionAgentTest, StoppingWhileConnectingCancelsTheConnectAndClosesTheSessionExactlyOnce) {
  prepare = [](FakeTransport& t) { t.setConnectHangs(true); };
  const int alone = closesBySessionAlone(true);
  testing::writeConnectionFile(testing::connectionFileJSON("127.0.0.1", 65333, "agent", 0));
  {
    SessionAgentRuntime agent(options());
    agent.start();
    ASSERT_TRUE(waitUntil([&] { return transport(0) && transport(0)->connectCount() == 1; }));
  }  // the destructor stops, without any clock movement
  EXPECT_GE(transport(0)->disconnectCount(), 1);
  EXPECT_LE(transport(0)->disconnectCount(), alone + 1);
  EXPECT_FALSE(transport(0)->isConnected());
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(transportCount(), 1u);
}

TEST_F(SessionAgentTest, StoppingWhileAuthenticatedLogsOneFailureAndDisconnects) {
  testing::writeConnectionFile(testing::connectionFileJSON("127.0.0.1", 65333, "agent", 0));
  SessionAgentRuntime agent(options());
  agent.start();
  ASSERT_TRUE(waitUntil([&] { return transportCount() == 1 && transport(0)->sent().size() >= 2; }));
  advance(3s, agent);
  agent.stop();
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(transport(0)->disconnectCount(), 1);
  agent.stop();  // idempotent
  EXPECT_EQ(transportCount(), 1u);
}

TEST_F(SessionAgentTest, StoppingDuringThePauseEndsItAtOnceAndAnUnstartedAgentStopsQuietly) {
  SessionAgentRuntime agent(options());
  agent.start();
  ASSERT_TRUE(waitUntil([&] { return failures() == 1; }));
  agent.stop();  // returns without the 5 s passing
  EXPECT_EQ(failures(), 1u);

  SessionAgentRuntime idle(options());
  idle.stop();
  idle.start();  // a stopped agent does not start
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(transportCount(), 0u);
}

}  // namespace
}  // namespace vantrel
