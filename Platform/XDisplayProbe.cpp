#include "Platform/XDisplayProbe.hpp"

#include "Platform/X11DisplayCapture.hpp"

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
  // The same area the screen is captured from.
  const auto area = readX11DisplayLayout(display).mainArea();
  if (!area) return std::nullopt;
  return XMainDisplayGeometry{area->x, area->y, area->width, area->height};
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
