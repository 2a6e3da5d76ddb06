#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Input/AccessibilityInputService.hpp"
#include "Input/PermissionStatus.hpp"
#include "Platform/Backend/DesktopBackend.hpp"
#include "Platform/X11/XTestInput.hpp"
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

TEST(PermissionStatus, OpeningASettingsPaneSaysInWordsThatThereIsNone) {
  // The desktop is chosen (and logged) before the log is watched: an X11 one.
  const testing::ScopedEnvironmentVariable x11("VANTREL_DESKTOP_BACKEND", "x11");
  ASSERT_EQ(DesktopBackend::current(), DesktopBackendKind::x11);
  MemoryLogSink sink;
  PermissionStatus::openScreenRecordingSettings();
  PermissionStatus::openAccessibilitySettings();
  const auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(
      entries[0].message,
      "VantrelMac: the Screen Recording settings were asked for; this desktop has no such settings pane");
  EXPECT_EQ(entries[1].message,
            "VantrelMac: the Accessibility settings were asked for; this desktop has no such settings pane");
  // No address of another platform's settings application.
  for (const auto& entry : entries) EXPECT_EQ(entry.message.find("x-apple"), std::string::npos);
  EXPECT_EQ(entries[0].level, LogLevel::error);
}

}  // namespace
}  // namespace vantrel
