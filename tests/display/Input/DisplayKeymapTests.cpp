// The keyboard map the Wayland input layer takes from Xwayland is the one the X server has at that
// moment: a layout set on the server (as the compositor sets the user's) decides the key codes.

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include "Platform/GnomeWayland/MutterRemoteInput.hpp"
#include "support/ChildProcess.hpp"
#include "support/PrivateXServer.hpp"

namespace vantrel {
namespace {

TEST(DisplayKeymap, FollowsTheLayoutTheServerHas) {
  testing::PrivateXServer server;
  ASSERT_EQ(testing::runProgram({"setxkbmap", "-display", server.displayName(), "us"}), 0);
  const auto us = XkbKeysymMap::fromDisplay(server.displayName().c_str());
  ASSERT_NE(us, nullptr);
  EXPECT_EQ(us->evdevCodeFor(XKB_KEY_z), 44u);
  EXPECT_EQ(us->evdevCodeFor(XKB_KEY_a), 30u);

  ASSERT_EQ(testing::runProgram({"setxkbmap", "-display", server.displayName(), "de"}), 0);
  const auto german = XkbKeysymMap::fromDisplay(server.displayName().c_str());
  ASSERT_NE(german, nullptr);
  EXPECT_EQ(german->evdevCodeFor(XKB_KEY_z), 21u);
  EXPECT_EQ(german->evdevCodeFor(XKB_KEY_y), 44u);
  EXPECT_EQ(german->evdevCodeFor(XKB_KEY_odiaeresis), 39u);
}

TEST(DisplayKeymap, NoServerGivesNoMap) { EXPECT_EQ(XkbKeysymMap::fromDisplay(":4093"), nullptr); }

}  // namespace
}  // namespace vantrel
