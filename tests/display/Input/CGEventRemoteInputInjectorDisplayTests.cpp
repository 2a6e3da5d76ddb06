#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <memory>
#include <vector>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Platform/X11/XTestInput.hpp"
#include "Support/Clock.hpp"
#include "XEventRecorder.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::queryPointer;
using testing::RecordedXEvent;
using testing::XEventRecorder;

LegacyInputPacket packet(std::uint8_t mode, std::int32_t x = 0, std::int32_t y = 0,
                         std::uint8_t command = 50) {
  LegacyInputPacket p;
  p.command = command;
  p.mode = mode;
  p.x = x;
  p.y = y;
  return p;
}

// Each test starts with the pointer parked at (1, 1), no button held, and a recorder watching.
class InjectorDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XTestInput park;
    ASSERT_TRUE(park.movePointer(1, 1));
    ASSERT_TRUE(recorder.isRecording());
    recorder.settle();
    recorder.clear();
  }

  ManualClock clock;
  XEventRecorder recorder;
  std::unique_ptr<CGEventRemoteInputInjector> injector = std::make_unique<CGEventRemoteInputInjector>();
};

TEST_F(InjectorDisplayTest, EachButtonPressesAndReleasesAtThePacketsPosition) {
  struct Case {
    std::uint8_t down;
    std::uint8_t up;
    unsigned button;
    unsigned mask;
  };
  const Case cases[] = {{2, 4, 1, Button1Mask}, {8, 16, 3, Button3Mask}, {32, 64, 2, Button2Mask}};
  int offset = 0;
  for (const auto& c : cases) {
    recorder.clear();
    offset += 100;
    injector->inject(packet(c.down, 200 + offset, 300));
    const auto held = queryPointer();
    EXPECT_NE(held.mask & c.mask, 0u) << c.button;
    EXPECT_EQ(held.x, 200 + offset);
    injector->inject(packet(c.up, 200 + offset, 300));
    EXPECT_EQ(queryPointer().mask & c.mask, 0u) << c.button;

    // The pointer goes to the packet's position before each press and release (moving to where
    // it already is may or may not produce a motion event); then the button goes down and up.
    const auto events = recorder.settle();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), (RecordedXEvent{MotionNotify, 0, 200 + offset, 300}));
    std::vector<RecordedXEvent> buttons;
    for (const auto& event : events) {
      if (event.type == MotionNotify) {
        EXPECT_EQ(event, (RecordedXEvent{MotionNotify, 0, 200 + offset, 300}));
      } else {
        buttons.push_back(event);
      }
    }
    const std::vector<RecordedXEvent> expected{{ButtonPress, c.button, 200 + offset, 300},
                                               {ButtonRelease, c.button, 200 + offset, 300}};
    EXPECT_EQ(buttons, expected);
  }
}

TEST_F(InjectorDisplayTest, KeyDownAndUpPressTheMappedKey) {
  const unsigned keycodeA = testing::keycodeFor(XK_a);
  const unsigned keycodeF5 = testing::keycodeFor(XK_F5);
  ASSERT_NE(keycodeA, 0u);
  injector->inject(packet(5, 0x41));
  EXPECT_TRUE(testing::isKeyDown(XK_a));
  injector->inject(packet(6, 0x41));
  EXPECT_FALSE(testing::isKeyDown(XK_a));
  injector->inject(packet(5, 0x74));  // F5
  injector->inject(packet(6, 0x74));
  const auto events = recorder.waitForCount(4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].type, KeyPress);
  EXPECT_EQ(events[0].detail, keycodeA);
  EXPECT_EQ(events[1].type, KeyRelease);
  EXPECT_EQ(events[1].detail, keycodeA);
  EXPECT_EQ(events[2].type, KeyPress);
  EXPECT_EQ(events[2].detail, keycodeF5);
  EXPECT_EQ(events[3].type, KeyRelease);
}

TEST_F(InjectorDisplayTest, WheelClicksButtonsFourAndFive) {
  injector->inject(packet(136, 240));
  injector->inject(packet(136, -120));
  const auto events = recorder.waitForCount(6);
  ASSERT_EQ(events.size(), 6u);
  const int expectedTypes[] = {ButtonPress,   ButtonRelease, ButtonPress,
                               ButtonRelease, ButtonPress,   ButtonRelease};
  const unsigned expectedButtons[] = {4, 4, 4, 4, 5, 5};
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].type, expectedTypes[i]) << i;
    EXPECT_EQ(events[i].detail, expectedButtons[i]) << i;
  }
}

TEST_F(InjectorDisplayTest, HeldKeysAndButtonsAreReleasedWhenTheSessionsInjectorGoes) {
  injector->inject(packet(5, 0xA0));  // left Shift
  injector->inject(packet(2, 50, 60));
  EXPECT_TRUE(testing::isKeyDown(XK_Shift_L));
  EXPECT_NE(queryPointer().mask & Button1Mask, 0u);
  injector.reset();
  EXPECT_FALSE(testing::isKeyDown(XK_Shift_L));
  EXPECT_EQ(queryPointer().mask & Button1Mask, 0u);
}

}  // namespace
}  // namespace vantrel
