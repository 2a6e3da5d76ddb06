#pragma once

// Which window system the screen, input, clipboard and permission layers work through, decided
// once per process from the desktop session the program runs in:
//   - x11: an X server (DISPLAY), through Xlib, XShm, XDamage and XTest;
//   - gnomeWayland: a GNOME Wayland session, through the compositor's own screen-cast and
//     remote-desktop services on the session bus (org.gnome.Mutter.*) and PipeWire.
// A Wayland session whose compositor offers neither is `unsupportedWayland`: capture and input
// then fail with `unsupportedReason()` rather than reading an X server that sees none of it.
//
// VANTREL_DESKTOP_BACKEND ("x11" or "wayland") forces the choice (tests); otherwise a session
// whose XDG_SESSION_TYPE is "wayland", or that names a WAYLAND_DISPLAY, is a Wayland session.

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

enum class DesktopBackendKind { x11, gnomeWayland, unsupportedWayland };

namespace DesktopBackend {

// What the environment asks for: x11, or Wayland (nullopt) still to be probed. Pure, for tests.
// `forced` is VANTREL_DESKTOP_BACKEND, `sessionType` XDG_SESSION_TYPE, `waylandDisplay`
// WAYLAND_DISPLAY (null when unset).
bool asksForWayland(const char* forced, const char* sessionType, const char* waylandDisplay) noexcept;

// The backend of this process: decided on the first call (which logs the choice, and on a
// Wayland session asks the session bus which services are there) and the same ever after.
// Thread-safe.
DesktopBackendKind current();

// True when current() is a Wayland kind.
bool isWayland();

// The text shown and logged when the session is Wayland but the compositor offers none of the
// services the agent needs; nullopt otherwise.
std::optional<std::string> unsupportedReason();

}  // namespace DesktopBackend
}  // namespace vantrel
