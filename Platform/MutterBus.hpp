#pragma once

// Small sd-bus helpers shared by the GNOME Wayland layers (not a public layer of its own).

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <utility>

namespace vantrel {

// The error and reply of one synchronous call, freed with it.
struct BusCall {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;

  BusCall() = default;
  ~BusCall();
  BusCall(const BusCall&) = delete;
  BusCall& operator=(const BusCall&) = delete;

  // "name: message" of a D-Bus error, else the errno text of `r`.
  static std::string describe(int r, const sd_bus_error& error);
  // True when `name` has an owner on `bus`.
  static bool nameHasOwner(sd_bus* bus, const char* name);
};

namespace MutterDisplayConfig {

struct Monitor {
  std::string connector;
  int width = 0;
  int height = 0;
};

// The primary monitor of org.gnome.Mutter.DisplayConfig.GetCurrentState (else the first one) and
// the size of its current mode; nullopt when the reply names none or is malformed.
std::optional<Monitor> primaryMonitor(sd_bus* bus);

// The "size" of a screen-cast stream's Parameters property, when it has a sane one.
std::optional<std::pair<int, int>> streamSize(sd_bus* bus, const char* service, const char* streamPath,
                                              const char* interface);

}  // namespace MutterDisplayConfig
}  // namespace vantrel
