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

TEST(ScreenCaptureKitServiceOnX, ListsAPrivateServerOfAnotherSize) {
  testing::PrivateXServer server(2560, 1440);
  asio::io_context io;
  ScreenCaptureKitService service(server.displayName());
  const auto displays = testing::runAwaitable(io, service.enumerateDisplays());
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].summary(), displays[0].displayName + " (main) \u2014 2560\u00D71440");
}

TEST(ScreenCaptureKitServiceOnX, RefusedConnectionIsScreenRecordingDenied) {
  asio::io_context io;
  ScreenCaptureKitService service(":4999");
  try {
    (void)testing::runAwaitable(io, service.enumerateDisplays());
    FAIL() << "a display nobody serves was enumerated";
  } catch (const ScreenCaptureServiceError& error) {
    EXPECT_EQ(error, ScreenCaptureServiceError::screenRecordingDenied());
  }
}

}  // namespace
}  // namespace vantrel
