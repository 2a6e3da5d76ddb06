#include <gtest/gtest.h>

#include "Input/AccessibilityInputService.hpp"
#include "Input/PermissionStatus.hpp"

namespace vantrel {
namespace {

TEST(PermissionStatusDisplay, BothGrantedOnAReachableServerWithXTest) {
  const auto snapshot = PermissionStatus::snapshot();
  EXPECT_TRUE(snapshot.screenRecordingGranted);
  EXPECT_TRUE(snapshot.accessibilityTrusted);
  EXPECT_TRUE(PermissionStatus::requestScreenRecordingAccess());
}

TEST(PermissionStatusDisplay, AccessibilityServiceAgreesWithTheSnapshot) {
  const AccessibilityInputService service;
  const InputInjecting& input = service;
  EXPECT_TRUE(input.isAccessibilityTrusted());
  input.requestAccessibilityAccess();
  EXPECT_EQ(input.isAccessibilityTrusted(), PermissionStatus::snapshot().accessibilityTrusted);
}

}  // namespace
}  // namespace vantrel
