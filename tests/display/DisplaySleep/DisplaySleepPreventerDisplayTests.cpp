#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "Model/Connection/DisplaySleepPreventer.hpp"
#include "Platform/X11/ScreenSaverDisplaySleepAssertion.hpp"
#include "support/AsyncTest.hpp"
#include "support/CallerThread.hpp"
#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// An observer of the X server's screen saver on a connection of its own: it sets a one-second
// idle time-out and receives the extension's notify events.
class ScreenSaverObserver {
 public:
  ScreenSaverObserver() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    int errorBase = 0;
    hasExtension_ = XScreenSaverQueryExtension(display_, &eventBase_, &errorBase);
    if (!hasExtension_) return;
    XGetScreenSaver(display_, &savedTimeout_, &savedInterval_, &savedBlanking_, &savedExposures_);
    XSetScreenSaver(display_, 1, 0, DontPreferBlanking, AllowExposures);
    XScreenSaverSelectInput(display_, DefaultRootWindow(display_), ScreenSaverNotifyMask);
    XSync(display_, False);
  }
  ~ScreenSaverObserver() {
    if (!display_) return;
    if (hasExtension_) {
      XSetScreenSaver(display_, savedTimeout_, savedInterval_, savedBlanking_, savedExposures_);
      XResetScreenSaver(display_);
    }
    XCloseDisplay(display_);
  }
  ScreenSaverObserver(const ScreenSaverObserver&) = delete;
  ScreenSaverObserver& operator=(const ScreenSaverObserver&) = delete;

  bool usable() const { return display_ && hasExtension_; }

  XScreenSaverInfo query() {
    XScreenSaverInfo info{};
    XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), &info);
    return info;
  }

  // Turns the saver off and forgets earlier notifications.
  void reset() {
    XResetScreenSaver(display_);
    XSync(display_, True);
  }

  // Waits for the saver to come on; with `idleLimit`, gives up (false) once the server reports
  // that much idle time without it coming on. The wait is on the server's own clock: its
  // time-out cannot be driven by the test's.
  bool waitForSaverOn(std::optional<std::chrono::milliseconds> idleLimit) {
    const auto deadline = std::chrono::steady_clock::now() + testing::hangGuard;
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == eventBase_ + ScreenSaverNotify &&
            reinterpret_cast<XScreenSaverNotifyEvent*>(&event)->state == ScreenSaverOn) {
          return true;
        }
      }
      const auto info = query();
      if (info.state == ScreenSaverOn) return true;
      int waitMs = 100;
      if (idleLimit) {
        const auto idle = std::chrono::milliseconds(info.idle);
        if (idle >= *idleLimit) return false;
        waitMs = static_cast<int>((*idleLimit - idle).count()) + 1;
      }
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&fd, 1, waitMs);
    }
    return false;
  }

 private:
  Display* display_;
  bool hasExtension_ = false;
  int eventBase_ = 0;
  int savedTimeout_ = 0;
  int savedInterval_ = 0;
  int savedBlanking_ = 0;
  int savedExposures_ = 0;
};

TEST(DisplaySleepPreventerOnX, TheSaverStaysOffWhileHeldAndComesOnAfterRelease) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  ScreenSaverObserver observer;
  ASSERT_TRUE(observer.usable()) << "the X server lacks MIT-SCREEN-SAVER";

  // Unheld, the server's one-second time-out does start the saver (so the next part means
  // something).
  observer.reset();
  ASSERT_TRUE(observer.waitForSaverOn(std::nullopt));

  DisplaySleepPreventer preventer;
  observer.reset();
  ASSERT_TRUE(preventer.start());
  ASSERT_TRUE(preventer.start());
  // Well past the time-out, the saver has not come on.
  EXPECT_FALSE(observer.waitForSaverOn(2500ms));
  const auto held = observer.query();
  EXPECT_EQ(held.state, ScreenSaverOff);
  EXPECT_GE(held.idle, 2500u);

  preventer.stop();
  EXPECT_TRUE(observer.waitForSaverOn(std::nullopt)) << "released, the time-out applies again";
  observer.reset();
}

TEST(DisplaySleepPreventerOnX, DeclaringActivityTurnsAnActiveSaverOff) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  ScreenSaverObserver observer;
  ASSERT_TRUE(observer.usable());
  observer.reset();
  ASSERT_TRUE(observer.waitForSaverOn(std::nullopt));
  ScreenSaverDisplaySleepAssertion assertion;
  EXPECT_TRUE(assertion.declareUserActivity());
  EXPECT_EQ(observer.query().state, ScreenSaverOff);
  observer.reset();
}

TEST(DisplaySleepPreventerOnX, WithoutADisplayNothingIsHeld) {
  ScreenSaverDisplaySleepAssertion unreachable(":4093");
  EXPECT_FALSE(unreachable.declareUserActivity());
  EXPECT_FALSE(unreachable.acquire());
  unreachable.release();
  DisplaySleepPreventer preventer(std::make_shared<ScreenSaverDisplaySleepAssertion>(":4093"));
  EXPECT_FALSE(preventer.start());
  EXPECT_FALSE(preventer.isHeld());
}

// How many descriptors the process has open.
std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// The server is killed and started again between calls from two threads. A connection the
// server dropped is closed (its descriptor with it) by the call that noticed, and the other
// thread's next call holds the display on the new server.
TEST(DisplaySleepAssertionServerLoss, ALostConnectionIsClosedAtOnceAndReplacedFromAnyThread) {
  testing::PrivateXServer server;
  auto assertion = std::make_shared<ScreenSaverDisplaySleepAssertion>(server.displayName());
  testing::CallerThread first;
  testing::CallerThread second;
  const auto descriptorsBefore = openDescriptors();
  constexpr int cycles = 20;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    testing::CallerThread& seesTheLoss = cycle % 2 == 0 ? first : second;
    testing::CallerThread& other = cycle % 2 == 0 ? second : first;
    ASSERT_EQ(seesTheLoss.run([assertion] { return assertion->acquire(); }), std::optional(true));
    EXPECT_EQ(openDescriptors(), descriptorsBefore + 1);
    server.stop();
    ASSERT_EQ(seesTheLoss.run([assertion] { return assertion->acquire(); }), std::optional(false));
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "the lost connection is still open";
    ASSERT_EQ(other.run([assertion] { return assertion->declareUserActivity(); }), std::optional(false));
    server.restart();
    ASSERT_EQ(other.run([assertion] { return assertion->acquire(); }), std::optional(true))
        << "the display is not held again after the server came back";
    ASSERT_EQ(other.run([assertion] {
      assertion->release();
      return true;
    }),
              std::optional(true));
  }
}

}  // namespace
}  // namespace vantrel
