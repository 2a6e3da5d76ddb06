// The status model with real parts: real sessions over loopback TCP to two manager simulators,
// the login-server stand-in over HTTPS, the encrypted credential store in a private home. Only
// the desktop's collaborators (permissions, displays, clipboard, monitors) are stand-ins. Time is
// the manual clock: the reconnect back-off passes without waiting.

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/write.hpp>

#include <fstream>

#include "Account/URLSessionAccountLoginTransport.hpp"
#include "LoginServerStandIn.hpp"
#include "Model/Settings/AccountCredentialStore.hpp"
#include "Model/Status/StatusWindowViewModel.hpp"
#include "support/AsyncTest.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/TestEnvironment.hpp"

// g++ 12 pairs a coroutine frame's own operator delete with the global operator new after
// inlining and warns (-Wmismatched-new-delete); Asio allocates and frees the frame itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace vantrel::testing {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// A fixed loopback port in front of a manager simulator: "down" stops listening and cuts every
// piped connection, as a killed manager does; "up" listens again on the same port.
class ManagerPortGate {
 public:
  ManagerPortGate(Executor executor, std::uint16_t target) : executor_(executor), target_(target) {
    listen(0);
  }
  ~ManagerPortGate() { down(); }
  std::uint16_t port() const { return port_; }

  void down() {
    std::error_code ignored;
    if (acceptor_) acceptor_->close(ignored);
    acceptor_.reset();
    for (auto& socket : sockets_) socket->close(ignored);
    sockets_.clear();
  }
  void up() { listen(port_); }

 private:
  void listen(std::uint16_t port) {
    acceptor_ = std::make_shared<tcp::acceptor>(executor_);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor_->open(endpoint.protocol());
    acceptor_->set_option(tcp::acceptor::reuse_address(true));
    acceptor_->bind(endpoint);
    acceptor_->listen();
    port_ = acceptor_->local_endpoint().port();
    spawnTask(executor_, acceptLoop(this, acceptor_), "gate accept");
  }

