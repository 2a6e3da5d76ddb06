#include <gtest/gtest.h>

#include "Platform/X11/XSettings.hpp"
#include "UI/DesktopMotion.hpp"
#include "UI/WindowChrome.hpp"

#include <QTest>

#include <poll.h>

#include <chrono>
#include <functional>

#include "support/PrivateXServer.hpp"
#include "support/QtTestApp.hpp"
#include "support/XSettingsOwner.hpp"

// A desktop's settings daemon, played by a small XSETTINGS owner on an X server of the test's
// own: the program reads the user's animation choice at start and follows it as it changes.

namespace vantrel {
namespace {

using testing::XSettingsOwner;

const XSettingsOwner::Settings animationsOff = {{"Net/ThemeName", std::string("Adwaita")},
                                                {"Gtk/EnableAnimations", std::int32_t{0}}};
const XSettingsOwner::Settings animationsOn = {{"Net/ThemeName", std::string("Adwaita")},
                                               {"Gtk/EnableAnimations", std::int32_t{1}}};

// Takes in the watcher's events until `done` holds, waiting on its connection in between; false
// when nothing more arrives for a long while.
bool waitFor(XSettingsWatcher& watcher, const std::function<bool()>& done) {
  for (;;) {
    watcher.processEvents();
    if (done()) return true;
    pollfd descriptor{watcher.fileDescriptor(), POLLIN, 0};
    if (::poll(&descriptor, 1, 10'000) <= 0) return false;
  }
}

TEST(XSettingsWatcher, FollowsAManagerThatStartsChangesAndLeaves) {
  testing::PrivateXServer server;
  XSettingsWatcher watcher(server.displayName());
  EXPECT_TRUE(watcher.settings().values.empty());  // no manager yet

  XSettingsOwner owner(server.displayName());
  owner.start(animationsOff);
  ASSERT_TRUE(waitFor(watcher, [&] { return watcher.settings().integer("Gtk/EnableAnimations") == 0; }));
  EXPECT_EQ(watcher.settings().values.size(), 2u);

  owner.publish(animationsOn);
  ASSERT_TRUE(waitFor(watcher, [&] { return watcher.settings().integer("Gtk/EnableAnimations") == 1; }));

  owner.stop();
  ASSERT_TRUE(waitFor(watcher, [&] { return watcher.settings().values.empty(); }));

  // A manager already running when the watcher comes is read at once.
  owner.start(animationsOff);
  XSettingsWatcher late(server.displayName());
  EXPECT_EQ(late.settings().integer("Gtk/EnableAnimations"), 0);
}

TEST(XSettingsWatcher, AnswersNothingChangedForAnUnrelatedProperty) {
  testing::PrivateXServer server;
  XSettingsOwner owner(server.displayName());
  owner.start(animationsOff);
  XSettingsWatcher watcher(server.displayName());
  // The same settings written again: an event, but no change to report.
  owner.publish(animationsOff);
  pollfd descriptor{watcher.fileDescriptor(), POLLIN, 0};
  ASSERT_GT(::poll(&descriptor, 1, 10'000), 0);
  EXPECT_FALSE(watcher.processEvents());
  EXPECT_EQ(watcher.settings().integer("Gtk/EnableAnimations"), 0);
}

TEST(DesktopMotionSetting, TheDesktopsChoiceReachesTheWindowsAnimation) {
  testing::uiApp();
  const testing::ReducedMotion unset(nullptr);
  testing::PrivateXServer server;
  XSettingsOwner owner(server.displayName());
  owner.start(animationsOff);
  {
    // Read at start.
    DesktopMotionSetting setting(server.displayName());
    EXPECT_EQ(DesktopMotionSetting::animationsEnabled(), false);
    EXPECT_TRUE(WindowContentResizer::prefersReducedMotion());

    // Followed while the program runs.
    owner.publish(animationsOn);
    EXPECT_TRUE(QTest::qWaitFor([] { return DesktopMotionSetting::animationsEnabled() == true; }, 10'000));
    EXPECT_FALSE(WindowContentResizer::prefersReducedMotion());
    owner.publish(animationsOff);
    EXPECT_TRUE(QTest::qWaitFor([] { return DesktopMotionSetting::animationsEnabled() == false; }, 10'000));

    // The variable overrides the desktop either way.
    {
      const testing::ReducedMotion forced("0");
      EXPECT_FALSE(WindowContentResizer::prefersReducedMotion());
    }
    owner.publish(animationsOn);
    EXPECT_TRUE(QTest::qWaitFor([] { return DesktopMotionSetting::animationsEnabled() == true; }, 10'000));
    {
      const testing::ReducedMotion forced("yes");
      EXPECT_TRUE(WindowContentResizer::prefersReducedMotion());
    }

    // The daemon goes away: no answer, and windows move again.
    owner.publish(animationsOff);
    EXPECT_TRUE(QTest::qWaitFor([] { return DesktopMotionSetting::animationsEnabled() == false; }, 10'000));
    owner.stop();
    EXPECT_TRUE(
        QTest::qWaitFor([] { return !DesktopMotionSetting::animationsEnabled().has_value(); }, 10'000));
    EXPECT_FALSE(WindowContentResizer::prefersReducedMotion());
  }
  // Without the object the process has no desktop answer.
  EXPECT_EQ(DesktopMotionSetting::animationsEnabled(), std::nullopt);
}

TEST(DesktopMotionSetting, ADisplayThatCannotBeReachedGivesNoAnswer) {
  testing::uiApp();
  DesktopMotionSetting setting(std::string(":999"));
  EXPECT_EQ(DesktopMotionSetting::animationsEnabled(), std::nullopt);
}

}  // namespace
}  // namespace vantrel
