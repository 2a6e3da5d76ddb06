#include <gtest/gtest.h>

#include <cstdlib>

#include "Screen/ScreenCaptureKitService.hpp"
#include "ScreenTestKit.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(ScreenCaptureKitServiceOnX, ListsTheVirtualScreen) {
  asio::io_context io;
  ScreenCaptureKitService service;  // reads DISPLAY
  const auto displays = testing::runAwaitable(io, service.enumerateDisplays());
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_TRUE(displays[0].isMain);
  EXPECT_EQ(displays[0].width, 1920);
  EXPECT_EQ(displays[0].height, 1080);
  EXPECT_NE(displays[0].id, 0u) << "a RandR monitor is identified by its output";
  EXPECT_FALSE(displays[0].displayName.empty());
}

TEST(ScreenCaptureKitServiceOnX, RefusedConnectionIsScreenRecordingDenied) {
  asio::io_context io;
  testing::TemporaryDirectory folder;
  const auto refusing = testing::refusingXServer(folder.path());
  ASSERT_TRUE(refusing) << "xauth could not write the cookie file";
  ScreenCaptureKitService service(refusing->displayName());
  try {
    (void)testing::runAwaitable(io, service.enumerateDisplays());
    FAIL() << "a refusing display was enumerated";
  } catch (const ScreenCaptureServiceError& error) {
    EXPECT_EQ(error, ScreenCaptureServiceError::screenRecordingDenied());
  }
}

TEST(ScreenCaptureKitServiceOnX, DisplayNobodyServesFailsEnumerationWithoutARefusal) {
  asio::io_context io;
  ScreenCaptureKitService service(":4999");
  try {
    (void)testing::runAwaitable(io, service.enumerateDisplays());
    FAIL() << "a display nobody serves was enumerated";
  } catch (const ScreenCaptureServiceError& error) {
    EXPECT_EQ(error, ScreenCaptureServiceError::enumerationFailed(
                         "The X display :4999 cannot be reached: no X server answers there."));
  }
}

}  // namespace
}  // namespace vantrel
