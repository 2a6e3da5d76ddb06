#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Input/AccessibilityInputService.hpp"
#include "Input/PermissionStatus.hpp"
#include "Platform/XTestInput.hpp"
#include "Support/SystemLog.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

TEST(PermissionStatus, NothingIsGrantedWithoutAReachableDisplay) {
  testing::NoDisplay noDisplay;
  EXPECT_EQ(PermissionStatus::snapshot(), (PermissionSnapshot{false, false}));
  EXPECT_FALSE(PermissionStatus::requestScreenRecordingAccess());
  const AccessibilityInputService service;
  EXPECT_FALSE(service.isAccessibilityTrusted());
  service.requestAccessibilityAccess();
  EXPECT_FALSE(service.isAccessibilityTrusted());

  XTestInput input;
  EXPECT_FALSE(input.isAvailable());
  EXPECT_FALSE(input.movePointer(1, 1));
  EXPECT_FALSE(input.postKey(0x61, true));
}

TEST(PermissionStatus, OpeningASettingsPaneLogsTheFailureAndReturns) {
  MemoryLogSink sink;
  PermissionStatus::openScreenRecordingSettings();
  PermissionStatus::openAccessibilitySettings();
  const auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message,
            "VantrelMac: failed to open Settings URL "
            "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture: "
            "System Settings panes are not available on this desktop");
  EXPECT_EQ(entries[1].message,
            "VantrelMac: failed to open Settings URL "
            "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility: "
            "System Settings panes are not available on this desktop");
  EXPECT_EQ(entries[0].level, LogLevel::error);
}

}  // namespace
}  // namespace vantrel