  static Awaitable<void> acceptLoop(ManagerPortGate* self, std::shared_ptr<tcp::acceptor> acceptor) {
    while (acceptor->is_open()) {
      auto inbound = std::make_shared<tcp::socket>(self->executor_);
      std::error_code ec;
      co_await acceptor->async_accept(*inbound, asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      auto outbound = std::make_shared<tcp::socket>(self->executor_);
      const tcp::endpoint target(asio::ip::make_address("127.0.0.1"), self->target_);
      co_await outbound->async_connect(target, asio::redirect_error(asio::use_awaitable, ec));
      if (ec) continue;
      self->sockets_.push_back(inbound);
      self->sockets_.push_back(outbound);
      spawnTask(self->executor_, pipe(inbound, outbound), "gate pipe");
      spawnTask(self->executor_, pipe(outbound, inbound), "gate pipe");
    }
  }

  static Awaitable<void> pipe(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
    std::array<std::uint8_t, 16384> buffer{};
    while (true) {
      std::error_code ec;
      const auto n =
          co_await from->async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
      co_await asio::async_write(*to, asio::buffer(buffer.data(), n),
                                 asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
    }
    std::error_code ignored;
    from->close(ignored);
    to->close(ignored);
  }

  Executor executor_;
  std::uint16_t target_;
  std::uint16_t port_ = 0;
  std::shared_ptr<tcp::acceptor> acceptor_;
  std::vector<std::shared_ptr<tcp::socket>> sockets_;
};

class GrantedPermissions final : public PermissionProviding {
 public:
  PermissionSnapshot snapshot() override { return {true, true}; }
  bool requestScreenRecordingAccess() override { return true; }
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
};

class NoDisplays final : public ScreenCaptureProviding {
 public:
  Awaitable<std::vector<DisplayInfo>> enumerateDisplays() override { co_return std::vector<DisplayInfo>{}; }
};

class RecordingBridge final : public ClipboardBridging {
 public:
  void start() override {}
  void stop() override {}
  void setAuthClients(std::vector<std::shared_ptr<LocalClipboardSending>> list) override {
    clients = list.size();
  }
  void applyRemote(const LegacyClipboardValue&) override {}
  std::size_t clients = 0;
};

class QuietMonitor final : public ConnectionRecoveryMonitoring {
 public:
  void start(Callback) override {}
  void stop() override {}
};

class HeldDisplay final : public DisplaySleepPreventing {
 public:
  bool start() override { return true; }
  void stop() override {}
};

class LoopbackHost final : public HostInformation {
 public:
  std::optional<std::string> localizedName() const override { return "loopback"; }
  std::vector<std::string> addresses() const override { return {"127.0.0.1", "192.0.2.10"}; }
};

class StatusModelLoopbackTest : public ::testing::Test {
 protected:
  TemporaryHome home;
  ManualClock clock;
  asio::io_context io;
  tools::TestCertificateAuthority authority;

  bool runUntil(const std::function<bool()>& done) { return testing::runUntil(io, done); }
  void onMain(const std::function<void()>& call) { runOnLoop(io, call); }
  // Moves the manual clock; the loop notices at its next wake-up.
  void advance(std::chrono::milliseconds by) {
    clock.advance(by);
    io.run_for(5ms);
    if (io.stopped()) io.restart();
  }
  std::size_t logged(const std::string& text, const StatusWindowViewModel& model) const {
    std::size_t n = 0;
    for (const auto& entry : model.state().diagnosticLog) n += entry.text == text ? 1 : 0;
    return n;
  }
};

TEST_F(StatusModelLoopbackTest, SignInReconnectAfterManagerLossAndDisconnect) {
  ManagerSimulator primaryManager(io.get_executor());
  ManagerSimulator secondaryManager(io.get_executor());
  ManagerPortGate gate(io.get_executor(), primaryManager.port());

  tools::LoginServerStandIn::Account account;
  account.accountID = "alice";
  account.password = "pw";
  account.assignedSlot = 5;
  account.routes = nlohmann::json::array({
      {{"managerIndex", 1}, {"insideHost", "127.0.0.1"}, {"publicHost", ""}, {"port", gate.port()}},
      {{"managerIndex", 2},
       {"insideHost", "127.0.0.1"},
       {"publicHost", ""},
       {"port", secondaryManager.port()}},
  });
  tools::LoginServerStandIn server({account}, authority);
  server.start();
  const auto caFile = home.path() / "ca.pem";
  std::ofstream(caFile) << authority.rootPEM();
  URLSessionAccountLoginTransport::Options options;
  options.caFile = caFile;

  StatusEnvironment environment;
  environment.mainExecutor = io.get_executor();
  environment.clients = std::make_shared<DirectAuthClientFactory>(io.get_executor());
  environment.loginService = std::make_shared<AccountLoginServiceAdapter>(
      AccountLoginService(server.baseURL(), std::make_shared<URLSessionAccountLoginTransport>(options)));
  environment.credentialStore =
      std::make_shared<AccountCredentialStore>(std::nullopt, "local.vantrel.VantrelMac");
  environment.permissions = std::make_shared<GrantedPermissions>();
  environment.captureService = std::make_shared<NoDisplays>();
  auto bridge = std::make_shared<RecordingBridge>();
  environment.clipboardBridge = bridge;
  environment.makeRecoveryMonitor = [] { return std::make_shared<QuietMonitor>(); };
  environment.displaySleepPreventer = std::make_shared<HeldDisplay>();
  environment.host = std::make_shared<LoopbackHost>();
  environment.defaults = std::make_shared<InMemoryUserDefaults>();
  environment.arguments = {"VantrelMac"};
  auto model = StatusWindowViewModel::create(std::move(environment));
  auto secondaryState = [&]() -> DirectAuthState {
    auto session = model->secondaries().session(2);
    return session ? runAwaitable(io, session->client()->currentState()) : DirectAuthState::idle;
  };

  // Sign in: the primary through the gate, the secondary directly.
  onMain([&] { model->start(); });
  onMain([&] { model->setText(StatusFormField::accountID, "alice"); });
  onMain([&] { model->setText(StatusFormField::accountPassword, "pw"); });
  onMain([&] { model->loginAndConnect(); });
  ASSERT_TRUE(runUntil([&] {
    return model->state().connectionState == DirectAuthState::authenticated &&
           model->secondaries().session(2) && secondaryState() == DirectAuthState::authenticated;
  }));
  EXPECT_TRUE(model->state().isAccountAuthenticated);
  EXPECT_EQ(server.lastRequest()->at("insideAddresses"), nlohmann::json::array({"192.0.2.10"}));
  EXPECT_EQ(primaryManager.acceptedCount(), 1);
  EXPECT_EQ(secondaryManager.acceptedCount(), 1);
  EXPECT_EQ(bridge->clients, 2u);
  advance(500ms);
  ASSERT_TRUE(runUntil([&] { return model->state().managerConnectionsLabel == "2/2 managers"; }));

  // The primary's manager goes away: the session fails and a reconnect is armed for 2 s.
  gate.down();
  ASSERT_TRUE(runUntil([&] { return model->primaryConnection().isWaiting(); }));
  EXPECT_EQ(logged("Reconnect scheduled in 2s (attempt=1)", *model), 1u);
  testing::drain(io);  // the wait begins after the code that scheduled it: armed before the clock moves
  advance(500ms);
  ASSERT_TRUE(runUntil([&] { return model->state().managerConnectionsLabel == "1/2 managers"; }));
  advance(1500ms);
  // The attempt finds nobody listening; the next waits 5 s.
  ASSERT_TRUE(runUntil([&] { return logged("Reconnect scheduled in 5s (attempt=2)", *model) == 1; }));
  testing::drain(io);
  // The cycle published the failure; the closed session's own events then report it closed.
  ASSERT_TRUE(model->state().connectionError);
  EXPECT_NE(model->state().connectionError->find("Connection refused"), std::string::npos);
  EXPECT_EQ(primaryManager.acceptedCount(), 1);

  // The manager returns; the next reconnect authenticates.
  gate.up();
  advance(4900ms);
  EXPECT_NE(model->state().connectionState, DirectAuthState::authenticated);
  advance(100ms);
  ASSERT_TRUE(runUntil([&] { return model->state().connectionState == DirectAuthState::authenticated; }));
  EXPECT_EQ(primaryManager.acceptedCount(), 2);
  EXPECT_EQ(model->primaryConnection().failures(), 0);
  advance(500ms);
  ASSERT_TRUE(runUntil([&] { return model->state().managerConnectionsLabel == "2/2 managers"; }));

  // Disconnect: both sessions closed, nothing armed, nothing left running but the polls.
  onMain([&] { model->disconnect(); });
  ASSERT_TRUE(runUntil([&] {
    return model->state().connectionState == DirectAuthState::disconnected &&
           !model->state().isConnectionBusy && !primaryManager.clientOpen() && !secondaryManager.clientOpen();
  }));
  EXPECT_FALSE(model->primaryConnection().isWaiting());
  EXPECT_FALSE((model->primaryConnection().isRunning() && !model->primaryConnection().isWaiting()));
  EXPECT_FALSE(model->signIn().isRouteRefreshRunning());
  EXPECT_TRUE(model->secondaries().indices().empty());
  advance(40s);
  EXPECT_EQ(primaryManager.acceptedCount(), 2);
  EXPECT_EQ(secondaryManager.acceptedCount(), 1);

  onMain([&] { model->stop(); });
  ASSERT_TRUE(runUntil([&] { return !model->hasRunningSlotTask(); }));
  model.reset();
  server.stop();
  gate.down();
  primaryManager.stop();
  secondaryManager.stop();
  testing::drain(io);
}

}  // namespace
}  // namespace vantrel::testing
