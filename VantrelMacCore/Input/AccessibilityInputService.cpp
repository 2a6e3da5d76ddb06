#include "Input/AccessibilityInputService.hpp"

#include "Input/PermissionStatus.hpp"

namespace vantrel {

bool AccessibilityInputService::isAccessibilityTrusted() const { return PermissionStatus::inputTrusted(); }

void AccessibilityInputService::requestAccessibilityAccess() const {
  // Nothing to prompt for: the display offers XTEST (or the compositor its service) or it does not.
  (void)PermissionStatus::inputTrusted();
}

}  // namespace vantrel
