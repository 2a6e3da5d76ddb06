#pragma once

#include <cstdint>
#include <optional>

namespace vantrel {

// The manager sends keys as Windows virtual-key codes; the desktop wants X keysyms. A code maps
// to the keysym the same physical key produces without modifiers (VK_OEM_1 is the semicolon
// key, VK_NUMPAD5 is the keypad's 5), so held modifiers combine with it as they would on the
// operator's keyboard.
namespace WindowsVirtualKeyMap {

// The keysym for a virtual-key code, or nullopt when the key has no counterpart here.
std::optional<std::uint32_t> xKeysym(std::int32_t virtualKey) noexcept;

}  // namespace WindowsVirtualKeyMap
}  // namespace vantrel
