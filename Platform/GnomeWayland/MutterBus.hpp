#pragma once

// Small sd-bus helpers and the compositor's names shared by the GNOME Wayland layers (not a
// public layer of its own). The monitor layout is read by MutterDisplayConfig.

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <utility>

namespace vantrel {

// The compositor's screen-cast service, as both the capture (MutterScreenCast) and the input
// session (MutterRemoteDesktop, which records the monitor to place absolute motion) use it.
namespace MutterScreenCastService {
inline constexpr const char* name = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* path = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* interface = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* sessionInterface = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* streamInterface = "org.gnome.Mutter.ScreenCast.Stream";
}  // namespace MutterScreenCastService

// The compositor's remote-desktop service: the session (MutterRemoteDesktop), its input
// (MutterSessionInput) and its clipboard (MutterSessionClipboard).
namespace MutterRemoteDesktopService {
inline constexpr const char* name = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* path = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* interface = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
}  // namespace MutterRemoteDesktopService

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
  // Calls `handler` with `data` whenever the owner of `name` changes on `bus` (the bus daemon's
  // NameOwnerChanged for that name alone); `*slot` holds the match. Returns sd-bus's result.
  static int watchNameOwner(sd_bus* bus, sd_bus_slot** slot, const char* name,
                            sd_bus_message_handler_t handler, void* data);
  // True when a NameOwnerChanged message says that the name's former owner left the bus (it
  // stopped or crashed, or another process took the name over): what it held is gone.
  static bool formerOwnerLeft(sd_bus_message* m);
};

// The "size" of a screen-cast stream's Parameters property, when it has a sane one.
std::optional<std::pair<int, int>> mutterStreamSize(sd_bus* bus, const char* streamPath);

}  // namespace vantrel
