#include "Platform/XDisplayProbe.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <charconv>
#include <cmath>
#include <memory>

namespace vantrel::XDisplayProbe {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const noexcept {
    if (display) XCloseDisplay(display);
  }
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

DisplayHandle openDisplay() { return DisplayHandle(XOpenDisplay(nullptr)); }

constexpr double unscaledDotsPerInch = 96.0;
// Anything beyond ten times the unscaled density is not a real desktop setting.
constexpr double largestPlausibleDotsPerInch = 960.0;

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::optional<XMainDisplayGeometry> mainDisplayGeometry(Display* display) {
  if (!display) return std::nullopt;
  const Window root = DefaultRootWindow(display);

  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    std::optional<XMainDisplayGeometry> primary;
    for (int i = 0; monitors && i < count; ++i) {
      if (monitors[i].primary && monitors[i].width > 0 && monitors[i].height > 0) {
        primary = XMainDisplayGeometry{monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height};
        break;
      }
    }
    if (monitors) XRRFreeMonitors(monitors);
    if (primary) return primary;
  }

  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  if (width <= 0 || height <= 0) return std::nullopt;
  return XMainDisplayGeometry{0, 0, width, height};
}

int scaleRateFromResources(std::string_view resources) {
  constexpr std::string_view key = "Xft.dpi:";
  while (!resources.empty()) {
    const auto end = resources.find('\n');
    std::string_view line = resources.substr(0, end);
    resources = end == std::string_view::npos ? std::string_view{} : resources.substr(end + 1);
    line = trimBlanks(line);
    if (line.substr(0, key.size()) != key) continue;
    const std::string_view value = trimBlanks(line.substr(key.size()));
    double dpi = 0;
    const auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), dpi);
    if (error != std::errc{} || rest != value.data() + value.size() || !std::isfinite(dpi)) return 100;
    if (dpi <= unscaledDotsPerInch || dpi > largestPlausibleDotsPerInch) return 100;
    return static_cast<int>(std::lround(dpi * 100.0 / unscaledDotsPerInch));
  }
  return 100;
}

int scaleRate(Display* display) {
  if (!display) return 100;
  const char* resources = XResourceManagerString(display);
  return resources ? scaleRateFromResources(resources) : 100;
}

std::optional<XMainDisplayInfo> mainDisplay() {
  DisplayHandle display = openDisplay();
  if (!display) return std::nullopt;
  auto geometry = mainDisplayGeometry(display.get());
  if (!geometry) return std::nullopt;
  return XMainDisplayInfo{*geometry, scaleRate(display.get())};
}

bool canCaptureScreen() {
  DisplayHandle display = openDisplay();
  if (!display) return false;
  // The root window is always viewable, so reading one of its pixels cannot raise a protocol
  // error; a server that refuses capture answers without an image.
  XImage* image = XGetImage(display.get(), DefaultRootWindow(display.get()), 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;
  XDestroyImage(image);
  return true;
}

}  // namespace vantrel::XDisplayProbe
