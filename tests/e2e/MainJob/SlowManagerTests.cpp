// The installed program streaming to a manager behind a link slower than the stream: the screen
// scrolls, then stands still, and the manager's last picture must be the screen. A picture lost
// on the way (replaced while it waited) would leave every later one referring to what the manager
// never got, and a still screen's refreshes would never put it right.

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/ScreenLuma.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ProgramProcess;
using namespace testing::programs;

// A full-screen window over a scene twice the screen's size (panels and text), shown at an offset
// that each step moves by (3, 2) pixels.
class ScrollingScene {
 public:
  explicit ScrollingScene(Display* d) : d_(d) {
    const int screen = DefaultScreen(d);
    width_ = DisplayWidth(d, screen);
    height_ = DisplayHeight(d, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect, &attributes);
    XMapRaised(d, window_);
    scene_ = XCreatePixmap(d, window_, static_cast<unsigned>(width_ * 2), static_cast<unsigned>(height_ * 2),
                           static_cast<unsigned>(DefaultDepth(d, screen)));
    gc_ = XCreateGC(d, scene_, 0, nullptr);
    XSetForeground(d, gc_, 0xF0F0F0);
    XFillRectangle(d, scene_, gc_, 0, 0, static_cast<unsigned>(width_ * 2),
                   static_cast<unsigned>(height_ * 2));
    unsigned seed = 7;
    const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 120; ++i) {
      XSetForeground(d, gc_, next() & 0xFFFFFF);
      XFillRectangle(d, scene_, gc_, static_cast<int>(next() % static_cast<unsigned>(width_ * 2)),
                     static_cast<int>(next() % static_cast<unsigned>(height_ * 2)), 40 + next() % 400,
                     20 + next() % 200);
    }
    XSetForeground(d, gc_, 0x202020);
    const std::string line = "the quick brown fox jumps over the lazy dog 0123456789";
    for (int y = 14; y < height_ * 2; y += 60) {
      for (int x = 4; x < width_ * 2; x += 400)
        XDrawString(d, scene_, gc_, x, y, line.c_str(), static_cast<int>(line.size()));
    }
    show(0);
  }
  ~ScrollingScene() {
    XFreeGC(d_, gc_);
    XFreePixmap(d_, scene_);
    XDestroyWindow(d_, window_);
    XSync(d_, False);
  }

  void show(unsigned step) {
    XCopyArea(d_, scene_, window_, gc_, static_cast<int>(step * 3) % width_,
              static_cast<int>(step * 2) % height_, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_), 0, 0);
    XSync(d_, False);
  }

  // The screen's luma as the program converts it, as a binary PGM.
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
  Pixmap scene_ = 0;
  GC gc_ = nullptr;
};

std::size_t linesIn(const fs::path& path) {
  std::ifstream in(path);
  std::size_t count = 0;
  for (std::string line; std::getline(in, line);) ++count;
  return count;
}

TEST(SlowManager, AfterAScrollOverASlowLinkTheManagersLastPictureIsTheStillScreen) {
  const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
  if (!display) GTEST_SKIP() << "needs an X display (scripts/test provides one)";
  testing::TemporaryHome home;
  ScrollingScene scene(display.get());
  const auto root = home.root();
  // About 2 Mbit/s through a small receive buffer: the stream (8 Mbit/s while the scene scrolls)
  // is four times faster than the link.
  const nlohmann::json steps = {
      {{"step", "screen"}, {"width", scene.width()}, {"height", scene.height()}, {"seconds", 0}},
      {{"step", "waitForFile"}, {"path", (root / "still").string()}, {"timeout", 300}},
      {{"step", "matchScreen"}, {"path", (root / "screen.pgm").string()}, {"minPSNR", 25}, {"timeout", 30}}};
  ProgramProcess manager(
      {standInPath, "--steps", steps.dump(), "--report", (root / "report.json").string(), "--port-file",
       (root / "port").string(), "--stream-log", (root / "stream.log").string(), "--read-rate", "250000",
       "--receive-buffer", "65536"},
      ProgramProcess::Options{true, true});
  ASSERT_TRUE(manager.waitForOutput("listening on 127.0.0.1:")) << manager.output();
  int port = 0;
  std::ifstream(root / "port") >> port;
  ASSERT_GT(port, 0);
  testing::saveDirectAutoLogin(home.path(), port);
  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager.waitForOutput("step screen ok")) << manager.output() << agent.output();

  // The scene scrolls (as fast as the X server draws) until 60 more pictures have reached the
  // manager: seconds of a stream far faster than the link.
  const auto before = linesIn(root / "stream.log");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);  // hang guard
  unsigned step = 0;
  while (linesIn(root / "stream.log") < before + 60) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << manager.output() << agent.output();
    scene.show(++step);
  }
  // Still from here on; the manager compares what it decodes with this screen.
  scene.writeScreenLuma(root / "screen.pgm.tmp");
  fs::rename(root / "screen.pgm.tmp", root / "screen.pgm");
  std::ofstream(root / "still").put('1');

  ASSERT_TRUE(manager.waitForOutput("script done:")) << manager.output() << agent.output();
  std::ifstream reportFile(root / "report.json");
  const auto report = nlohmann::json::parse(reportFile, nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  EXPECT_NE(manager.output().find("script done: ok"), std::string::npos) << report.dump(2);
  EXPECT_EQ(report["screen"]["decodeErrors"], 0);
  for (const auto& result : report["steps"]) {
    if (result.value("step", "") == "matchScreen")
      std::cout << "last picture against the screen: " << result.value("psnr", -1.0) << " dB\n";
  }

  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

}  // namespace
}  // namespace vantrel
