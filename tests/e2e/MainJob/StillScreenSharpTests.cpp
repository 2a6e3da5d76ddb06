// The installed program after a whole-screen change to a textured picture that then stands still:
// the rate control codes the change coarsely, and the refreshes of the still screen must bring the
// manager's picture up to the screen itself (40 dB luma), not leave it as coded.

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"
#include "support/TexturedScreen.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ProgramProcess;
using namespace testing::programs;

struct StreamLine {
  long long bytes = 0;
  bool keyframe = false;
};

// The stand-in's stream log: one line per access unit ("time bytes keyframe decoded mark").
std::vector<StreamLine> streamLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<StreamLine> lines;
  long long time = 0, bytes = 0, decoded = 0, mark = 0;
  int keyframe = 0;
  while (in >> time >> bytes >> keyframe >> decoded >> mark) lines.push_back({bytes, keyframe != 0});
  return lines;
}

TEST(StillScreenSharp, AfterAWholeScreenTexturedChangeTheStillPictureReachesTheScreen) {
  const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  if (!display) GTEST_SKIP() << "needs an X display (scripts/test provides one)";
  testing::TemporaryHome home;
  testing::TexturedScreen scene(display.get());
  const auto root = home.root();
  // The refreshes come 1, 2, 4 and 8 s apart; 20 s is a hang guard, far beyond the schedule's
  // steps that bring the picture up.
  const nlohmann::json steps = {
      {{"step", "screen"}, {"width", scene.width()}, {"height", scene.height()}, {"seconds", 0}},
      {{"step", "waitForFile"}, {"path", (root / "still").string()}, {"timeout", 60}},
      {{"step", "matchScreen"}, {"path", (root / "screen.pgm").string()}, {"minPSNR", 40}, {"timeout", 20}}};
  ProgramProcess manager(
      {standInPath, "--steps", steps.dump(), "--report", (root / "report.json").string(), "--port-file",
       (root / "port").string(), "--stream-log", (root / "stream.log").string()},
      ProgramProcess::Options{true, true});
  ASSERT_TRUE(manager.waitForOutput("listening on 127.0.0.1:")) << manager.output();
  int port = 0;
  std::ifstream(root / "port") >> port;
  ASSERT_GT(port, 0);
  testing::saveDirectAutoLogin(home.path(), port);
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager.waitForOutput("step screen ok")) << manager.output() << agent.output();
  ASSERT_TRUE(manager.waitForOutput("waiting for")) << manager.output() << agent.output();

  // The whole screen changes at once and stays so; the manager compares its pictures with it.
  ASSERT_TRUE(scene.showTexture());
  ASSERT_TRUE(scene.writeScreenLuma(root / "screen.pgm.tmp"));
  fs::rename(root / "screen.pgm.tmp", root / "screen.pgm");
  const auto before = streamLines(root / "stream.log").size();
  std::ofstream(root / "still").put('1');

  ASSERT_TRUE(manager.waitForOutput("script done:")) << manager.output() << agent.output();
  std::ifstream reportFile(root / "report.json");
  const auto report = nlohmann::json::parse(reportFile, nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_NE(manager.output().find("script done: ok"), std::string::npos) << report.dump(2);
  EXPECT_EQ(report["screen"]["decodeErrors"], 0);
  const auto lines = streamLines(root / "stream.log");
  ASSERT_GE(lines.size(), before);
  long long bytes = 0;
  int keyframes = 0;
  for (std::size_t i = before; i < lines.size(); ++i) {
    bytes += lines[i].bytes;
    keyframes += lines[i].keyframe ? 1 : 0;
  }
  for (const auto& result : report["steps"]) {
    if (result.value("step", "") == "matchScreen") {
      std::cout << "last picture against the screen: " << result.value("psnr", -1.0) << " dB after "
                << lines.size() - before << " units, " << bytes << " bytes\n";
    }
  }
  // A still screen gets no keyframe of its own: the change and its refinement are predicted pictures.
  EXPECT_EQ(keyframes, 0);

  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

}  // namespace
}  // namespace vantrel
