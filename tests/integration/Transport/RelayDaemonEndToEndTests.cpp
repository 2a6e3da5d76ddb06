#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FakeRelayDaemon.hpp"
#include "LoopbackPeers.hpp"
#include "Support/Paths.hpp"
#include "Transport/DaemonRelayXPC.hpp"

extern char** environ;

namespace vantrel {
namespace {

using testing::PlainPeer;
using testing::runAwaitable;
using testing::runUntil;
using testing::TemporaryHome;
using testing::transportErrorOf;

#ifdef VANTREL_RELAY_DAEMON

// The relay daemon stand-in as a child process. Its standard error comes back through a pipe so
// the test knows when it listens.
class DaemonProcess {
 public:
  explicit DaemonProcess(std::vector<std::string> arguments) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    readEnd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    arguments.insert(arguments.begin(), VANTREL_RELAY_DAEMON);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, VANTREL_RELAY_DAEMON, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~DaemonProcess() {
    ::kill(pid_, SIGTERM);
    // Read what the daemon still writes while it ends, so it never blocks on a full pipe.
    char buffer[4096];
    while (::read(readEnd_, buffer, sizeof buffer) > 0) {
    }
    ::close(readEnd_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  // Reads the daemon's log until a line contains `text` (false when the daemon ends first).
  bool waitForLog(const std::string& text) {
    std::string seen;
    char buffer[512];
    while (seen.find(text) == std::string::npos) {
      const auto n = ::read(readEnd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  pid_t pid_ = 0;
  int readEnd_ = -1;
};

std::filesystem::path ownExecutable() { return std::filesystem::canonical("/proc/self/exe"); }

class RelayDaemonEndToEnd : public ::testing::Test {
 protected:
  std::shared_ptr<DaemonRelayTransport> makeTransport() {
    DaemonRelayTransport::Options options;
    // The stand-in runs from the build tree, not beside an installed agent.
    options.identityResolver = [](const PeerCredentials& peer) -> std::optional<CodeIdentity> {
      std::error_code ec;
      if (std::filesystem::weakly_canonical(peer.executable, ec) ==
          std::filesystem::canonical(VANTREL_RELAY_DAEMON)) {
        return CodeIdentity{XPCPeerPolicy::teamID, XPCPeerPolicy::daemonID};
      }
      return std::nullopt;
    };
    return DaemonRelayTransport::create(io.get_executor(), std::move(options));
  }

  TemporaryHome home;
  asio::io_context io;
};

TEST_F(RelayDaemonEndToEnd, RelaysBytesBothWaysToALoopbackManager) {
  DaemonProcess daemon(
      {"--client-identity", ownExecutable().string() + "=local.vantrel.VantrelMacSessionAgent"});
  ASSERT_TRUE(daemon.waitForLog("relay daemon listening at"));
  EXPECT_TRUE(std::filesystem::exists(paths::relaySocketPath(VantrelMacDaemonRelay::machServiceName)));

  PlainPeer manager(io);
  manager.acceptOne();
  auto transport = makeTransport();
  runAwaitable(io, io.get_executor(), transport->connect("127.0.0.1", manager.port()));
  ASSERT_TRUE(runUntil(io, [&] { return manager.hasAccepted(); }));

  runAwaitable(io, io.get_executor(), transport->send(toBytes("frame one")));
  runAwaitable(io, io.get_executor(), transport->send(toBytes("frame two")));
  EXPECT_EQ(toString(manager.read(18)), "frame oneframe two");

  Bytes sent(200000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 31 + 7);
  manager.write(sent);
  Bytes got;
  while (got.size() < sent.size()) {
    auto piece = runAwaitable(io, io.get_executor(), transport->receive());
    ASSERT_FALSE(piece.empty());
    ASSERT_LE(piece.size(), 65536u);
    append(got, piece);
  }
  EXPECT_EQ(got, sent);

  manager.socket().close();
  EXPECT_EQ(transportErrorOf(io, transport->receive()), NetworkTransportError::disconnected());
  runAwaitable(io, io.get_executor(), transport->disconnect());

  // The daemon's own errors come back as the failure text.
  auto second = makeTransport();
  const auto refused = transportErrorOf(io, second->connect("127.0.0.1", 0));
  EXPECT_EQ(refused, NetworkTransportError::connectionFailed("invalid_port"));
}

TEST_F(RelayDaemonEndToEnd, DaemonRefusesAClientThatFailsTheClientRequirement) {
  DaemonProcess daemon({});  // this test program is none of the agent's identities
  ASSERT_TRUE(daemon.waitForLog("relay daemon listening at"));
  auto transport = makeTransport();
  EXPECT_EQ(transportErrorOf(io, transport->connect("127.0.0.1", 9)),
            NetworkTransportError::connectionFailed("daemon_unavailable_or_signature_rejected"));
  EXPECT_TRUE(daemon.waitForLog("relay client rejected"));
}

#endif

}  // namespace
}  // namespace vantrel
