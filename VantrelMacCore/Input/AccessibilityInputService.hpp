#pragma once

namespace vantrel {

// The status window's view of input permission: whether this process may post input events, and
// a request for that permission.
class InputInjecting {
 public:
  virtual ~InputInjecting() = default;

  virtual bool isAccessibilityTrusted() const = 0;
  // Asks for the permission; the answer is not returned (the next query shows it).
  virtual void requestAccessibilityAccess() const = 0;
};

// Input permission on an X11 desktop: trusted when the display offers the XTEST extension. The
// desktop has no prompt for it, so the request only asks the display again.
class AccessibilityInputService final : public InputInjecting {
 public:
  bool isAccessibilityTrusted() const override;
  void requestAccessibilityAccess() const override;
};

}  // namespace vantrel
