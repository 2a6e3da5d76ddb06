#include <gtest/gtest.h>

#include "Platform/X11/X11DisplayCapture.hpp"
#include "Screen/DisplayInfo.hpp"
#include "Screen/ScreenCaptureKitService.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

TEST(DisplayInfo, SummaryTable) {
  struct Case {
    DisplayInfo info;
    std::string summary;
  };
  const std::vector<Case> cases{
      {{1, 2560, 1440, "DP-1", true}, "DP-1 (main) \u2014 2560\u00D71440"},
      {{7, 1920, 1080, "HDMI-A-0", false}, "HDMI-A-0 \u2014 1920\u00D71080"},
      {{69, 1280, 720, "", false}, "Display 69 \u2014 1280\u00D7720"},
      {{4294967295u, 0, 0, "", true}, "Display 4294967295 (main) \u2014 0\u00D70"},
      {{3, 800, 600, "모니터", true}, "모니터 (main) \u2014 800\u00D7600"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.info.summary(), c.summary);
  // The exact bytes of the separators: blank, em dash (E2 80 94), blank; multiplication sign (C3 97).
  EXPECT_EQ(DisplayInfo({1, 3, 4, "A", false}).summary(),
            "A \xE2\x80\x94 3\xC3\x97"
            "4");
}

TEST(ScreenCaptureKitService, ListsTheMainMonitorFirstThenByAscendingId) {
  DisplayLayout layout;
  layout.root = {0, 0, 5760, 1440};
  layout.hasRandrMonitors = true;
  layout.monitors = {{90, "DP-3", {3200, 0, 2560, 1440}, false},
                     {66, "eDP-1", {0, 0, 1280, 800}, false},
                     {80, "HDMI-1", {1280, 0, 1920, 1080}, true}};
  const auto list = ScreenCaptureKitService::displays(layout);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (DisplayInfo{80, 1920, 1080, "HDMI-1", true}));
  EXPECT_EQ(list[1], (DisplayInfo{66, 1280, 800, "eDP-1", false}));
  EXPECT_EQ(list[2], (DisplayInfo{90, 2560, 1440, "DP-3", false}));
}

TEST(ScreenCaptureKitService, WithoutPrimaryTheFirstMonitorIsMainAsForTheStream) {
  DisplayLayout layout;
  layout.root = {0, 0, 3840, 1080};
  layout.hasRandrMonitors = true;
  layout.monitors = {{9, "B", {1920, 0, 1920, 1080}, false}, {4, "A", {0, 0, 1920, 1080}, false}};
  const auto list = ScreenCaptureKitService::displays(layout);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, 9u);
  EXPECT_TRUE(list[0].isMain);
  EXPECT_EQ(list[1].id, 4u);
  EXPECT_FALSE(list[1].isMain);
  EXPECT_EQ(layout.mainArea(), (ScreenRect{1920, 0, 1920, 1080}));
}

TEST(ScreenCaptureKitService, WithoutRandrTheRootWindowIsTheOnlyDisplay) {
  DisplayLayout layout;
  layout.root = {0, 0, 1024, 768};
  EXPECT_EQ(ScreenCaptureKitService::displays(layout), (std::vector<DisplayInfo>{{0, 1024, 768, "", true}}));
  layout.hasRandrMonitors = true;
  EXPECT_TRUE(ScreenCaptureKitService::displays(layout).empty());
}

TEST(ScreenCaptureKitService, NoDisplayNameIsAnEnumerationFailure) {
  asio::io_context io;
  ScreenCaptureKitService service{std::string()};
  try {
    (void)testing::runAwaitable(io, service.enumerateDisplays());
    FAIL() << "enumerated without a display";
  } catch (const ScreenCaptureServiceError& error) {
    EXPECT_EQ(error.kind(), ScreenCaptureServiceError::Case::enumerationFailed);
    EXPECT_EQ(error.localizedDescription(),
              "Failed to enumerate shareable displays: No X display is set (DISPLAY is empty).");
  }
}

}  // namespace
}  // namespace vantrel
