#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Platform/X11/XTestInput.hpp"
#include "Support/SystemLog.hpp"
#include "support/CallerThread.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

// Where the pointer of `display` is, seen on a connection of the test's own.
std::optional<std::pair<int, int>> pointerOn(const std::string& display) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return std::nullopt;
  Window root = 0, child = 0;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  const bool found = XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
  XCloseDisplay(d);
  if (!found) return std::nullopt;
  return std::pair{x, y};
}

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

// The server is killed and started again between events that come from two threads, and the
// thread that notices the loss is not the one that sends the next event. The injector must
// answer every time, on the new server.
TEST(XTestInputServerLoss, KeepsAnsweringFromTwoThreadsAcrossManyServerRestarts) {
  testing::PrivateXServer server;
  testing::DisplayOverride useServer(server.displayName());

  // Shared with the caller threads: a thread stuck in a call keeps it alive.
  auto input = std::make_shared<XTestInput>();
  testing::CallerThread first;
  testing::CallerThread second;
  constexpr int cycles = 50;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    // The threads swap roles each cycle.
    testing::CallerThread& seesTheLoss = cycle % 2 == 0 ? first : second;
    testing::CallerThread& other = cycle % 2 == 0 ? second : first;
    const int x = 10 + cycle;
    const int y = 20 + cycle;

    ASSERT_EQ(seesTheLoss.run([input, x, y] { return input->movePointer(x, y); }), std::optional(true));
    server.stop();
    ASSERT_EQ(seesTheLoss.run([input] { return input->movePointer(1, 1); }), std::optional(false));
    // Asked from the other thread while the server is away.
    ASSERT_EQ(other.run([input] { return input->isAvailable(); }), std::optional(false));
    server.restart();
    ASSERT_EQ(other.run([input, x, y] { return input->movePointer(x + 1, y + 1); }), std::optional(true))
        << "the injector did not answer after the server came back";
    EXPECT_EQ(pointerOn(server.displayName()), std::optional(std::pair{x + 1, y + 1}));
  }
}

}  // namespace
}  // namespace vantrel
