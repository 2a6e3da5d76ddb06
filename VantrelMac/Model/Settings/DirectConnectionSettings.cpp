#include "Model/Settings/DirectConnectionSettings.hpp"

#include "Model/Settings/UserDefaults.hpp"
#include "Protocol/ManagerSlot.hpp"
#include "Support/Text.hpp"

namespace vantrel {

DirectConnectionSettings DirectConnectionSettings::load(const UserDefaults& defaults) {
  DirectConnectionSettings settings;
  // Each key by the type it was stored with: a port saved as text ("41517xyz") is no port.
  settings.host = defaults.storedString(hostKey).value_or("");
  settings.userID = defaults.storedString(userIDKey).value_or("");
  const auto port = defaults.storedInteger(portKey);
  settings.port = port && *port >= 1 && *port <= 65535 ? static_cast<std::uint16_t>(*port) : defaultPort;
  const auto number = defaults.storedInteger(connectionNumberKey);
  settings.connectionNumber =
      number && *number >= 0 && *number <= 65535 ? static_cast<std::uint16_t>(*number) : 0;
  return settings;
}

void DirectConnectionSettings::save(UserDefaults& defaults) const {
  defaults.setValues({
      {std::string(hostKey), host},
      {std::string(portKey), static_cast<std::int64_t>(port)},
      {std::string(userIDKey), userID},
      {std::string(connectionNumberKey), static_cast<std::int64_t>(connectionNumber)},
  });
}

std::string_view message(DirectConnectionFormValidation validation) noexcept {
  switch (validation) {
    case DirectConnectionFormValidation::valid: return "";
    case DirectConnectionFormValidation::missingHost: return "Manager host must not be empty.";
    case DirectConnectionFormValidation::invalidPort: return "Port must be an integer from 1 to 65535.";
    case DirectConnectionFormValidation::missingUserID: return "User ID must not be empty.";
    case DirectConnectionFormValidation::nonASCIIUserID: return "User ID must be strict ASCII.";
    case DirectConnectionFormValidation::invalidManagerSlot:
      return "Manager slot must be an integer from 1 to 65536.";
  }
  return "";
}

namespace DirectConnectionFormParser {

std::optional<std::uint16_t> parsePort(std::string_view portText) {
  const auto text = text::trimmed(portText);
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    // Past 65535 the exact value no longer matters (and cannot overflow).
    if (value <= 65535) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (negative) return std::nullopt;  // zero and every negative number are out of range
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

Result validate(std::string_view host, std::string_view portText, std::string_view userID,
                std::string_view managerSlotText) {
  const auto trimmedHost = text::trimmed(host);
  if (trimmedHost.empty()) return {DirectConnectionFormValidation::missingHost, std::nullopt};
  const auto port = parsePort(portText);
  if (!port) return {DirectConnectionFormValidation::invalidPort, std::nullopt};
  if (userID.empty()) return {DirectConnectionFormValidation::missingUserID, std::nullopt};
  // Bytes of 0x80 and above belong to scalars of 128 and above; invalid UTF-8 is no better.
  for (const char c : userID) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte >= 0x80) return {DirectConnectionFormValidation::nonASCIIUserID, std::nullopt};
  }
  const auto connectionNumber = ManagerSlot::comNumFromSlotText(managerSlotText);
  if (!connectionNumber) return {DirectConnectionFormValidation::invalidManagerSlot, std::nullopt};
  return {DirectConnectionFormValidation::valid,
          DirectConnectionSettings{trimmedHost, *port, std::string(userID), *connectionNumber}};
}

}  // namespace DirectConnectionFormParser

}  // namespace vantrel
