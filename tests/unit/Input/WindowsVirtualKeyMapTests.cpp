#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#define XK_KOREAN
#include <X11/keysymdef.h>

#include <set>

#include "Input/WindowsVirtualKeyMap.hpp"

namespace vantrel {
namespace {

using WindowsVirtualKeyMap::xKeysym;

struct KeyCase {
  std::int32_t virtualKey;
  std::uint32_t keysym;
};

TEST(WindowsVirtualKeyMap, EachGroupMapsToItsKeysym) {
  for (std::int32_t vk = 'A'; vk <= 'Z'; ++vk) {
    EXPECT_EQ(xKeysym(vk), static_cast<std::uint32_t>('a' + (vk - 'A'))) << vk;
  }
  // Lower-case ASCII codes are other virtual keys (keypad and function keys), never letters.
  const KeyCase cases[] = {
      {'a', XK_KP_1},       {0x30, XK_0},        {0x39, XK_9},         {0x70, XK_F1},
      {0x87, XK_F24},       {0x60, XK_KP_0},     {0x6F, XK_KP_Divide}, {0x90, XK_Num_Lock},
      {0x08, XK_BackSpace}, {0x0C, XK_KP_Begin}, {0x0D, XK_Return},    {0x21, XK_Prior},
      {0x22, XK_Next},      {0x25, XK_Left},     {0x28, XK_Down},      {0x2E, XK_Delete},
      {0x10, XK_Shift_L},   {0xA1, XK_Shift_R},  {0xA3, XK_Control_R}, {0xA5, XK_Alt_R},
      {0x5B, XK_Super_L},   {0x5D, XK_Menu},     {0x15, XK_Hangul},    {0x19, XK_Hangul_Hanja},
  };
  for (const auto& c : cases) EXPECT_EQ(xKeysym(c.virtualKey), c.keysym) << std::hex << c.virtualKey;
}

TEST(WindowsVirtualKeyMap, OemKeysMapToTheUnshiftedSymbolOfTheSameKey) {
  const KeyCase cases[] = {
      {0xBA, XK_semicolon}, {0xBB, XK_equal},        {0xBC, XK_comma},      {0xBD, XK_minus},
      {0xBE, XK_period},    {0xBF, XK_slash},        {0xC0, XK_grave},      {0xDB, XK_bracketleft},
      {0xDC, XK_backslash}, {0xDD, XK_bracketright}, {0xDE, XK_apostrophe}, {0xE2, XK_less},
  };
  for (const auto& c : cases) EXPECT_EQ(xKeysym(c.virtualKey), c.keysym) << std::hex << c.virtualKey;
}

TEST(WindowsVirtualKeyMap, UnmappedCodesHaveNoKeysym) {
  // Mouse buttons, undefined and reserved codes, media keys, out-of-range and negative values.
  for (std::int32_t vk :
       {0x00, 0x01,  0x02,  0x04, 0x6C,  0x07,       0x0A,
        0x0E, 0x3A,  0x40,  0x5E, 0x5F,  0x88,       0x92,
        0xA6, 0xAD,  0xB3,  0xC1, 0xDF,  0xE5,       0xFE,
        0xFF, 0x100, 0x12C, -1,   -0x41, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000041)}) {
    EXPECT_FALSE(xKeysym(vk)) << std::hex << vk;
  }
}

TEST(WindowsVirtualKeyMap, CoversTheWholeTableAndNoTwoLettersShareAKeysym) {
  std::set<std::uint32_t> seen;
  int mapped = 0;
  for (std::int32_t vk = 0; vk <= 0xFF; ++vk) {
    if (const auto keysym = xKeysym(vk)) {
      ++mapped;
      // Only the generic and the left/right modifier codes may share a keysym.
      const bool sharedModifier = (vk >= 0x10 && vk <= 0x12) || (vk >= 0xA0 && vk <= 0xA5);
      if (!sharedModifier) {
        EXPECT_TRUE(seen.insert(*keysym).second) << std::hex << vk;
      }
    }
  }
  // Letters, digits, F1–F24, keypad digits, the 5 keypad operators, Num Lock, the 34 editing,
  // navigation, modifier and Korean keys and the 12 OEM keys: nothing else is mapped.
  EXPECT_EQ(mapped, 26 + 10 + 24 + 10 + 5 + 1 + 34 + 12);
}

}  // namespace
}  // namespace vantrel
