#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Platform/X11/ScreenSaverDisplaySleepAssertion.hpp"
#include "Platform/X11/X11DisplayCapture.hpp"
#include "Platform/X11/XDisplayProbe.hpp"
#include "Platform/X11/XTestInput.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

constexpr int width = 320;
constexpr int height = 200;

// What the workers saw; every count must come out whole.
struct Tally {
  std::atomic<int> pictures{0};
  std::atomic<int> refusedCaptures{0};
  std::atomic<int> posted{0};
  std::atomic<int> held{0};
  std::atomic<int> probed{0};
};

// One of the program's own uses of the display, each on a connection of its own that it opens,
// uses and closes: a picture taken, a pointer motion injected, the display held awake and let go,
// the layout read.
void useTheDisplay(int kind, int round, const std::string& display, Tally& tally) {
  switch (kind) {
    case 0:
      try {
        X11DisplayCapture capture(X11DisplayCapture::Options{display, true, true});
        const auto picture = capture.capture();
        if (picture.width == width && picture.height == height) ++tally.pictures;
      } catch (const X11CaptureError& error) {
        // A 30-bit screen is refused once the connection is set up; the connection then closes.
        if (error.kind() == X11CaptureError::Case::failed &&
            error.detail().find("pixel format") != std::string::npos)
          ++tally.refusedCaptures;
      }
      break;
    case 1: {
      XTestInput input;
      if (input.movePointer(round % width, round % height)) ++tally.posted;
      break;
    }
    case 2: {
      ScreenSaverDisplaySleepAssertion assertion(display);
      if (assertion.acquire()) ++tally.held;
      assertion.release();
      break;
    }
    default:
      if (readX11DisplayLayout(display).root == ScreenRect{0, 0, width, height}) ++tally.probed;
      break;
  }
}

constexpr int kinds = 4;

// Threads that each, round after round, take the next of the uses above, all at once: before the
// process kept its opens and closes apart, the extension libraries' shared lists were freed
// under one thread while another used them, and the process died within a few hundred rounds.
void runAtOnce(const std::string& display, int threads, int rounds, Tally& tally) {
  std::atomic<int> ready{0};
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ++ready;
      while (ready.load() < threads) std::this_thread::yield();
      for (int round = 0; round < rounds; ++round) useTheDisplay((t + round) % kinds, round, display, tally);
    });
  }
  for (auto& worker : workers) worker.join();
}

struct DepthCase {
  int depth;
  bool captures;  // whether the capture accepts the screen's pixel format
};

class ConnectionsFromManyThreads : public ::testing::TestWithParam<DepthCase> {};

TEST_P(ConnectionsFromManyThreads, OpenUseAndCloseAtOnceWithoutHarm) {
  const auto [depth, captures] = GetParam();
  testing::PrivateXServer server(width, height, {}, depth);
  // The input injection opens the DISPLAY variable's display.
  testing::DisplayOverride useServer(server.displayName());
  constexpr int threads = 4;
  constexpr int rounds = 400;
  Tally tally;
  runAtOnce(server.displayName(), threads, rounds, tally);
  // Each kind of use comes up rounds / kinds times on every thread.
  constexpr int perKind = threads * rounds / kinds;
  EXPECT_EQ(tally.pictures.load(), captures ? perKind : 0);
  EXPECT_EQ(tally.refusedCaptures.load(), captures ? 0 : perKind);
  EXPECT_EQ(tally.posted.load(), perKind);
  EXPECT_EQ(tally.held.load(), perKind);
  EXPECT_EQ(tally.probed.load(), perKind);
}

INSTANTIATE_TEST_SUITE_P(Depths, ConnectionsFromManyThreads,
                         ::testing::Values(DepthCase{24, true}, DepthCase{30, false}),
                         [](const auto& info) { return std::to_string(info.param.depth) + "Bit"; });

}  // namespace
}  // namespace vantrel
