#include <gtest/gtest.h>

#include <cstdlib>

#include "Model/Agent/SessionAgentRuntime.hpp"
#include "Transport/DaemonRelayXPC.hpp"
#include "support/ChildProcess.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/ManagerWire.hpp"
#include "support/SessionAgentProbe.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

#ifdef VANTREL_RELAY_DAEMON

using namespace std::chrono_literals;
using testing::agentFailureLines;
using testing::waitUntil;
namespace E = testing::ManagerEnvelopes;

constexpr std::uint16_t agentComNum = 3;

// The agent's real road: its relay transport to the relay daemon stand-in (a child process on
// the relay socket under the test's system root), the daemon's TCP connection to a manager
// simulator on loopback, the session serving from the X display of DISPLAY.
class SessionAgentOverRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    const auto self = std::filesystem::canonical("/proc/self/exe").string();
    daemon = std::make_unique<testing::ChildProcess>(std::vector<std::string>{
        VANTREL_RELAY_DAEMON, "--client-identity", self + "=local.vantrel.VantrelMacSessionAgent"});
    ASSERT_TRUE(daemon->waitForError("relay daemon listening at"));
  }

  SessionAgentRuntime::Options options() {
    SessionAgentRuntime::Options o;
    o.threads = 1;
    o.makeTransport = [this](Executor executor) {
      DaemonRelayTransport::Options relay;
      // The stand-in runs from the build tree, not from the product's installation folder.
      relay.identityResolver = [](const PeerCredentials& peer) -> std::optional<CodeIdentity> {
        std::error_code ec;
        if (std::filesystem::weakly_canonical(peer.executable, ec) ==
            std::filesystem::canonical(VANTREL_RELAY_DAEMON)) {
          return CodeIdentity{XPCPeerPolicy::teamID, XPCPeerPolicy::daemonID};
        }
        return std::nullopt;
      };
      ++transportsMade;
      return DaemonRelayTransport::create(std::move(executor), std::move(relay));
    };
    return o;
  }

  static bool registered(const testing::ManagerSimulator& manager, int connection) {
    return !manager.framesWithCommand(9, connection).empty();
  }

  testing::TemporaryHome home;
  testing::ThreadedContext managers;
  testing::ManagerSimulator primary{managers.executor()};
  std::unique_ptr<testing::ChildProcess> daemon;
  MemoryLogSink log;
  std::atomic<int> transportsMade{0};
};

TEST_F(SessionAgentOverRelay, ConnectsAuthenticatesAndStreamsTheDisplayOnAScreenRequest) {
  testing::writeConnectionFile(
      testing::connectionFileJSON("127.0.0.1", primary.port(), "agent", agentComNum));
  SessionAgentRuntime agent(options());
  agent.start();
  ASSERT_TRUE(waitUntil([&] { return registered(primary, 0); }));
  const auto auth = primary.framesWithCommand(8, 0);
  ASSERT_EQ(auth.size(), 1u);
  EXPECT_EQ(toString(auth[0].payload), "R_agent");
  EXPECT_EQ(auth[0].comNum, agentComNum);

  primary.send(testing::ManagerWire::message(1, E::screenInfo(E::getScreen, 99, 1280, 720), 1, 99));
  // The screen-information reply, then the stream: command-4 frames whose first access unit
  // starts with the parameter sets of a keyframe.
  ASSERT_TRUE(waitUntil([&] {
    for (const auto& frame : primary.framesWithCommand(1, 0)) {
      if (E::kindAt228(frame.payload) == 25u) return true;
    }
    return false;
  }));
  ASSERT_TRUE(waitUntil([&] { return !primary.framesWithCommand(4, 0).empty(); }));
  const auto first = primary.framesWithCommand(4, 0).front();
  ASSERT_GE(first.payload.size(), 5u);
  EXPECT_EQ(Bytes(first.payload.begin(), first.payload.begin() + 4), (Bytes{0, 0, 0, 1}));
  EXPECT_EQ(first.payload[4] & 0x1F, 7) << "a sequence parameter set first";
  EXPECT_EQ(first.sequenceNumber, 0);

  primary.send(testing::ManagerWire::message(1, E::nullDataClass(E::getScreenEnd, 99), 2, 99));
  agent.stop();
  EXPECT_EQ(agentFailureLines(log).size(), 1u) << "only the stop, while authenticated";
  EXPECT_EQ(transportsMade.load(), 1);
}

#endif

}  // namespace
}  // namespace vantrel
