#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/GnomeWayland/MutterRemoteInput.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;
using testing::WaylandClientProcess;

// A key of the test's. A new session taps Shift first, which the compositor may swallow (what the
// tap is for) or, when the session's devices settle early, deliver like any key.
bool isKeyLine(const std::string& line) {
  return line.starts_with("key ") && line.find(" Shift_L ") == std::string::npos;
}

// evdev codes of the keys b, c and d.
constexpr std::uint32_t keyA = 30;
constexpr std::uint32_t keyB = 48;
constexpr std::uint32_t keyC = 46;
constexpr std::uint32_t keyD = 32;

// The fates of posted events, as their completions report them (on the bus thread).
class Outcomes {
 public:
  MutterRemoteDesktop::InputDone expect(const std::string& name) {
    return [this, name](bool taken) {
      std::lock_guard lock(mutex_);
      taken_[name] = taken;
      changed_.notify_all();
    };
  }
  // Bounded by a limit only a hang reaches.
  std::optional<bool> waitFor(const std::string& name) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return taken_.contains(name); });
    const auto found = taken_.find(name);
    return found == taken_.end() ? std::nullopt : std::optional<bool>(found->second);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, bool> taken_;
};

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
    if (!seen) {
      // Tells a motion the compositor never delivered from one the client holds back: GTK keeps
      // a last motion queued until its frame clock flushes it, or until any later event comes.
      (void)input_->postKey(XKB_KEY_Shift_L, true);
      (void)input_->postKey(XKB_KEY_Shift_L, false);
      (void)recorder_->waitForPrefix("key release Shift_L");
    }
    ASSERT_TRUE(seen) << "no motion for " << c.x << "," << c.y
                      << " among (a Shift tap after the limit included): "
                      << ::testing::PrintToString(recorder_->lines());
    EXPECT_EQ(*seen, expected);
  }
  EXPECT_EQ(desktop_->streamSize(), (MutterRemoteDesktop::StreamSize{1920, 1080}));
}

TEST_F(MutterRemoteInputTest, EachButtonPressesAndReleasesItsOwnButton) {
  pointAt(300, 400);
  const std::pair<PointerButton, int> buttons[] = {
      {PointerButton::left, 1}, {PointerButton::middle, 2}, {PointerButton::right, 3}};
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
  const std::pair<PointerButton, std::string> notches[] = {{PointerButton::wheelUp, "scroll 0 -1"},
                                                           {PointerButton::wheelDown, "scroll 0 1"},
                                                           {PointerButton::wheelUp, "scroll 0 -1"}};
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

TEST_F(MutterRemoteInputTest, InputWhileTheCompositorIsGoneIsReportedNotTakenThenANewSessionServes) {
  pointAt(10, 20);
  recorder_.reset();
  session_.killCompositor();

  // Whatever the bus thread has learnt so far, each event is refused at once or reported as not
  // taken, never waits for good.
  Outcomes outcomes;
  const std::pair<std::string, bool> posted[] = {
      {"key", desktop_->keyboardKeycode(keyB, true, outcomes.expect("key"))},
      {"motion", desktop_->pointerMotionAbsolute(5, 5, outcomes.expect("motion"))},
      {"button", desktop_->pointerButton(MutterRemoteInput::buttonLeft, true, outcomes.expect("button"))}};
  for (const auto& [name, queued] : posted) {
    if (queued) {
      EXPECT_EQ(outcomes.waitFor(name), false) << name;
    }
  }

  session_.restart();
  startRecorder();
  ASSERT_TRUE(input_->isAvailable());
  pointAt(640, 480);
  EXPECT_EQ(desktop_->sessionsStarted(), 2u);
  ASSERT_TRUE(input_->postKey(XKB_KEY_c, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_c, false));
  EXPECT_EQ(recorder_->waitForLine(isKeyLine), "key press c 54");
}

TEST_F(MutterRemoteInputTest, APressPastItsLimitNeverLandsAndAPressedKeyIsAlwaysReleased) {
  // The session runs, its devices have settled, and the compositor has answered every call: the
  // client seeing a key is not enough, the answer to its call may still be on its way, and an
  // unanswered call would hold b back past its limit once the compositor stops.
  Outcomes outcomes;
  ASSERT_TRUE(desktop_->keyboardKeycode(keyA, true, outcomes.expect("press a")));
  ASSERT_TRUE(desktop_->keyboardKeycode(keyA, false, outcomes.expect("release a")));
  ASSERT_EQ(recorder_->waitForLine(isKeyLine), "key press a 38");
  ASSERT_EQ(recorder_->waitForLine(isKeyLine), "key release a 38");
  ASSERT_EQ(outcomes.waitFor("press a"), true);
  ASSERT_EQ(outcomes.waitFor("release a"), true);

  {
    session_.pauseCompositor();
    struct Resume {
      PrivateWaylandSession& session;
      ~Resume() { session.resumeCompositor(); }
    } resume{session_};
    // b goes out at once and waits for an answer; c waits behind it past its limit. The releases
    // come while their presses are still undecided.
    ASSERT_TRUE(desktop_->keyboardKeycode(keyB, true, outcomes.expect("press b")));
    ASSERT_TRUE(desktop_->keyboardKeycode(keyC, true, outcomes.expect("press c")));
    ASSERT_TRUE(desktop_->keyboardKeycode(keyB, false, outcomes.expect("release b")));
    ASSERT_TRUE(desktop_->keyboardKeycode(keyC, false, outcomes.expect("release c")));
    // Decided while the compositor still stands still.
    ASSERT_EQ(outcomes.waitFor("press c"), false);
  }
  // d marks the end: everything posted before it has landed or never will.
  ASSERT_TRUE(input_->postKey(XKB_KEY_d, true));
  ASSERT_TRUE(input_->postKey(XKB_KEY_d, false));
  std::vector<std::string> keys;
  while (const auto line = recorder_->waitForLine(isKeyLine)) {
    keys.push_back(*line);
    if (*line == "key release d 40") break;
  }
  // b, sent before the stop, lands late but is released; c, reported as not sent, never lands.
  EXPECT_EQ(keys, (std::vector<std::string>{"key press b 56", "key release b 56", "key press d 40",
                                            "key release d 40"}));
  EXPECT_EQ(outcomes.waitFor("press b"), true);
  EXPECT_EQ(outcomes.waitFor("release b"), true);
}

}  // namespace
}  // namespace vantrel
