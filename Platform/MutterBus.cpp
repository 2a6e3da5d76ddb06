#include "Platform/MutterBus.hpp"

#include <fmt/format.h>

#include <cstring>
#include <string_view>

namespace vantrel {
namespace {

constexpr int maximumDimension = 32768;

bool saneSize(int width, int height) {
  return width > 0 && height > 0 && width <= maximumDimension && height <= maximumDimension;
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

int BusCall::watchNameOwner(sd_bus* bus, sd_bus_slot** slot, const char* name,
                            sd_bus_message_handler_t handler, void* data) {
  // Bus names hold no quote, so the name goes into the rule as it is.
  if (!name || std::strchr(name, '\'')) return -EINVAL;
  const auto rule = fmt::format(
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='{}'",
      name);
  return sd_bus_add_match(bus, slot, rule.c_str(), handler, data);
}

bool BusCall::formerOwnerLeft(sd_bus_message* m) {
  const char *name = nullptr, *former = nullptr, *next = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &former, &next) < 0) return false;
  return former && *former;
}

std::optional<std::pair<int, int>> mutterStreamSize(sd_bus* bus, const char* streamPath) {
  BusCall call;
  if (sd_bus_get_property(bus, MutterScreenCastService::name, streamPath,
                          MutterScreenCastService::streamInterface, "Parameters", &call.error, &call.reply,
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

}  // namespace vantrel
