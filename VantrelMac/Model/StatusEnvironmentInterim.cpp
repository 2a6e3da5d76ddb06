#include "Model/StatusEnvironmentInterim.hpp"

#include <charconv>

#include "Protocol/ManagerSlot.hpp"
#include "Support/Text.hpp"

namespace vantrel {

DirectConnectionFormOutcome validateDirectConnectionForm(const std::string& host, const std::string& portText,
                                                         const std::string& userID,
                                                         const std::string& managerSlotText) {
  DirectConnectionFormOutcome outcome;
  const auto trimmedHost = text::trimmed(host);
  if (trimmedHost.empty()) {
    outcome.validation = DirectConnectionFormValidation::emptyHost;
    return outcome;
  }
  const auto port = text::trimmed(portText);
  unsigned value = 0;
  const auto* end = port.data() + port.size();
  const auto parsed = std::from_chars(port.data(), end, value);
  if (port.empty() || parsed.ec != std::errc() || parsed.ptr != end || value < 1 || value > 65535) {
    outcome.validation = DirectConnectionFormValidation::invalidPort;
    return outcome;
  }
  const auto user = text::trimmed(userID);
  if (user.empty()) {
    outcome.validation = DirectConnectionFormValidation::emptyUserID;
    return outcome;
  }
  if (!text::isASCII(user)) {
    outcome.validation = DirectConnectionFormValidation::nonASCIIUserID;
    return outcome;
  }
  const auto connectionNumber = ManagerSlot::comNumFromSlotText(managerSlotText);
  if (!connectionNumber) {
    outcome.validation = DirectConnectionFormValidation::invalidManagerSlot;
    return outcome;
  }
  outcome.settings =
      DirectConnectionSettings{trimmedHost, static_cast<std::uint16_t>(value), user, *connectionNumber};
  return outcome;
}

}  // namespace vantrel
