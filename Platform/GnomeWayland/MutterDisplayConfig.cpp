#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"

#include <systemd/sd-bus.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {

namespace {

// Caps on what a reply may hold: more than any real desktop, little enough to keep in memory.
constexpr std::size_t maxMonitors = 64;
constexpr std::size_t maxModes = 1024;
constexpr int maxPixels = 65536;

[[noreturn]] void malformed(int r) {
  throw CompositorCaptureError::unavailable(
      fmt::format("The compositor's display configuration could not be read: {}", std::strerror(-r)));
}

void check(int r) {
  if (r < 0) malformed(r);
}

// Enters a container; false at the end of the enclosing one.
bool enter(sd_bus_message* m, char type, const char* contents) {
  const int r = sd_bus_message_enter_container(m, type, contents);
  check(r);
  return r > 0;
}

void leave(sd_bus_message* m) { check(sd_bus_message_exit_container(m)); }

std::string readString(sd_bus_message* m) {
  const char* text = nullptr;
  check(sd_bus_message_read(m, "s", &text));
  return text ? text : "";
}

// A mode's properties: only "is-current" matters.
bool readIsCurrent(sd_bus_message* m) {
  bool current = false;
  check(sd_bus_message_enter_container(m, 'a', "{sv}"));
  while (enter(m, 'e', "sv")) {
    const auto key = readString(m);
    if (key == "is-current") {
      check(sd_bus_message_enter_container(m, 'v', "b"));
      int value = 0;
      check(sd_bus_message_read(m, "b", &value));
      current = value != 0;
      leave(m);
    } else {
      check(sd_bus_message_skip(m, "v"));
    }
    leave(m);
  }
  leave(m);
  return current;
}

MutterDisplayState parseState(sd_bus_message* m) {
  MutterDisplayState state;
  std::uint32_t serial = 0;
  check(sd_bus_message_read(m, "u", &serial));
  check(sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})"));
  while (enter(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) {
    if (state.monitors.size() >= maxMonitors) malformed(-E2BIG);
    MutterDisplayState::Monitor monitor;
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serialText = nullptr;
    check(sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serialText));
    monitor.connector = connector ? connector : "";
    monitor.vendor = vendor ? vendor : "";
    monitor.product = product ? product : "";
    check(sd_bus_message_enter_container(m, 'a', "(siiddada{sv})"));
    while (enter(m, 'r', "siiddada{sv}")) {
      if (monitor.modes.size() >= maxModes) malformed(-E2BIG);
      const char* id = nullptr;
      std::int32_t width = 0, height = 0;
      double refresh = 0, preferredScale = 0;
      check(sd_bus_message_read(m, "siidd", &id, &width, &height, &refresh, &preferredScale));
      check(sd_bus_message_skip(m, "ad"));
      const bool current = readIsCurrent(m);
      monitor.modes.push_back({width, height, current});
      leave(m);
    }
    leave(m);
    check(sd_bus_message_skip(m, "a{sv}"));
    leave(m);
    state.monitors.push_back(std::move(monitor));
  }
  leave(m);
  check(sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})"));
  while (enter(m, 'r', "iiduba(ssss)a{sv}")) {
    if (state.logicalMonitors.size() >= maxMonitors) malformed(-E2BIG);
    MutterDisplayState::LogicalMonitor logical;
    std::int32_t x = 0, y = 0;
    int primary = 0;
    check(sd_bus_message_read(m, "iidub", &x, &y, &logical.scale, &logical.transform, &primary));
    logical.x = x;
    logical.y = y;
    logical.primary = primary != 0;
    check(sd_bus_message_enter_container(m, 'a', "(ssss)"));
    while (enter(m, 'r', "ssss")) {
      if (logical.connectors.size() >= maxMonitors) malformed(-E2BIG);
      logical.connectors.push_back(readString(m));
      check(sd_bus_message_skip(m, "sss"));
      leave(m);
    }
    leave(m);
    check(sd_bus_message_skip(m, "a{sv}"));
    leave(m);
    state.logicalMonitors.push_back(std::move(logical));
  }
  leave(m);
  return state;
}

}  // namespace

int scaleRateFromFactor(double scale) noexcept {
  if (!std::isfinite(scale) || scale < 0.25 || scale > 8.0) return 100;
  return static_cast<int>(std::lround(scale * 100.0));
}

