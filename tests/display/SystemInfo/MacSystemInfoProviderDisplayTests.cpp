#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "SystemInfo/MacSystemInfoProvider.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

struct ScreenSize {
  int width = 0;
  int height = 0;
};

// The primary monitor's size, or the screen's when there is no primary monitor.
ScreenSize mainScreenSize() {
  ScreenSize size;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return size;
  size = {DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display))};
  int count = 0;
  if (XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count)) {
    for (int i = 0; i < count; ++i) {
      if (monitors[i].primary) size = {monitors[i].width, monitors[i].height};
    }
    XRRFreeMonitors(monitors);
  }
  XCloseDisplay(display);
  return size;
}

TEST(MacSystemInfoProviderDisplay, ReportsTheMainDisplaySizeAndScale) {
  MacSystemInfoProvider provider;
  asio::io_context io;
  const auto snapshot = testing::runAwaitable(io, provider.makeSnapshot());
  const auto expected = mainScreenSize();
  ASSERT_GT(expected.width, 0) << "no display";
  EXPECT_EQ(snapshot.width, expected.width);
  EXPECT_EQ(snapshot.height, expected.height);
  // The test server sets no Xft.dpi: an unscaled desktop.
  EXPECT_EQ(snapshot.screenRate, 100);
  EXPECT_EQ(snapshot.screenProtocolVersion, 3);
}

}  // namespace
}  // namespace vantrel
