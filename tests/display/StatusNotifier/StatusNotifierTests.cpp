// Where the program's tray menu lives, by what the session bus offers: a desktop whose tray host
// is on the bus (KDE, GNOME with the AppIndicator extension) gets the tray item there, with its
// menu; a desktop without one (GNOME as it ships) gets the menu in the program's window. The real
// program runs on an X server of its own (no tray of the older, X11 kind) and a session bus of
// its own.

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/PrivateXServer.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using testing::ProgramProcess;
using namespace testing::programs;

// The top-level windows of class `wmClass` under `window`.
void windowsOfClass(::Display* display, Window window, const std::string& wmClass,
                    std::vector<Window>& found) {
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) != 0) {
    if (hint.res_class != nullptr && wmClass == hint.res_class) found.push_back(window);
    XFree(hint.res_name);
    XFree(hint.res_class);
  }
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return;
  for (unsigned i = 0; i < count; ++i) windowsOfClass(display, children[i], wmClass, found);
  XFree(children);
}

class StatusNotifier : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server_.displayName().empty());
    home_.setEnv("DISPLAY", server_.displayName());
    home_.unsetEnv("WAYLAND_DISPLAY");
    home_.setEnv("XDG_SESSION_TYPE", "x11");
    home_.setEnv("QT_QPA_PLATFORM", "xcb");
    home_.setEnv("PYTHONIOENCODING", "utf-8");
    const std::string address = "unix:path=" + (home_.root() / "bus").string();
    home_.setEnv("DBUS_SESSION_BUS_ADDRESS", address);
    bus_ = std::make_unique<ProgramProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=" + address, "--print-address=2"},
        ProgramProcess::Options{true, false});
    ASSERT_TRUE(bus_->waitForOutput("unix:path=")) << bus_->output();
    display_.reset(XOpenDisplay(server_.displayName().c_str()));
    ASSERT_TRUE(display_);
  }
  void TearDown() override {
    if (bus_) bus_->signal(SIGTERM);
  }

  // The program's status window, once it is on the screen (bounded by the hang guard's limit).
  Window statusWindow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<Window> found;
      windowsOfClass(display_.get(), DefaultRootWindow(display_.get()), "VantrelMac", found);
      for (const Window window : found) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_.get(), window, &attributes) != 0 &&
            attributes.map_state == IsViewable)
          return window;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  // What the window manager's close button sends.
  void askToClose(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_.get(), window, False, NoEventMask, &event);
    XFlush(display_.get());
  }

  // Types keys as the keyboard does, each with Shift held when asked.
  void press(std::initializer_list<std::pair<KeySym, bool>> keys) {
    for (const auto& [symbol, shifted] : keys) {
      const KeyCode shift = XKeysymToKeycode(display_.get(), XK_Shift_L);
      const KeyCode code = XKeysymToKeycode(display_.get(), symbol);
      if (shifted) XTestFakeKeyEvent(display_.get(), shift, True, CurrentTime);
      XTestFakeKeyEvent(display_.get(), code, True, CurrentTime);
      XTestFakeKeyEvent(display_.get(), code, False, CurrentTime);
      if (shifted) XTestFakeKeyEvent(display_.get(), shift, False, CurrentTime);
      XSync(display_.get(), False);
    }
  }

  testing::PrivateXServer server_{800, 600};
  testing::TemporaryHome home_;
  std::unique_ptr<ProgramProcess> bus_;
  std::unique_ptr<::Display, int (*)(::Display*)> display_{nullptr, XCloseDisplay};
};

// A tray host on the bus: closing the window hides it and puts the item in that tray, whose menu
// holds the program's items; the window offers no menu of its own.
TEST_F(StatusNotifier, WithATrayHostOnTheBusTheItemRegistersThereWithItsMenu) {
  ProgramProcess watcher({"/usr/bin/python3", VANTREL_TRAY_HOST_STANDIN},
                         ProgramProcess::Options{true, true});
  ASSERT_TRUE(watcher.waitForOutput("watching")) << watcher.output();
  ProgramProcess agent({programPath}, ProgramProcess::Options{true, false});
  const Window window = statusWindow();
  ASSERT_NE(window, 0U) << agent.output();
  askToClose(window);
  ASSERT_TRUE(watcher.waitForOutput("menu end")) << watcher.output() << agent.output();
  const std::string& seen = watcher.output();
  EXPECT_NE(seen.find("registered "), std::string::npos) << seen;
  const auto menu = seen.substr(seen.find("registered "));
  EXPECT_NE(
      menu.find(
          "menu: 로그창 보기\nmenu: 환경설정\nmenu: 업데이트 확인\u2026\nmenu: ---\nmenu: 종료\nmenu end"),
      std::string::npos)
      << seen;
  EXPECT_EQ(agent.output().find("no system tray"), std::string::npos) << agent.output();
  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
  watcher.signal(SIGTERM);
}

// No tray host and no tray of the older kind: the window carries the menu, reached with the
// keyboard (Shift+Tab twice from ID, which has the focus, to the menu button; Space opens it; Up
// wraps to its last item, "종료"; Return takes it), and it quits the way the tray's menu does.
// Closing the window keeps it on the task bar (minimised) rather than out of reach.
TEST_F(StatusNotifier, WithoutATrayHostTheWindowOffersTheMenuAndItsQuitEndsTheProgram) {
  ProgramProcess agent({programPath}, ProgramProcess::Options{true, false});
  const Window window = statusWindow();
  ASSERT_NE(window, 0U) << agent.output();
  EXPECT_TRUE(agent.waitForOutput("VantrelMac menu offered in the window: the desktop offers no system tray"))
      << agent.output();
  askToClose(window);
  EXPECT_TRUE(agent.waitForOutput("VantrelMac window minimised instead of hidden")) << agent.output();
  // Without a window manager the window stays on the screen, with the keyboard's focus in ID.
  press({{XK_Tab, true}, {XK_Tab, true}, {XK_space, false}});
  press({{XK_Up, false}, {XK_Return, false}});
  EXPECT_TRUE(agent.waitForOutput("VantrelMac quitting (menu)")) << agent.output();
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

}  // namespace
}  // namespace vantrel
