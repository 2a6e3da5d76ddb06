#include "Input/AccessibilityInputService.hpp"

#include "Platform/XTestInput.hpp"

namespace vantrel {

bool AccessibilityInputService::isAccessibilityTrusted() const { return XTestInput::probeAvailable(); }

void AccessibilityInputService::requestAccessibilityAccess() const {
  // Nothing to prompt for: the display either offers XTEST or it does not.
  (void)XTestInput::probeAvailable();
}

}  // namespace vantrel
