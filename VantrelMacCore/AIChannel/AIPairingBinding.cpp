#include "AIChannel/AIPairingBinding.hpp"

#include "Support/AIChannelError.hpp"
#include "Support/Text.hpp"

namespace vantrel {

AIPairingBinding::AIPairingBinding(const std::string& account_, const std::string& host_,
                                   std::uint16_t legacyPort_, int slot_)
    : account(text::lowercased(text::trimmed(account_))),
      host(text::lowercased(text::trimmed(host_))),
      legacyPort(legacyPort_),
      slot(slot_) {
  const auto fits = [](const std::string& s, std::size_t maximum) {
    return !s.empty() && s.size() <= maximum && text::isValidUTF8(s) && s.find('\0') == std::string::npos;
  };
  if (!fits(account, maximumAccountBytes) || !fits(host, maximumHostBytes) || legacyPort == 0 || slot < 1 ||
      slot > 65536) {
    throw AIChannelError::invalid("invalid_pairing_binding");
  }
}

}  // namespace vantrel
