#pragma once

// Holding the display awake while a manager watches: the port both desktops implement
// (ScreenSaverDisplaySleepAssertion on an X server, SessionInhibitDisplaySleepAssertion on GNOME
// Wayland).

namespace vantrel {

class DisplaySleepAssertion {
 public:
  virtual ~DisplaySleepAssertion() = default;
  // Restarts the idle timer as if the user had just used the keyboard or mouse (holds nothing);
  // false when there is no display.
  virtual bool declareUserActivity() = 0;
  // Suspends the screen saver; false when there is no display or it lacks the extension.
  virtual bool acquire() = 0;
  // Ends the suspension.
  virtual void release() = 0;
};

}  // namespace vantrel
