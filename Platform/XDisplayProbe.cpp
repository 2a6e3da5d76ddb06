#include "Platform/XDisplayProbe.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
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

constexpr long long unscaledDotsPerInch = 96;
// Anything beyond ten times the unscaled density is not a real desktop setting.
constexpr long long largestPlausibleDotsPerInch = 960;

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
  const int screen = DefaultScreen(display);
  const XMainDisplayGeometry whole{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};

  // The same area the screen is captured from: the primary monitor, else the first one, else
  // (a server without RandR monitors) the whole root window.
  XMainDisplayGeometry area = whole;
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (!monitors || count <= 0) {
      if (monitors) XRRFreeMonitors(monitors);
      return std::nullopt;  // nothing connected to show
    }
    int chosen = 0;
    for (int i = 0; i < count; ++i) {
      if (monitors[i].primary) {
        chosen = i;
        break;
      }
    }
    area = {monitors[chosen].x, monitors[chosen].y, monitors[chosen].width, monitors[chosen].height};
    XRRFreeMonitors(monitors);
  }

  // A monitor may reach past the root window while the screen is being reconfigured.
  const int left = std::max(area.x, whole.x);
  const int top = std::max(area.y, whole.y);
  const int right = std::min(area.x + area.width, whole.x + whole.width);
  const int bottom = std::min(area.y + area.height, whole.y + whole.height);
  if (right <= left || bottom <= top) return std::nullopt;
  return XMainDisplayGeometry{left, top, right - left, bottom - top};
}

int scaleRateFromResources(std::string_view resources) {
  constexpr std::string_view key = "Xft.dpi:";
  // As in the resource database, the last entry wins.
  std::optional<double> dpi;
  while (!resources.empty()) {
    const auto end = resources.find('\n');
    std::string_view line = resources.substr(0, end);
    resources = end == std::string_view::npos ? std::string_view{} : resources.substr(end + 1);
    line = trimBlanks(line);
    if (line.substr(0, key.size()) != key) continue;
    const std::string_view value = trimBlanks(line.substr(key.size()));
    double parsed = 0;
    const auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    const bool valid = error == std::errc{} && rest == value.data() + value.size() && std::isfinite(parsed);
    dpi = valid ? std::optional<double>(parsed) : std::nullopt;
  }
  if (!dpi) return 100;
  // Whole dots per inch, then the percentage of 96 rounded to the nearest.
  const long long wholeDpi = std::llround(*dpi);
  if (wholeDpi <= unscaledDotsPerInch || wholeDpi > largestPlausibleDotsPerInch) return 100;
  return static_cast<int>((wholeDpi * 100 + 48) / 96);
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
