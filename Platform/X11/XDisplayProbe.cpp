#include "Platform/X11/XDisplayProbe.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>

namespace vantrel {
namespace {

std::string atomName(Display* display, Atom atom) {
  if (atom == None) return {};
  char* text = XGetAtomName(display, atom);
  if (!text) return {};
  std::string name(text);
  XFree(text);
  return name;
}

}  // namespace

DisplayLayout readX11DisplayLayout(const std::optional<std::string>& displayName) {
  const auto display = XConnection::open(displayName);
  return readX11DisplayLayout(display.get());
}

DisplayLayout readX11DisplayLayout(Display* display) {
  DisplayLayout layout;
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  layout.root = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};

  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (monitors) {
      layout.hasRandrMonitors = true;
      for (int i = 0; i < count; ++i) {
        const auto& m = monitors[i];
        MonitorInfo info;
        info.id =
            m.noutput > 0 ? static_cast<std::uint32_t>(m.outputs[0]) : static_cast<std::uint32_t>(i + 1);
        info.name = atomName(display, m.name);
        info.bounds = {m.x, m.y, m.width, m.height};
        info.isPrimary = m.primary != 0;
        layout.monitors.push_back(std::move(info));
      }
      XRRFreeMonitors(monitors);
    }
  }
  layout.scaleRate = XDisplayProbe::scaleRate(display);
  return layout;
}

namespace XDisplayProbe {
namespace {

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

std::optional<MainDisplayGeometry> mainDisplayGeometry(Display* display) {
  if (!display) return std::nullopt;
  // The same area the screen is captured from.
  const auto area = readX11DisplayLayout(display).mainArea();
  if (!area) return std::nullopt;
  return MainDisplayGeometry{area->x, area->y, area->width, area->height};
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

std::optional<MainDisplayInfo> mainDisplay() {
  const auto display = XConnection::openDefault();
  if (!display) return std::nullopt;
  auto geometry = mainDisplayGeometry(display.get());
  if (!geometry) return std::nullopt;
  return MainDisplayInfo{*geometry, scaleRate(display.get())};
}

bool canCaptureScreen() {
  const auto display = XConnection::openDefault();
  if (!display) return false;
  // The root window is always viewable, so reading one of its pixels cannot raise a protocol
  // error; a server that refuses capture answers without an image.
  XImage* image = XGetImage(display.get(), DefaultRootWindow(display.get()), 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (!image) return false;
  XDestroyImage(image);
  return true;
}

bool compositingManagerRunning() {
  const auto display = XConnection::openDefault();
  if (!display) return false;
  const std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display.get()));
  const Atom atom = XInternAtom(display.get(), selection.c_str(), False);
  return atom != None && XGetSelectionOwner(display.get(), atom) != None;
}

}  // namespace XDisplayProbe
}  // namespace vantrel
