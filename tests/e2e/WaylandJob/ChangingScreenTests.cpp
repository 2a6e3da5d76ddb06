// The manager's picture follows a screen that keeps changing after the first picture: a burst of
// changes on a Wayland session, then the manager's last picture must match the compositor's own
// picture of the screen (a blind or frozen stream keeps showing the first one).

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "support/ChildProcess.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel {
namespace {

using testing::ProgramProcess;
using testing::SceneClient;
using namespace testing::programs;

TEST(WaylandChangingScreen, TheManagersLastPictureIsTheScreenAfterABurstOfChanges) {
  testing::TemporaryHome home;
  const auto session = testing::startProgramSession(home, {false, 1920, 1080});
  SceneClient scene(1920, 1080);
  const auto shot = home.root() / "screen.pgm";
  const nlohmann::json steps = {{{"step", "screen"}, {"width", 1920}, {"height", 1080}, {"seconds", 0.5}},
                                {{"step", "matchScreen"}, {"path", shot.string()}, {"minPSNR", 30.0}},
                                {{"step", "screenEnd"}}};
  auto manager = testing::startManagerStandIn(standInPath, home.root(), steps.dump(), "manager", 0, {});
  std::unique_ptr<ProgramProcess> relay;
  auto agent = testing::startSessionAgentThroughRelay(home, programPath, relayPath,
                                                      testing::standInPort(home.root(), "manager"), relay);
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << agent->output();
  // Twenty changes, each drawn in a frame of its own, over a large part of the screen; the last
  // one stays.
  for (int n = 1; n <= 20; ++n) {
    scene.send(fmt::format("fill 200 150 900 600 {} {} {}", (n * 53) % 256, 255 - n * 11, (n * 29) % 256));
    ASSERT_TRUE(scene.waitUntilDrawn(n)) << "the scene did not draw change " << n;
  }
  ASSERT_EQ(testing::runProgram({VANTREL_WAYLAND_SHOT, "--pgm", shot.string()}), 0);
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  testing::expectCleanQuit(*agent);
}

}  // namespace
}  // namespace vantrel
