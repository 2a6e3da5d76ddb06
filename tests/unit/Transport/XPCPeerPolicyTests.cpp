#include <gtest/gtest.h>

#include <unistd.h>

#include "Transport/DaemonRelayXPC.hpp"
#include "Transport/XPCPeerPolicy.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(XPCPeerPolicy, ValidatesSyntax) {
  EXPECT_TRUE(XPCPeerPolicy::validateSyntax(XPCPeerPolicy::daemonRequirement()));
  EXPECT_TRUE(XPCPeerPolicy::validateSyntax(XPCPeerPolicy::clientRequirement()));
  EXPECT_FALSE(XPCPeerPolicy::validateSyntax(""));
  EXPECT_FALSE(XPCPeerPolicy::validateSyntax("anchor apple generic and certificate leaf[subject.OU] = "));
}

TEST(XPCPeerPolicy, InstalledProgramsAreNamedAfterTheirFile) {
  PeerCredentials self;
  self.pid = ::getpid();
  self.uid = ::geteuid();
  self.executable = std::filesystem::canonical("/proc/self/exe");
  const auto identity = XPCPeerPolicy::installedProgramIdentity(self);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->teamID, "M7Q3XK9ZLD");
  EXPECT_EQ(identity->identifier, "local.vantrel." + self.executable.filename().string());

  PeerCredentials elsewhere = self;
  elsewhere.executable = "/bin/sh";
  EXPECT_FALSE(XPCPeerPolicy::installedProgramIdentity(elsewhere));
  PeerCredentials unknown = self;
  unknown.executable.clear();
  EXPECT_FALSE(XPCPeerPolicy::installedProgramIdentity(unknown));
}

class XPCReplyGateTest : public ::testing::Test {
 protected:
  asio::io_context io;
};

TEST_F(XPCReplyGateTest, TheFirstOutcomeWinsAndIsHandedOutOnce) {
  auto gate = std::make_shared<XPCReplyGate<int>>(io.get_executor(), VantrelClock::now());
  EXPECT_TRUE(gate->finish(7));
  EXPECT_FALSE(gate->finish(8));
  EXPECT_FALSE(gate->fail(std::make_exception_ptr(NetworkTransportError::timedOut())));
  EXPECT_TRUE(testing::runAwaitable(io, gate->wait()));
  auto result = gate->take();
  ASSERT_TRUE(result);
  EXPECT_EQ(std::get<int>(*result), 7);
  EXPECT_FALSE(gate->take());  // handed out once
}

TEST_F(XPCReplyGateTest, AWaiterThatIsCancelledLeavesTheOutcomeForLater) {
  auto gate = std::make_shared<XPCReplyGate<int>>(io.get_executor(), VantrelClock::now());
  asio::cancellation_signal signal;
  std::optional<bool> waited;
  asio::co_spawn(io.get_executor(), gate->wait(),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, bool value) {
                   EXPECT_FALSE(e);
                   waited = value;
                 }));
  testing::drain(io);
  EXPECT_FALSE(waited);
  signal.emit(asio::cancellation_type::terminal);
  testing::drain(io);
  ASSERT_TRUE(waited);
  EXPECT_FALSE(*waited);
  gate->finish(3);
  EXPECT_TRUE(testing::runAwaitable(io, gate->wait()));
  EXPECT_EQ(std::get<int>(*gate->take()), 3);
}

}  // namespace
}  // namespace vantrel
