#include "Input/PermissionStatus.hpp"

#include "Platform/XDisplayProbe.hpp"
#include "Platform/XTestInput.hpp"
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

}  // namespace

PermissionSnapshot snapshot() {
  return PermissionSnapshot{XDisplayProbe::canCaptureScreen(), XTestInput::probeAvailable()};
}

bool requestScreenRecordingAccess() { return XDisplayProbe::canCaptureScreen(); }

void openScreenRecordingSettings() { reportNoSettingsPane("Screen Recording"); }

void openAccessibilitySettings() { reportNoSettingsPane("Accessibility"); }

}  // namespace vantrel::PermissionStatus
