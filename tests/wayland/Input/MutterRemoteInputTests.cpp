#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <memory>
#include <string>

#include "Platform/MutterRemoteDesktop.hpp"
#include "Platform/MutterRemoteInput.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;
using testing::WaylandClientProcess;

bool isKeyLine(const std::string& line) { return line.starts_with("key "); }

// A private session with the input recorder full-screen on it and an input layer of its own.
class MutterRemoteInputTest : public ::testing::Test {
 protected:
  void SetUp() override { startRecorder(); }

  void startRecorder() {
    recorder_ = std::make_unique<WaylandClientProcess>(WaylandClientProcess::inputRecorderCommand(),
                                                       WaylandClientProcess::gtkWaylandEnvironment());
    ASSERT_TRUE(recorder_->waitForPrefix("ready")) << "the input recorder did not come up";
  }

  // Moves the pointer somewhere and waits until the recorder saw it there, so that later events
  // are judged against a known position.
  void pointAt(std::int64_t x, std::int64_t y) {
    ASSERT_TRUE(input_->movePointer(x, y));
    const auto expected = "motion " + std::to_string(x) + " " + std::to_string(y);
    ASSERT_TRUE(recorder_->waitForLine([&](const std::string& line) { return line == expected; }))
        << expected << " not among: " << ::testing::PrintToString(recorder_->lines());
  }

  PrivateWaylandSession session_;
  std::shared_ptr<MutterRemoteDesktop> desktop_ = std::make_shared<MutterRemoteDesktop>();
  std::unique_ptr<MutterRemoteInput> input_ = std::make_unique<MutterRemoteInput>(desktop_);
  std::unique_ptr<WaylandClientProcess> recorder_;
};

TEST_F(MutterRemoteInputTest, TheFirstKeyOfANewSessionArrives) {
  // Nothing has been sent before: this press is the session's first key of the manager's.
  ASSERT_TRUE(input_->postKey(XKB_KEY_a, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_a, false));
  const auto press = recorder_->waitForLine(isKeyLine);
  ASSERT_TRUE(press);
  EXPECT_EQ(*press, "key press a 38");
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key release a 38");
  EXPECT_EQ(desktop_->sessionsStarted(), 1u);
}

TEST_F(MutterRemoteInputTest, PointerMovesLandExactlyAndClampToTheMonitor) {
  struct Case {
    std::int64_t x, y;
    int expectedX, expectedY;
  };
  const Case cases[] = {{100, 200, 100, 200}, {1919, 1079, 1919, 1079}, {0, 0, 0, 0},
                        {961, 541, 961, 541}, {5000, -20, 1919, 0},     {-7, 99999, 0, 1079}};
  for (const auto& c : cases) {
    ASSERT_TRUE(input_->movePointer(c.x, c.y)) << c.x << "," << c.y;
    const auto expected = "motion " + std::to_string(c.expectedX) + " " + std::to_string(c.expectedY);
    const auto seen = recorder_->waitForPrefix("motion ");
    ASSERT_TRUE(seen) << "no motion for " << c.x << "," << c.y;
    EXPECT_EQ(*seen, expected);
  }
  EXPECT_EQ(desktop_->streamSize(), (MutterRemoteDesktop::StreamSize{1920, 1080}));
}

TEST_F(MutterRemoteInputTest, EachButtonPressesAndReleasesItsOwnButton) {
  pointAt(300, 400);
  const std::pair<XPointerButton, int> buttons[] = {
      {XPointerButton::left, 1}, {XPointerButton::middle, 2}, {XPointerButton::right, 3}};
  for (const auto& [button, number] : buttons) {
    ASSERT_TRUE(input_->postButton(button, true));
    ASSERT_TRUE(input_->postButton(button, false));
    const auto press = recorder_->waitForPrefix("button ");
    const auto release = recorder_->waitForPrefix("button ");
    ASSERT_TRUE(press && release) << number;
    EXPECT_EQ(*press, "button press " + std::to_string(number) + " 300 400");
    EXPECT_EQ(*release, "button release " + std::to_string(number) + " 300 400");
  }
}

TEST_F(MutterRemoteInputTest, WheelUpScrollsUpAndWheelDownScrollsDown) {
  pointAt(500, 500);
  const std::pair<XPointerButton, std::string> notches[] = {{XPointerButton::wheelUp, "scroll 0 -1"},
                                                            {XPointerButton::wheelDown, "scroll 0 1"},
                                                            {XPointerButton::wheelUp, "scroll 0 -1"}};
  for (const auto& [button, expected] : notches) {
    ASSERT_TRUE(input_->postButton(button, true));
    ASSERT_TRUE(input_->postButton(button, false));
    const auto seen = recorder_->waitForPrefix("scroll ");
    ASSERT_TRUE(seen) << expected;
    EXPECT_EQ(*seen, expected);
  }
}

TEST_F(MutterRemoteInputTest, AKeysymOutsideTheKeymapIsRefusedAndPostsNothing) {
  ASSERT_TRUE(input_->postKey(XKB_KEY_Return, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_Return, false));
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key press Return 36");
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key release Return 36");

  EXPECT_FALSE(input_->postKey(XKB_KEY_eacute, true));
  EXPECT_FALSE(input_->postKey(XKB_KEY_eacute, false));
  // The next key the recorder sees is the one after: é left no trace.
  ASSERT_TRUE(input_->postKey(XKB_KEY_b, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_b, false));
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key press b 56");
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key release b 56");
}

TEST_F(MutterRemoteInputTest, ACompositorCrashFailsCallsUntilItIsBackThenANewSessionServes) {
  ASSERT_TRUE(input_->isAvailable());
  pointAt(10, 20);
  recorder_.reset();
  session_.killCompositor();

  // Whatever the bus thread has learnt so far, every call fails rather than waits for good.
  EXPECT_FALSE(input_->postKey(XKB_KEY_a, true));
  EXPECT_FALSE(input_->movePointer(5, 5));
  EXPECT_FALSE(input_->postButton(XPointerButton::left, true));
  EXPECT_FALSE(input_->isAvailable());

  session_.restart();
  startRecorder();
  ASSERT_TRUE(input_->isAvailable());
  EXPECT_EQ(desktop_->sessionsStarted(), 2u);
  pointAt(640, 480);
  ASSERT_TRUE(input_->postKey(XKB_KEY_c, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_c, false));
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key press c 54");
}

}  // namespace
}  // namespace vantrel
