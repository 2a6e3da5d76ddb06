#include <gtest/gtest.h>

#include "Platform/X11/XDisplayProbe.hpp"

namespace vantrel {
namespace {

struct ScaleCase {
  const char* resources;
  int rate;
};

TEST(XDisplayProbeScale, ComesFromXftDpiAndIsNeverBelowOneHundred) {
  const ScaleCase cases[] = {
      {"", 100},
      {"Xft.dpi:\t96\n", 100},
      {"Xft.dpi:\t192\n", 200},
      {"Xft.dpi:\t144\n", 150},
      {"Xft.dpi: 120.5\n", 126},                // 121 dpi: 126.04 % rounds to 126
      {"Xft.dpi: 120.4\n", 125},                // 120 dpi: 125 %
      {"Xft.dpi:\t192\nXft.dpi:\t144\n", 150},  // the last entry wins
      {"Xft.dpi:\t192\nXft.dpi:\tbad\n", 100},
      {"Xcursor.size:\t24\nXft.dpi:\t192\nXft.hinting:\t1\n", 200},
      {"  Xft.dpi:\t192  \r\n", 200},
      {"Xft.dpi:\t192", 200},     // last line without newline
      {"Xft.dpi:\tabc\n", 100},   // malformed
      {"Xft.dpi:\t192x\n", 100},  // trailing garbage
      {"Xft.dpi:\t9999\n", 100},  // implausible
      {"Xft.dpi:\tnan\n", 100},
      {"Xft.dpix:\t192\n", 100},  // another key
  };
  for (const auto& c : cases)
    EXPECT_EQ(XDisplayProbe::scaleRateFromResources(c.resources), c.rate) << c.resources;
}

}  // namespace
}  // namespace vantrel
