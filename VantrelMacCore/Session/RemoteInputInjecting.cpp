#include "Session/RemoteInputInjecting.hpp"

#include <fmt/format.h>

namespace vantrel {

std::optional<std::string> RemoteInputInjectionError::errorDescription() const {
  switch (case_) {
    case Case::unsupportedCommand: return fmt::format("Unsupported input command 0x{:02X}", value_);
    case Case::unsupportedMode: return fmt::format("Unsupported input mode 0x{:02X}", value_);
    case Case::unsupportedVirtualKey:
      // A 32-bit "%02X" prints the two's-complement bits of a negative code.
      return fmt::format("Unsupported Windows virtual key 0x{:02X}", static_cast<std::uint32_t>(value_));
    case Case::accessibilityDenied: return "Accessibility permission is not granted";
    case Case::eventCreationFailed: return "CGEvent creation failed";
  }
  return std::nullopt;
}

}  // namespace vantrel
