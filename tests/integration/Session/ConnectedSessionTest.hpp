#pragma once

// A session connected over loopback TCP to the manager simulator, for tests that drive one
// connection through a series of manager requests.

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "Support/Clock.hpp"
#include "Transport/DirectTCPTransport.hpp"
#include "support/AsyncTest.hpp"
#include "support/ManagerSimulator.hpp"
#include "support/SessionHarness.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel::testing {

class ConnectedSessionTest : public ::testing::Test {
 public:
  static constexpr std::uint16_t sessionComNum = 7;

 protected:
  // With `manualClock`, time moves only through `clock->advance` from before the session exists.
  explicit ConnectedSessionTest(bool manualClock = false)
      : clock(manualClock ? std::make_unique<ManualClock>() : nullptr),
        manager(io.get_executor()),
        session(io, DirectTCPTransport::create(io.get_executor(), std::nullopt, 10.0)) {}

  ~ConnectedSessionTest() override {
    try {
      session.run(session.client->disconnect());
    } catch (...) {
    }
    manager.stop();
    drain(io);
  }

  // Connects and authenticates, then notes how many frames the agent has sent so far (the
  // authentication and registration frames) so tests look only at what follows.
  void connect() {
    session.run(
        session.client->connectAndAuthenticate(SessionHarness::config(manager.port(), sessionComNum)));
    ASSERT_EQ(session.state(), DirectAuthState::authenticated);
    ASSERT_TRUE(session.waitFor([&] { return manager.framesOf(0).size() >= 2; }));
    baseline = manager.framesOf(0).size();
  }

  // Sends one basic message carrying `envelope`, under a comNum the agent must not echo.
  void request(const Bytes& envelope) {
    manager.send(ManagerWire::message(1, envelope, nextTimestamp++, 99));
  }

  std::unique_ptr<ManualClock> clock;
  asio::io_context io;
  TemporaryHome home;
  ManagerSimulator manager;
  SessionHarness session;
  std::size_t baseline = 0;
  std::uint16_t nextTimestamp = 100;
};

}  // namespace vantrel::testing