std::vector<MutterDisplay> mutterDisplays(const MutterDisplayState& state) {
  std::vector<MutterDisplay> displays;
  for (std::size_t i = 0; i < state.logicalMonitors.size(); ++i) {
    const auto& logical = state.logicalMonitors[i];
    // A logical monitor mirrored onto several monitors shows the same pixels on each: the first
    // one with a current mode gives the size.
    const MutterDisplayState::Monitor* shown = nullptr;
    const MutterDisplayState::Mode* mode = nullptr;
    for (const auto& connector : logical.connectors) {
      for (const auto& monitor : state.monitors) {
        if (monitor.connector != connector) continue;
        const auto current = std::find_if(monitor.modes.begin(), monitor.modes.end(),
                                          [](const MutterDisplayState::Mode& m) { return m.isCurrent; });
        if (current != monitor.modes.end()) {
          shown = &monitor;
          mode = &*current;
          break;
        }
      }
      if (shown) break;
    }
    if (!shown || mode->width <= 0 || mode->height <= 0 || mode->width > maxPixels ||
        mode->height > maxPixels)
      continue;
    const bool turned = logical.transform % 2 == 1;
    MutterDisplay display;
    display.id = static_cast<std::uint32_t>(i + 1);
    display.connector = shown->connector;
    display.name = shown->vendor.empty() ? shown->product : shown->vendor + " " + shown->product;
    display.bounds = {logical.x, logical.y, turned ? mode->height : mode->width,
                      turned ? mode->width : mode->height};
    display.scaleRate = scaleRateFromFactor(logical.scale);
    display.isPrimary = logical.primary;
    displays.push_back(std::move(display));
  }
  auto primary =
      std::find_if(displays.begin(), displays.end(), [](const MutterDisplay& d) { return d.isPrimary; });
  if (primary == displays.end() && !displays.empty()) {
    primary = displays.begin();
    primary->isPrimary = true;
  }
  // Only one display is the main one, even when a reply flags several.
  for (auto it = displays.begin(); it != displays.end(); ++it) {
    if (it != primary) it->isPrimary = false;
  }
  std::stable_partition(displays.begin(), displays.end(), [](const MutterDisplay& d) { return d.isPrimary; });
  return displays;
}

DisplayLayout mutterDisplayLayout(const std::vector<MutterDisplay>& displays) {
  if (displays.empty())
    throw CompositorCaptureError::unavailable("The compositor reports no monitor to capture.");
  DisplayLayout layout;
  layout.hasRandrMonitors = true;
  int left = displays.front().bounds.x, top = displays.front().bounds.y;
  int right = left + displays.front().bounds.width, bottom = top + displays.front().bounds.height;
  for (const auto& d : displays) {
    left = std::min(left, d.bounds.x);
    top = std::min(top, d.bounds.y);
    right = std::max(right, d.bounds.x + d.bounds.width);
    bottom = std::max(bottom, d.bounds.y + d.bounds.height);
    layout.monitors.push_back({d.id, d.connector, d.bounds, d.isPrimary});
    if (d.isPrimary) layout.scaleRate = d.scaleRate;
  }
  layout.root = {left, top, right - left, bottom - top};
  return layout;
}

MutterDisplayState readMutterDisplayState(sd_bus* bus) {
  sd_bus* own = nullptr;
  if (!bus) {
    int r = 0;
    own = BusCall::openUserBusForOneCall(&r);
    if (!own) {
      throw CompositorCaptureError::unavailable(
          fmt::format("The session bus cannot be reached: {}", std::strerror(-r)));
    }
    bus = own;
  }
  BusCall call;
  const int r = sd_bus_call_method(bus, MutterDisplayConfigService::name, MutterDisplayConfigService::path,
                                   MutterDisplayConfigService::interface, "GetCurrentState", &call.error,
                                   &call.reply, "");
  const auto release = [&] {
    if (own) sd_bus_flush_close_unref(own);
  };
  if (r < 0) {
    const auto text = BusCall::describe(r, call.error);
    release();
    throw CompositorCaptureError::unavailable("The compositor's display configuration is not available: " +
                                              text);
  }
  try {
    auto state = parseState(call.reply);
    release();
    return state;
  } catch (...) {
    release();
    throw;
  }
}

}  // namespace vantrel
