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

namespace fs = std::filesystem;
using testing::PrivateWaylandSession;
using testing::ProgramProcess;
using testing::WaylandClientProcess;
using namespace testing::programs;

const std::string sceneScript = std::string(VANTREL_SOURCE_DIR) + "/tests/support/wayland-client/scene.py";

TEST(WaylandChangingScreen, TheManagersLastPictureIsTheScreenAfterABurstOfChanges) {
  testing::TemporaryHome home;
  fs::create_directories(home.root() / "tmp");
  home.setEnv("XDG_STATE_HOME", (home.root() / "state").string());
  PrivateWaylandSession session(PrivateWaylandSession::Options{false, 1920, 1080});
  home.setEnv("TMPDIR", (home.root() / "tmp").string());
  WaylandClientProcess scene({"/usr/bin/python3", sceneScript, "1920", "1080"},
                             WaylandClientProcess::gtkWaylandEnvironment());
  ASSERT_TRUE(scene.waitForPrefix("ready"));
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
    ASSERT_TRUE(scene.waitForPrefix(fmt::format("drawn {}", n))) << "the scene did not draw change " << n;
  }
  ASSERT_EQ(testing::runProgram({VANTREL_WAYLAND_SHOT, "--pgm", shot.string()}), 0);
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  testing::expectCleanQuit(*agent);
}

}  // namespace
}  // namespace vantrel
