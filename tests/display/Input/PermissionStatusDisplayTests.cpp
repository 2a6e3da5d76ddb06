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

}  // namespace
}  // namespace vantrel
