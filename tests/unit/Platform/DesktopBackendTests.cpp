#include <gtest/gtest.h>

#include "Platform/Backend/DesktopBackend.hpp"

namespace vantrel {
namespace {

struct Case {
  const char* forced;
  const char* sessionType;
  const char* waylandDisplay;
  bool wayland;
};

// The forcing variable wins either way; then the session type; a Wayland socket alone counts only
// where the session type says nothing (an X session that happens to export one stays X11).
TEST(DesktopBackendChoice, FollowsTheForcingVariableThenTheSessionTypeThenTheSocket) {
  const Case cases[] = {
      {nullptr, nullptr, nullptr, false},   {nullptr, "x11", nullptr, false},
      {nullptr, "wayland", nullptr, true},  {nullptr, "Wayland", nullptr, true},
      {nullptr, "tty", "wayland-0", false}, {nullptr, "x11", "wayland-0", false},
      {nullptr, "", "wayland-0", true},     {nullptr, nullptr, "wayland-0", true},
      {nullptr, nullptr, "", false},        {"x11", "wayland", "wayland-0", false},
      {"wayland", "x11", nullptr, true},    {"WAYLAND", nullptr, nullptr, true},
      {"", "wayland", nullptr, true},       {"wayland-ish", "wayland", nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DesktopBackend::asksForWayland(c.forced, c.sessionType, c.waylandDisplay), c.wayland)
        << (c.forced ? c.forced : "-") << " " << (c.sessionType ? c.sessionType : "-") << " "
        << (c.waylandDisplay ? c.waylandDisplay : "-");
  }
}

}  // namespace
}  // namespace vantrel
