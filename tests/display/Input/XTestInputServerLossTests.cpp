#include <gtest/gtest.h>

#include <string>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Platform/XTestInput.hpp"
#include "Support/SystemLog.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

TEST(XTestInputServerLoss, AServerThatGoesAwayEndsInRefusalNotInProcessExit) {
  testing::PrivateXServer server;
  testing::DisplayOverride useServer(server.displayName());

  MemoryLogSink sink;
  {
    auto input = std::make_shared<XTestInput>();
    CGEventRemoteInputInjector injector(input);
    LegacyInputPacket move;
    move.command = 50;
    move.mode = 1;
    move.x = 10;
    move.y = 20;
    injector.inject(move);
    EXPECT_TRUE(input->movePointer(30, 40));

    server.stop();
    // The broken connection is noticed by the next post, which fails instead of ending the
    // process; with no server to reconnect to, the injector then reports the missing permission.
    EXPECT_FALSE(input->movePointer(50, 60));
    EXPECT_TRUE(sink.contains("X server connection lost: " + server.displayName()));
    EXPECT_FALSE(input->isAvailable());
    try {
      injector.inject(move);
      ADD_FAILURE() << "no error";
    } catch (const RemoteInputInjectionError& error) {
      EXPECT_EQ(error, RemoteInputInjectionError::accessibilityDenied());
    }
  }
}

}  // namespace
}  // namespace vantrel
