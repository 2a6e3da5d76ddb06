// The program on a GNOME Wayland session after a whole-screen change to a textured picture that then
// stands still: the manager's picture must come up to the compositor's own picture of the screen
// (40 dB luma) through the refreshes, not stay as the rate control coded the change.

#include <gtest/gtest.h>
#include <signal.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"
#include "support/LumaPicture.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"
#include "support/TexturedScreen.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::PrivateWaylandSession;
using testing::ProgramProcess;
using namespace testing::programs;

const std::string shotPath = VANTREL_WAYLAND_SHOT;

// The compositor's own picture of the screen, once two grabs in a row agree (the compositor has
// shown the client's last drawing); false when no two agree within a few grabs.
bool takeSettledShot(const fs::path& pgm) {
  std::optional<testing::LumaPlane> previous;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const auto grab = pgm.string() + ".grab";
    if (testing::runProgram({shotPath, "--pgm", grab}) != 0) return false;
    auto plane = testing::readLumaPGM(grab);
    if (!plane) return false;
    if (previous && previous->luma == plane->luma) {
      fs::rename(grab, pgm);
      return true;
    }
    previous = std::move(plane);
  }
  return false;
}

TEST(StillScreenSharpWayland, AfterAWholeScreenTexturedChangeTheStillPictureReachesTheCompositorsPicture) {
  testing::TemporaryHome home;
  const auto tmp = home.root() / "tmp";
  fs::create_directories(tmp);
  home.setEnv("XDG_STATE_HOME", (home.root() / "state").string());
  PrivateWaylandSession session(PrivateWaylandSession::Options{true, 1920, 1080});
  home.setEnv("TMPDIR", tmp.string());
  // The textured window is an X client of the session's Xwayland, composited like any window.
  const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(display) << "the session's Xwayland";
  testing::TexturedScreen scene(display.get());

  const auto shot = home.root() / "screen.pgm";
  const auto still = home.root() / "still";
  const auto streamLog = home.root() / "stream.log";
  // The refreshes come 1, 2, 4 and 8 s apart; 30 s is a hang guard, far beyond the schedule's steps.
  const nlohmann::json steps = {
      {{"step", "screen"}, {"width", 1920}, {"height", 1080}, {"seconds", 0}},
      {{"step", "waitForFile"}, {"path", still.string()}, {"timeout", 60}},
      {{"step", "matchScreen"}, {"path", shot.string()}, {"minPSNR", 40}, {"timeout", 30}},
      {{"step", "screenEnd"}}};
  auto manager = testing::startManagerStandIn(standInPath, home.root(), steps.dump(), "manager", 0,
                                              {"--stream-log", streamLog.string()});
  testing::saveDirectAutoLogin(home.path(), testing::standInPort(home.root(), "manager"));
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(agent.waitForOutput("desktop backend: GNOME Wayland")) << agent.output();
  ASSERT_TRUE(manager->waitForOutput("step screen ok")) << manager->output() << agent.output();
  ASSERT_TRUE(manager->waitForOutput("waiting for")) << manager->output() << agent.output();

  // The whole screen changes at once and stays so.
  ASSERT_TRUE(scene.showTexture());
  ASSERT_TRUE(takeSettledShot(shot));
  std::ifstream before(streamLog);
  const auto unitsBefore =
      std::count(std::istreambuf_iterator<char>(before), std::istreambuf_iterator<char>(), '\n');
  std::ofstream(still).put('1');

  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent.output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  std::ifstream reportFile(home.root() / "manager.json");
  const auto report = nlohmann::json::parse(reportFile, nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_EQ(report["screen"]["decodeErrors"], 0);
  // One line per unit: time, bytes, keyframe (0/1), pictures decoded, painted number. The change
  // and its refinement are predicted pictures: a still screen gets no keyframe.
  std::ifstream in(streamLog);
  long long units = 0, bytes = 0, time = 0, size = 0;
  int keyframe = 0, keyframes = 0;
  std::string rest;
  while (in >> time >> size >> keyframe && std::getline(in, rest)) {
    if (++units <= unitsBefore) continue;
    bytes += size;
    keyframes += keyframe;
  }
  EXPECT_EQ(keyframes, 0);
  for (const auto& result : report["steps"]) {
    if (result.value("step", "") == "matchScreen") {
      std::cout << "last picture against the compositor's: " << result.value("psnr", -1.0) << " dB after "
                << units - unitsBefore << " units, " << bytes << " bytes\n";
    }
  }
  testing::expectCleanQuit(agent);
}

}  // namespace
}  // namespace vantrel
