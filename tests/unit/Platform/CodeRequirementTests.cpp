#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "Platform/Relay/RelayIPC.hpp"
#include "Platform/Update/CodeRequirement.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

const std::string daemonText =
    "anchor apple generic and certificate leaf[subject.OU] = \"M7Q3XK9ZLD\" and identifier "
    "\"local.vantrel.VantrelMacDaemon\"";
const std::string clientText =
    "anchor apple generic and certificate leaf[subject.OU] = \"M7Q3XK9ZLD\" and (identifier "
    "\"local.vantrel.VantrelMac\" or identifier \"local.vantrel.VantrelMacSessionAgent\")";

TEST(CodeRequirement, CompilesTheProductsRequirements) {
  const auto daemon = CodeRequirement::compile(daemonText);
  ASSERT_TRUE(daemon);
  EXPECT_TRUE(daemon->requiresTrustedInstallation());
  EXPECT_EQ(daemon->teamID(), "M7Q3XK9ZLD");
  EXPECT_EQ(daemon->identifiers(), std::vector<std::string>{"local.vantrel.VantrelMacDaemon"});

  const auto client = CodeRequirement::compile(clientText);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->identifiers(),
            (std::vector<std::string>{"local.vantrel.VantrelMac", "local.vantrel.VantrelMacSessionAgent"}));
}

TEST(CodeRequirement, RefusesTextOutsideTheSubset) {
  const char* texts[] = {
      "",
      "   ",
      "anchor apple",
      "anchor apple generic and",
      "and anchor apple generic",
      "anchor apple generic or identifier \"a\"",
      "identifier",
      "identifier \"a",
      "identifier \"\"",
      "identifier \"a\\\"b\"",
      "identifier a",
      "identifier \"a\" and identifier \"b\"",
      "anchor apple generic and anchor apple generic",
      "certificate leaf[subject.CN] = \"T\"",
      "certificate leaf[subject.OU] \"T\"",
      "certificate leaf[subject.OU] = \"T\" and certificate leaf[subject.OU] = \"U\"",
      "(identifier \"a\" or anchor apple generic)",
      "(identifier \"a\" or identifier \"b\"",
      "identifier \"a\")",
      "info[CFBundleVersion] = \"1\"",
      "anchor trusted",
      "identifier \"a\"\nand anchor apple generic",
  };
  for (const auto* text : texts) EXPECT_FALSE(CodeRequirement::compile(text)) << text;
}

class CodeRequirementCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    program = home.root() / "VantrelMacDaemon";
    std::ofstream(program) << "#!/bin/sh\n";
    ::chmod(program.c_str(), 0755);
  }

  PeerCredentials peer() const {
    PeerCredentials p;
    p.pid = 1234;
    p.uid = ::geteuid();
    p.executable = program;
    return p;
  }

  testing::TemporaryHome home;
  std::filesystem::path program;
};

TEST_F(CodeRequirementCheck, NeedsTheTeamAndOneOfTheIdentifiers) {
  const auto client = *CodeRequirement::compile(clientText);
  auto identity = [](std::string team, std::string id) {
    return [team, id](const PeerCredentials&) { return std::optional<CodeIdentity>(CodeIdentity{team, id}); };
  };
  EXPECT_TRUE(client.isSatisfiedBy(peer(), identity("M7Q3XK9ZLD", "local.vantrel.VantrelMac")));
  EXPECT_TRUE(client.isSatisfiedBy(peer(), identity("M7Q3XK9ZLD", "local.vantrel.VantrelMacSessionAgent")));
  EXPECT_FALSE(client.isSatisfiedBy(peer(), identity("M7Q3XK9ZLD", "local.vantrel.VantrelMacDaemon")));
  EXPECT_FALSE(client.isSatisfiedBy(peer(), identity("OTHERTEAM1", "local.vantrel.VantrelMac")));
  EXPECT_FALSE(
      client.isSatisfiedBy(peer(), [](const PeerCredentials&) { return std::optional<CodeIdentity>(); }));
  EXPECT_FALSE(client.isSatisfiedBy(peer(), nullptr));
}

TEST_F(CodeRequirementCheck, TrustedInstallationMeansNoOneElseMayWriteTheProgram) {
  const auto daemon = *CodeRequirement::compile(daemonText);
  auto resolver = [](const PeerCredentials&) {
    return std::optional<CodeIdentity>(CodeIdentity{"M7Q3XK9ZLD", "local.vantrel.VantrelMacDaemon"});
  };
  EXPECT_TRUE(daemon.isSatisfiedBy(peer(), resolver));
  ::chmod(program.c_str(), 0775);
  EXPECT_FALSE(daemon.isSatisfiedBy(peer(), resolver));
  ::chmod(program.c_str(), 0757);
  EXPECT_FALSE(daemon.isSatisfiedBy(peer(), resolver));
  ::chmod(program.c_str(), 0555);
  EXPECT_TRUE(daemon.isSatisfiedBy(peer(), resolver));

  auto unknown = peer();
  unknown.executable.clear();
  EXPECT_FALSE(daemon.isSatisfiedBy(unknown, resolver));
  auto missing = peer();
  missing.executable = home.root() / "gone";
  EXPECT_FALSE(daemon.isSatisfiedBy(missing, resolver));
  auto folder = peer();
  folder.executable = home.root();
  EXPECT_FALSE(daemon.isSatisfiedBy(folder, resolver));
  // Without the anchor clause the installation is not looked at.
  const auto identityOnly = *CodeRequirement::compile("identifier \"local.vantrel.VantrelMacDaemon\"");
  EXPECT_TRUE(identityOnly.isSatisfiedBy(missing, resolver));
}

TEST(PeerCredentials, ReportsTheProcessAtTheOtherEnd) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const auto peer = readPeerCredentials(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->pid, ::getpid());
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(peer->executable, std::filesystem::canonical("/proc/self/exe"));
  EXPECT_FALSE(readPeerCredentials(-1));
}

}  // namespace
}  // namespace vantrel
