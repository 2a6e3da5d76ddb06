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
#include "support/ScreenLuma.hpp"
#include "support/TestEnvironment.hpp"

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

// A full-screen window: flat grey at first, then at once a textured picture (fine noise over
// smooth waves, with small text), drawn pixel by pixel as one image.
class TexturedScreen {
 public:
  explicit TexturedScreen(Display* d) : d_(d) {
    const int screen = DefaultScreen(d);
    width_ = DisplayWidth(d, screen);
    height_ = DisplayHeight(d, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x808080;
    window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, window_);
    gc_ = XCreateGC(d, window_, 0, nullptr);
    XSync(d, False);
  }
  ~TexturedScreen() {
    XFreeGC(d_, gc_);
    XDestroyWindow(d_, window_);
    XSync(d_, False);
  }

  void showTexture() {
    XImage* image = XGetImage(d_, window_, 0, 0, static_cast<unsigned>(width_),
                              static_cast<unsigned>(height_), AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        const int wave = ((x * 7 + y * 3) % 160) - 80 + ((x / 3 + y / 5) % 50);
        const int noise = static_cast<int>((next() >> 24) % 24) - 12;
        const auto channel = [&](int base) {
          return static_cast<unsigned>(std::clamp(base + wave + noise, 0, 255));
        };
        XPutPixel(image, x, y, (channel(120) << 16) | (channel(110) << 8) | channel(100));
      }
    }
    XPutImage(d_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_));
    XDestroyImage(image);
    XSetForeground(d_, gc_, 0x101010);
    const std::string line = "Small text must be readable once the screen stands still 0123456789";
    for (int y = 12; y < height_; y += 40) {
      XDrawString(d_, window_, gc_, 8 + (y % 3) * 5, y, line.c_str(), static_cast<int>(line.size()));
    }
    XSync(d_, False);
  }

  void writeScreenLuma(const fs::path& path) const {
    const auto plane = testing::screenLuma(d_, width_, height_);
    ASSERT_TRUE(plane.has_value());
    ASSERT_TRUE(testing::writeLumaPGM(path, *plane));
  }

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  Display* d_;
  int width_ = 0;
  int height_ = 0;
  Window window_ = 0;
  GC gc_ = nullptr;
};

TEST(StillScreenSharp, AfterAWholeScreenTexturedChangeTheStillPictureReachesTheScreen) {
  const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  if (!display) GTEST_SKIP() << "needs an X display (scripts/test provides one)";
  testing::TemporaryHome home;
  TexturedScreen scene(display.get());
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
  scene.showTexture();
  scene.writeScreenLuma(root / "screen.pgm.tmp");
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
