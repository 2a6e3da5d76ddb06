#include "Input/PermissionStatus.hpp"

#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/Backend/DesktopPorts.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel::PermissionStatus {
namespace {

const SystemLog& permissionLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "permissions");
  return log;
}

// There are no per-grant settings panes on an X11 desktop: say in words what was asked for and
// that nothing could be opened, rather than naming another platform's settings address.
void reportNoSettingsPane(std::string_view grant) {
  permissionLog().error("VantrelMac: the {} settings were asked for; this desktop has no such settings pane",
                        grant);
}

// A GNOME compositor's screen-cast and remote-desktop services serve any client of the user's
// session bus: there is nothing to grant, so say that instead.
void reportNoGrantNeeded(std::string_view grant) {
  permissionLog().notice(
      "VantrelMac: the {} settings were asked for; this GNOME Wayland session's compositor "
      "services need no grant",
      grant);
}

bool screenRecordingAnswer() { return DesktopPorts::screenCaptureAllowed(); }

void reportSettings(std::string_view grant) {
  if (DesktopPorts::grantsNeedNoSettings()) return reportNoGrantNeeded(grant);
  reportNoSettingsPane(grant);
}

}  // namespace

bool inputTrusted() { return DesktopPorts::inputPostingAllowed(); }

PermissionSnapshot snapshot() { return PermissionSnapshot{screenRecordingAnswer(), inputTrusted()}; }

std::optional<std::string> unavailableReason() { return DesktopBackend::unsupportedReason(); }

bool requestScreenRecordingAccess() { return screenRecordingAnswer(); }

void openScreenRecordingSettings() { reportSettings("Screen Recording"); }

void openAccessibilitySettings() { reportSettings("Accessibility"); }

}  // namespace vantrel::PermissionStatus
