#include "Input/WindowsVirtualKeyMap.hpp"

#define XK_MISCELLANY
#define XK_LATIN1
#define XK_KOREAN
#include <X11/keysymdef.h>

#include <utility>

namespace vantrel::WindowsVirtualKeyMap {
namespace {

// Codes that are not part of a contiguous run (letters, digits, function keys, keypad digits
// are computed below).
// clang-format off
constexpr std::pair<std::int32_t, std::uint32_t> singleKeys[] = {
    {0x08, XK_BackSpace},
    {0x09, XK_Tab},
    {0x0C, XK_KP_Begin},  // VK_CLEAR: the keypad's 5 without Num Lock
    {0x0D, XK_Return},
    {0x10, XK_Shift_L},    // VK_SHIFT
    {0x11, XK_Control_L},  // VK_CONTROL
    {0x12, XK_Alt_L},      // VK_MENU
    {0x13, XK_Pause},
    {0x14, XK_Caps_Lock},
    {0x15, XK_Hangul},        // VK_HANGUL (한/영)
    {0x19, XK_Hangul_Hanja},  // VK_HANJA
    {0x1B, XK_Escape},
    {0x20, XK_space},
    {0x21, XK_Prior},  // VK_PRIOR (Page Up)
    {0x22, XK_Next},   // VK_NEXT (Page Down)
    {0x23, XK_End},
    {0x24, XK_Home},
    {0x25, XK_Left},
    {0x26, XK_Up},
    {0x27, XK_Right},
    {0x28, XK_Down},
    {0x2C, XK_Print},  // VK_SNAPSHOT
    {0x2D, XK_Insert},
    {0x2E, XK_Delete},
    {0x5B, XK_Super_L},  // VK_LWIN
    {0x5C, XK_Super_R},  // VK_RWIN
    {0x5D, XK_Menu},     // VK_APPS
    {0x6A, XK_KP_Multiply},
    {0x6B, XK_KP_Add},
    {0x6D, XK_KP_Subtract},
    {0x6E, XK_KP_Decimal},
    {0x6F, XK_KP_Divide},
    {0x90, XK_Num_Lock},
    {0x91, XK_Scroll_Lock},
    {0xA0, XK_Shift_L},
    {0xA1, XK_Shift_R},
    {0xA2, XK_Control_L},
    {0xA3, XK_Control_R},
    {0xA4, XK_Alt_L},
    {0xA5, XK_Alt_R},
    {0xBA, XK_semicolon},     // VK_OEM_1
    {0xBB, XK_equal},         // VK_OEM_PLUS
    {0xBC, XK_comma},         // VK_OEM_COMMA
    {0xBD, XK_minus},         // VK_OEM_MINUS
    {0xBE, XK_period},        // VK_OEM_PERIOD
    {0xBF, XK_slash},         // VK_OEM_2
    {0xC0, XK_grave},         // VK_OEM_3
    {0xDB, XK_bracketleft},   // VK_OEM_4
    {0xDC, XK_backslash},     // VK_OEM_5
    {0xDD, XK_bracketright},  // VK_OEM_6
    {0xDE, XK_apostrophe},    // VK_OEM_7
    {0xE2, XK_less},          // VK_OEM_102 (the extra key of ISO keyboards)
};
// clang-format on

}  // namespace

std::optional<std::uint32_t> xKeysym(std::int32_t virtualKey) noexcept {
  if (virtualKey >= 'A' && virtualKey <= 'Z') return static_cast<std::uint32_t>(XK_a + (virtualKey - 'A'));
  if (virtualKey >= '0' && virtualKey <= '9') return static_cast<std::uint32_t>(XK_0 + (virtualKey - '0'));
  if (virtualKey >= 0x60 && virtualKey <= 0x69) {
    return static_cast<std::uint32_t>(XK_KP_0 + (virtualKey - 0x60));  // VK_NUMPAD0 … VK_NUMPAD9
  }
  if (virtualKey >= 0x70 && virtualKey <= 0x87) {
    return static_cast<std::uint32_t>(XK_F1 + (virtualKey - 0x70));  // VK_F1 … VK_F24
  }
  for (const auto& [code, keysym] : singleKeys) {
    if (code == virtualKey) return keysym;
  }
  return std::nullopt;
}

}  // namespace vantrel::WindowsVirtualKeyMap
