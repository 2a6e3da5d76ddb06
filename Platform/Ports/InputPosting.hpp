#pragma once

#include <cstdint>

namespace vantrel {

// Pointer buttons, numbered as the X core protocol numbers them (both desktops use the numbers);
// 4 and 5 are one wheel notch up and down.
enum class PointerButton : unsigned { left = 1, middle = 2, right = 3, wheelUp = 4, wheelDown = 5 };

// What the input injector needs of the desktop (XTestInput on an X server, MutterRemoteInput on
// GNOME Wayland): synthetic pointer and key events on the
// main display. Every call returns false when the event could not be posted. Implementations
// must be callable from any thread.
class InputPosting {
 public:
  virtual ~InputPosting() = default;

  // True when the desktop lets this process post synthetic events (XTEST on an X server).
  virtual bool isAvailable() = 0;
  // Moves the pointer to (x, y) in pixels of the main display (origin at its top-left corner).
  // Coordinates outside the screen are clamped by the server.
  virtual bool movePointer(std::int64_t x, std::int64_t y) = 0;
  virtual bool postButton(PointerButton button, bool pressed) = 0;
  // Presses or releases the key that produces `keysym` at its base level; false when the
  // keyboard map has no key for it.
  virtual bool postKey(std::uint32_t keysym, bool pressed) = 0;
};

}  // namespace vantrel
