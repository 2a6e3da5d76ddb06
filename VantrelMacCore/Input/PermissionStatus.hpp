#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The two grants the agent needs: reading the screen and posting input.
struct PermissionSnapshot {
  bool screenRecordingGranted = false;
  bool accessibilityTrusted = false;

  friend bool operator==(const PermissionSnapshot&, const PermissionSnapshot&) = default;
};

// Reads and requests the grants. On an X11 desktop "screen recording granted" means the display
// can be opened and its pixels read, and "trusted for accessibility" means the display offers
// the XTEST extension. Neither has a prompt or a settings pane: the requests only ask again,
// and opening a pane only says so in a log line. On a GNOME Wayland session each grant means the
// compositor's service (screen cast, remote desktop) answers on the session bus; they need no
// grant, and asking for a pane says so.
namespace PermissionStatus {

// Both answers without any prompt; cheap enough for a poll every 2 seconds.
PermissionSnapshot snapshot();

// Whether synthetic input can be posted (XTEST, or the compositor's remote-desktop service).
bool inputTrusted();

// Why neither grant can ever be had on this desktop (a Wayland desktop without the compositor
// services the agent uses); nothing where the grants are merely missing for now.
std::optional<std::string> unavailableReason();

// Asks for screen-capture access and returns the answer. Cannot fail.
bool requestScreenRecordingAccess();

// Would open the settings pane of the grant. There is none on this desktop, so each writes
// "VantrelMac: the <grant> settings were asked for; this desktop has no such settings pane"
// (an error line) and returns normally.
void openScreenRecordingSettings();
void openAccessibilitySettings();

}  // namespace PermissionStatus
}  // namespace vantrel
