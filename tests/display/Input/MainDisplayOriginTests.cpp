#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Platform/X11/XDisplayProbe.hpp"
#include "XEventRecorder.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

// Defines a monitor on the server (a RandR 1.5 virtual monitor without outputs).
bool addMonitor(Display* display, const char* name, int x, int y, int width, int height, bool primary) {
  XRRMonitorInfo monitor{};
  monitor.name = XInternAtom(display, name, False);
  monitor.primary = primary ? True : False;
  monitor.automatic = False;
  monitor.noutput = 0;
  monitor.x = x;
  monitor.y = y;
  monitor.width = width;
  monitor.height = height;
  monitor.mwidth = width / 4;
  monitor.mheight = height / 4;
  XRRSetMonitor(display, DefaultRootWindow(display), &monitor);
  XSync(display, False);
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  bool found = false;
  for (int i = 0; monitors && i < count; ++i) found = found || monitors[i].name == monitor.name;
  if (monitors) XRRFreeMonitors(monitors);
  return found;
}

LegacyInputPacket move(std::int32_t x, std::int32_t y) {
  LegacyInputPacket p;
  p.command = 50;
  p.mode = 1;
  p.x = x;
  p.y = y;
  return p;
}

// Pointer positions are pixels of the main display, the one the screen stream shows: on a
// desktop whose primary monitor is not at the origin they are offset by its position.
TEST(MainDisplayOrigin, PositionsAreRelativeToThePrimaryMonitor) {
  testing::PrivateXServer server(1600, 900);
  testing::DisplayOverride useServer(server.displayName());

  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  ASSERT_TRUE(addMonitor(display, "VANTREL-LEFT", 0, 0, 600, 900, false));
  ASSERT_TRUE(addMonitor(display, "VANTREL-RIGHT", 600, 100, 1000, 800, true));

  const auto main = XDisplayProbe::mainDisplay();
  ASSERT_TRUE(main);
  EXPECT_EQ(main->geometry, (MainDisplayGeometry{600, 100, 1000, 800}));

  {
    CGEventRemoteInputInjector injector;
    injector.inject(move(10, 20));
  }
  Window root = 0;
  Window child = 0;
  int x = 0;
  int y = 0;
  int winX = 0;
  int winY = 0;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY, &mask);
  EXPECT_EQ(x, 610);
  EXPECT_EQ(y, 120);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace vantrel
