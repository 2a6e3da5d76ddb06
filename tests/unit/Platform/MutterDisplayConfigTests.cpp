#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/GnomeWayland/MutterDisplayConfig.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {
namespace {

using Mode = MutterDisplayState::Mode;
using Monitor = MutterDisplayState::Monitor;
using Logical = MutterDisplayState::LogicalMonitor;

Monitor monitor(const char* connector, int width, int height) {
  // A preferred larger mode that is not the current one comes first: the size is the current mode's.
  return {connector, "Vendor", connector, {{3840, 2160, false}, {width, height, true}, {640, 480, false}}};
}

TEST(MutterDisplayConfig, ThePrimaryLogicalMonitorComesFirst) {
  MutterDisplayState state;
  state.monitors = {monitor("DP-1", 1920, 1080), monitor("HDMI-1", 2560, 1440)};
  state.logicalMonitors = {Logical{0, 0, 1.0, 0, false, {"DP-1"}},
                           Logical{1920, 0, 2.0, 0, true, {"HDMI-1"}}};
  const auto displays = mutterDisplays(state);
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].connector, "HDMI-1");
  EXPECT_TRUE(displays[0].isPrimary);
  EXPECT_EQ(displays[0].bounds, (ScreenRect{1920, 0, 2560, 1440}));
  EXPECT_EQ(displays[0].scaleRate, 200);
  EXPECT_EQ(displays[0].id, 2u);
  EXPECT_EQ(displays[0].name, "Vendor HDMI-1");
  EXPECT_EQ(displays[1].connector, "DP-1");
  EXPECT_FALSE(displays[1].isPrimary);
  EXPECT_EQ(displays[1].bounds, (ScreenRect{0, 0, 1920, 1080}));
}

TEST(MutterDisplayConfig, WithoutAPrimaryTheFirstLogicalMonitorIsMain) {
  MutterDisplayState state;
  state.monitors = {monitor("A", 800, 600), monitor("B", 1024, 768)};
  state.logicalMonitors = {Logical{1024, 0, 1.0, 0, false, {"B"}}, Logical{0, 0, 1.0, 0, false, {"A"}}};
  const auto displays = mutterDisplays(state);
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].connector, "B");
  EXPECT_TRUE(displays[0].isPrimary);
  EXPECT_FALSE(displays[1].isPrimary);
}

TEST(MutterDisplayConfig, OnlyOneDisplayIsMainWhenSeveralAreFlagged) {
  MutterDisplayState state;
  state.monitors = {monitor("A", 800, 600), monitor("B", 1024, 768)};
  state.logicalMonitors = {Logical{0, 0, 1.0, 0, true, {"A"}}, Logical{800, 0, 1.0, 0, true, {"B"}}};
  const auto displays = mutterDisplays(state);
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].connector, "A");
  EXPECT_TRUE(displays[0].isPrimary);
  EXPECT_FALSE(displays[1].isPrimary);
}

TEST(MutterDisplayConfig, ATurnedMonitorSwapsItsSides) {
  MutterDisplayState state;
  state.monitors = {monitor("A", 1920, 1080)};
  for (const std::uint32_t transform : {1u, 3u, 5u, 7u}) {
    state.logicalMonitors = {Logical{0, 0, 1.0, transform, true, {"A"}}};
    EXPECT_EQ(mutterDisplays(state).at(0).bounds, (ScreenRect{0, 0, 1080, 1920})) << transform;
  }
  for (const std::uint32_t transform : {0u, 2u, 4u, 6u}) {
    state.logicalMonitors = {Logical{0, 0, 1.0, transform, true, {"A"}}};
    EXPECT_EQ(mutterDisplays(state).at(0).bounds, (ScreenRect{0, 0, 1920, 1080})) << transform;
  }
}

TEST(MutterDisplayConfig, AMonitorWithoutACurrentModeOrUnknownIsLeftOut) {
  MutterDisplayState state;
  state.monitors = {Monitor{"OFF", "", "off", {{1920, 1080, false}}}, monitor("A", 1280, 720),
                    Monitor{"HUGE", "", "huge", {{100000, 100, true}}}};
  state.logicalMonitors = {Logical{0, 0, 1.0, 0, true, {"OFF"}}, Logical{0, 0, 1.0, 0, false, {"GONE"}},
                           Logical{0, 0, 1.0, 0, false, {"HUGE"}}, Logical{5, 6, 1.0, 0, false, {"A"}}};
  const auto displays = mutterDisplays(state);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].connector, "A");
  EXPECT_EQ(displays[0].name, "Vendor A");
  EXPECT_TRUE(displays[0].isPrimary);  // the flagged one was left out: the first left is main
  EXPECT_EQ(displays[0].bounds, (ScreenRect{5, 6, 1280, 720}));
}

TEST(MutterDisplayConfig, AMirroredLogicalMonitorTakesItsFirstShownMonitor) {
  MutterDisplayState state;
  state.monitors = {Monitor{"OFF", "", "off", {{640, 480, false}}}, monitor("B", 1600, 900)};
  state.logicalMonitors = {Logical{0, 0, 1.0, 0, true, {"OFF", "B"}}};
  const auto displays = mutterDisplays(state);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].connector, "B");
  EXPECT_EQ(displays[0].name, "Vendor B");
}

TEST(MutterDisplayConfig, ScaleBecomesAPercentage) {
  const struct {
    double scale;
    int rate;
  } cases[] = {{1.0, 100},
               {1.25, 125},
               {1.5, 150},
               {1.75, 175},
               {2.0, 200},
               {3.0, 300},
               {0.999999, 100},
               {1.3333333, 133},
               {0.5, 50},
               {0.0, 100},
               {-2.0, 100},
               {100.0, 100},
               {std::numeric_limits<double>::quiet_NaN(), 100},
               {std::numeric_limits<double>::infinity(), 100}};
  for (const auto& c : cases) EXPECT_EQ(scaleRateFromFactor(c.scale), c.rate) << c.scale;
}

TEST(MutterDisplayConfig, TheLayoutSpansEveryDisplayAndCapturesThePrimary) {
  MutterDisplayState state;
  state.monitors = {monitor("L", 1280, 1024), monitor("R", 1920, 1080)};
  state.logicalMonitors = {Logical{-1280, -100, 1.0, 0, false, {"L"}}, Logical{0, 0, 1.25, 0, true, {"R"}}};
  const auto layout = mutterDisplayLayout(mutterDisplays(state));
  EXPECT_EQ(layout.root, (ScreenRect{-1280, -100, 3200, 1180}));
  EXPECT_EQ(layout.scaleRate, 125);
  ASSERT_EQ(layout.monitors.size(), 2u);
  EXPECT_EQ(layout.mainArea(), (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_EQ(layout.monitors[0].name, "R");
}

TEST(MutterDisplayConfig, NoDisplayIsAnError) {
  EXPECT_THROW((void)mutterDisplayLayout({}), CompositorCaptureError);
  EXPECT_TRUE(mutterDisplays({}).empty());
}

}  // namespace
}  // namespace vantrel
