#pragma once

// Small sd-bus helpers and the compositor's names shared by the GNOME Wayland layers (not a
// public layer of its own). The monitor layout is read by MutterDisplayConfig.

#include <systemd/sd-bus.h>

#include <cstdint>
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

// The compositor's display configuration: the monitor layout (MutterDisplayConfig).
namespace MutterDisplayConfigService {
inline constexpr const char* name = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* path = "/org/gnome/Mutter/DisplayConfig";
inline constexpr const char* interface = "org.gnome.Mutter.DisplayConfig";
}  // namespace MutterDisplayConfigService

// How long one question asked on a connection of its own may take. The bus daemon answers
// NameHasOwner from its own table and the compositor answers GetCurrentState in milliseconds, so
// 3 s is far beyond an answer even on a loaded machine; a session bus that hangs then holds the
// start-up probe (two questions) for 6 s rather than sd-bus's default of 25 s per call.
inline constexpr std::uint64_t oneCallTimeoutMicroseconds = 3'000'000;

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
  // A connection of its own to the user's session bus whose method calls give up after
  // `callTimeoutMicroseconds`; nullptr when there is none (`*error`, when given, receives
  // sd-bus's negative errno).
  static sd_bus* openUserBus(std::uint64_t callTimeoutMicroseconds, int* error = nullptr);
  // A connection of its own for one question: openUserBus(oneCallTimeoutMicroseconds) whose
  // handshake with the bus has also ended within that time (sd-bus's own limit for it is 25 s,
  // which the call timeout does not shorten); nullptr otherwise (`*error` as above, -ETIMEDOUT
  // when the bus did not answer the handshake in time).
  static sd_bus* openUserBusForOneCall(int* error = nullptr);
  // True when `name` has an owner on the user's session bus now: a connection of its own, one
  // question within oneCallTimeoutMicroseconds, closed again. False without a bus or an answer.
  static bool userBusHasName(const char* name);
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
