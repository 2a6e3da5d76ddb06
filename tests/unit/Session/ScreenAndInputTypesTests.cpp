#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Session/RemoteInputInjecting.hpp"
#include "Session/ScreenStreamingProviding.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(ScreenStreamConfiguration, RateAndIntervalAreAtLeastOne) {
  struct Row {
    long long given;
    long long stored;
  };
  for (const auto& row : std::vector<Row>{{0, 1}, {-5, 1}, {1, 1}, {30, 30}}) {
    SCOPED_TRACE(row.given);
    const ScreenStreamConfiguration c(10, 20, 30, 40, true, row.given, 1000, row.given);
    EXPECT_EQ(c.framesPerSecond(), row.stored);
    EXPECT_EQ(c.keyframeInterval(), row.stored);
    // Sizes are kept exactly as given.
    EXPECT_EQ(c.sourceWidth(), 10);
    EXPECT_EQ(c.sourceHeight(), 20);
    EXPECT_EQ(c.targetWidth(), 30);
    EXPECT_EQ(c.targetHeight(), 40);
    EXPECT_TRUE(c.showsCursor());
  }
  const ScreenStreamConfiguration negative(-1, -2, -3, -4, false, 1, 1, 1);
  EXPECT_EQ(negative.sourceWidth(), -1);
  EXPECT_EQ(negative.targetHeight(), -4);
}

TEST(ScreenStreamConfiguration, DefaultBitrateFollowsTargetArea) {
  struct Row {
    long long width, height, bitrate;
  };
  const std::vector<Row> rows{
      {1920, 1080, 3'000'000}, {3840, 2160, 3'000'000}, {1280, 720, 2'166'667},
      {1440, 900, 2'437'500},  {0, 0, 1'500'001},       {-10, -10, 1'500'001},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height));
    const ScreenStreamConfiguration c(5000, 5000, row.width, row.height, false, 30, std::nullopt, 60);
    EXPECT_EQ(c.averageBitrate(), row.bitrate);
  }
  // The source size plays no part; an explicit bitrate is kept whatever the size.
  EXPECT_EQ(ScreenStreamConfiguration(1, 1, 1920, 1080, false, 30, std::nullopt, 60).averageBitrate(),
            3'000'000);
  EXPECT_EQ(ScreenStreamConfiguration(1, 1, 1, 1, false, 30, 8'000'000, 60).averageBitrate(), 8'000'000);
}

TEST(ScreenStreamError, DescriptionsAndPermissionFlag) {
  struct Row {
    ScreenStreamError error;
    std::string text;
    bool permission;
  };
  const std::vector<Row> rows{
      {ScreenStreamError::startFailed("abc"), "Screen stream start failed: abc", false},
      {ScreenStreamError::encodeFailed("x"), "Screen encode failed: x", false},
      {ScreenStreamError::screenRecordingDenied(), "Screen Recording permission is not granted.", true},
      {ScreenStreamError::noDisplay(), "No shareable display is available for capture.", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(localizedDescription(row.error), row.text);
    EXPECT_EQ(row.error.isPermissionDenied(), row.permission);
    EXPECT_FALSE(row.error.failureReason().has_value());
  }
  EXPECT_EQ(ScreenStreamError::startFailed("a"), ScreenStreamError::startFailed("a"));
  EXPECT_NE(ScreenStreamError::startFailed("a"), ScreenStreamError::encodeFailed("a"));
  EXPECT_NE(ScreenStreamError::startFailed("a"), ScreenStreamError::startFailed("b"));
}

TEST(RemoteInputInjectionError, DescriptionsOfEveryCase) {
  struct Row {
    RemoteInputInjectionError error;
    std::string text;
  };
  const std::vector<Row> rows{
      {RemoteInputInjectionError::unsupportedCommand(171), "Unsupported input command 0xAB"},
      {RemoteInputInjectionError::unsupportedCommand(0), "Unsupported input command 0x00"},
      {RemoteInputInjectionError::unsupportedMode(5), "Unsupported input mode 0x05"},
      {RemoteInputInjectionError::unsupportedMode(255), "Unsupported input mode 0xFF"},
      {RemoteInputInjectionError::unsupportedVirtualKey(300), "Unsupported Windows virtual key 0x12C"},
      {RemoteInputInjectionError::unsupportedVirtualKey(7), "Unsupported Windows virtual key 0x07"},
      // A negative code prints its 32-bit two's-complement form, as a 32-bit %02X does.
      {RemoteInputInjectionError::unsupportedVirtualKey(-1), "Unsupported Windows virtual key 0xFFFFFFFF"},
      {RemoteInputInjectionError::accessibilityDenied(), "Accessibility permission is not granted"},
      {RemoteInputInjectionError::eventCreationFailed(), "CGEvent creation failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(localizedDescription(row.error), row.text);
    EXPECT_FALSE(row.error.failureReason().has_value());
  }
  EXPECT_EQ(RemoteInputInjectionError::accessibilityDenied(),
            RemoteInputInjectionError::accessibilityDenied());
  EXPECT_NE(RemoteInputInjectionError::unsupportedMode(1), RemoteInputInjectionError::unsupportedCommand(1));
  EXPECT_NE(RemoteInputInjectionError::unsupportedMode(1), RemoteInputInjectionError::unsupportedMode(2));
}

}  // namespace
}  // namespace vantrel
