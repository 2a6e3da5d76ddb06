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

// What the launch of a settings link fails with on this desktop.
constexpr std::string_view noSettingsPaneDescription =
    "System Settings panes are not available on this desktop";

void reportSettingsLinkFailure(std::string_view link) {
  permissionLog().error("VantrelMac: failed to open Settings URL {}: {}", link, noSettingsPaneDescription);
}

}  // namespace

PermissionSnapshot snapshot() {
  return PermissionSnapshot{XDisplayProbe::canCaptureScreen(), XTestInput::probeAvailable()};
}

bool requestScreenRecordingAccess() { return XDisplayProbe::canCaptureScreen(); }

void openScreenRecordingSettings() { reportSettingsLinkFailure(screenRecordingSettingsLink); }

void openAccessibilitySettings() { reportSettingsLinkFailure(accessibilitySettingsLink); }

}  // namespace vantrel::PermissionStatus
