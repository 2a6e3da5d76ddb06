#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include "Platform/GnomeWayland/MutterRemoteInput.hpp"

namespace vantrel {
namespace {

struct KeysymCase {
  const char* name;
  std::uint32_t keysym;
  std::optional<std::uint32_t> evdev;
};

// Linux input event codes from linux/input-event-codes.h.
const KeysymCase usCases[] = {
    {"a", XKB_KEY_a, 30},
    {"A is the key of a", XKB_KEY_A, 30},
    {"Return", XKB_KEY_Return, 28},
    {"Shift_L", XKB_KEY_Shift_L, 42},
    {"F1", XKB_KEY_F1, 59},
    {"space", XKB_KEY_space, 57},
    {"exclam is the key of 1", XKB_KEY_exclam, 2},
    {"eacute", XKB_KEY_eacute, std::nullopt},
    {"Cyrillic zhe", XKB_KEY_Cyrillic_ZHE, std::nullopt},
    {"NoSymbol", XKB_KEY_NoSymbol, std::nullopt},
};

TEST(XkbKeysymMap, AUsMapGivesEachKeysymItsKey) {
  const auto map = XkbKeysymMap::compile({"evdev", "pc105", "us", "", ""});
  ASSERT_NE(map, nullptr);
  for (const auto& c : usCases) EXPECT_EQ(map->evdevCodeFor(c.keysym), c.evdev) << c.name;
}

TEST(XkbKeysymMap, TheLayoutDecidesTheKey) {
  // On a German map z and y swap places, and é has no key either.
  const auto map = XkbKeysymMap::compile({"evdev", "pc105", "de", "", ""});
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->evdevCodeFor(XKB_KEY_z), 21u);
  EXPECT_EQ(map->evdevCodeFor(XKB_KEY_y), 44u);
  EXPECT_EQ(map->evdevCodeFor(XKB_KEY_eacute), std::nullopt);
}

}  // namespace
}  // namespace vantrel
