#include "Platform/MutterBus.hpp"

#include <cstring>
#include <string_view>
#include <vector>

namespace vantrel {
namespace {

constexpr int maximumDimension = 32768;

bool saneSize(int width, int height) {
  return width > 0 && height > 0 && width <= maximumDimension && height <= maximumDimension;
}

// Reads one mode's properties and says whether it is the current one.
int readModeIsCurrent(sd_bus_message* m, bool& current) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) return r;
    const char* contents = nullptr;
    if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
    if (std::string_view(key) == "is-current" && contents && std::string_view(contents) == "b") {
      int value = 0;
      if ((r = sd_bus_message_read(m, "v", "b", &value)) < 0) return r;
      current = value != 0;
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

struct PhysicalMonitor {
  std::string connector;
  int width = 0;
  int height = 0;
};

int readMonitors(sd_bus_message* m, std::vector<PhysicalMonitor>& monitors) {
  int r = sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) > 0) {
    const char* connector = nullptr;
    const char* vendor = nullptr;
    const char* product = nullptr;
    const char* serial = nullptr;
    if ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) < 0) return r;
    PhysicalMonitor monitor{connector, 0, 0};
    if ((r = sd_bus_message_enter_container(m, 'a', "(siiddada{sv})")) <= 0) return r < 0 ? r : -EBADMSG;
    while ((r = sd_bus_message_enter_container(m, 'r', "siiddada{sv}")) > 0) {
      const char* id = nullptr;
      std::int32_t width = 0;
      std::int32_t height = 0;
      double refresh = 0;
      double scale = 0;
      if ((r = sd_bus_message_read(m, "siidd", &id, &width, &height, &refresh, &scale)) < 0) return r;
      if ((r = sd_bus_message_skip(m, "ad")) < 0) return r;
      bool current = false;
      if ((r = readModeIsCurrent(m, current)) < 0) return r;
      if (current && saneSize(width, height)) {
        monitor.width = width;
        monitor.height = height;
      }
      if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    if (!monitor.connector.empty()) monitors.push_back(std::move(monitor));
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// The connector of the primary logical monitor (its first physical monitor).
int readPrimaryConnector(sd_bus_message* m, std::string& primary) {
  int r = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  while ((r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
    std::int32_t x = 0;
    std::int32_t y = 0;
    double scale = 0;
    std::uint32_t transform = 0;
    int isPrimary = 0;
    if ((r = sd_bus_message_read(m, "iidub", &x, &y, &scale, &transform, &isPrimary)) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'a', "(ssss)")) <= 0) return r < 0 ? r : -EBADMSG;
    const char* connector = nullptr;
    const char* vendor = nullptr;
    const char* product = nullptr;
    const char* serial = nullptr;
    bool first = true;
    while ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) > 0) {
      if (first && isPrimary && primary.empty()) primary = connector;
      first = false;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

BusCall::~BusCall() {
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
}

std::string BusCall::describe(int r, const sd_bus_error& error) {
  if (sd_bus_error_is_set(&error)) {
    return std::string(error.name) + (error.message ? std::string(": ") + error.message : std::string());
  }
  return std::strerror(r < 0 ? -r : r);
}

bool BusCall::nameHasOwner(sd_bus* bus, const char* name) {
  BusCall call;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &call.error, &call.reply, "s", name) < 0) {
    return false;
  }
  return sd_bus_message_read(call.reply, "b", &owned) >= 0 && owned;
}

namespace MutterDisplayConfig {

std::optional<Monitor> primaryMonitor(sd_bus* bus) {
  BusCall call;
  int r =
      sd_bus_call_method(bus, "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                         "org.gnome.Mutter.DisplayConfig", "GetCurrentState", &call.error, &call.reply, "");
  if (r < 0) return std::nullopt;
  std::uint32_t serial = 0;
  std::vector<PhysicalMonitor> monitors;
  std::string primary;
  if (sd_bus_message_read(call.reply, "u", &serial) < 0) return std::nullopt;
  if (readMonitors(call.reply, monitors) < 0 || monitors.empty()) return std::nullopt;
  if (readPrimaryConnector(call.reply, primary) < 0) primary.clear();
  const PhysicalMonitor* chosen = &monitors.front();
  for (const auto& monitor : monitors) {
    if (monitor.connector == primary) chosen = &monitor;
  }
  if (!saneSize(chosen->width, chosen->height)) return std::nullopt;
  return Monitor{chosen->connector, chosen->width, chosen->height};
}

std::optional<std::pair<int, int>> streamSize(sd_bus* bus, const char* service, const char* streamPath,
                                              const char* interface) {
  BusCall call;
  if (sd_bus_get_property(bus, service, streamPath, interface, "Parameters", &call.error, &call.reply,
                          "a{sv}") < 0) {
    return std::nullopt;
  }
  std::optional<std::pair<int, int>> size;
  if (sd_bus_message_enter_container(call.reply, 'a', "{sv}") <= 0) return std::nullopt;
  while (sd_bus_message_enter_container(call.reply, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (sd_bus_message_read_basic(call.reply, 's', &key) < 0) return std::nullopt;
    if (sd_bus_message_peek_type(call.reply, nullptr, &contents) < 0) return std::nullopt;
    if (std::string_view(key) == "size" && contents && std::string_view(contents) == "(ii)") {
      std::int32_t width = 0;
      std::int32_t height = 0;
      if (sd_bus_message_read(call.reply, "v", "(ii)", &width, &height) < 0) return std::nullopt;
      if (saneSize(width, height)) size = std::pair{width, height};
    } else if (sd_bus_message_skip(call.reply, "v") < 0) {
      return std::nullopt;
    }
    if (sd_bus_message_exit_container(call.reply) < 0) return std::nullopt;
  }
  return size;
}

}  // namespace MutterDisplayConfig
}  // namespace vantrel
