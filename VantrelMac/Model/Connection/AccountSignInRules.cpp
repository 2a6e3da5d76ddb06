// The rules of the login request: the client-number rules of the form and of the automatic
// login, the request the login server is sent, and the endpoints of a route.

#include <charconv>
#include <limits>

#include "Model/Connection/AccountSignIn.hpp"
#include "Support/Text.hpp"

namespace vantrel {

namespace {

// An optional sign, then decimal digits only; nullopt on anything else or overflow.
std::optional<long long> parseSignedDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned long long magnitude = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, magnitude);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  constexpr auto limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (magnitude > limit + (negative ? 1ULL : 0ULL)) return std::nullopt;
  if (negative)
    return magnitude == limit + 1 ? std::numeric_limits<long long>::min()
                                  : -static_cast<long long>(magnitude);
  return static_cast<long long>(magnitude);
}

}  // namespace

std::vector<DirectConnectionSettings> AccountSignIn::candidatesFor(const AccountManagerRoute& route,
                                                                   const std::string& userID,
                                                                   std::uint16_t connectionNumber) {
  std::vector<DirectConnectionSettings> candidates;
  for (auto& host : route.connectionHosts())
    candidates.push_back(DirectConnectionSettings{host, route.port, userID, connectionNumber});
  return candidates;
}

std::optional<int> AccountSignIn::parseInteractiveClientNumber(std::string_view text) {
  const auto value = parseSignedDecimal(text::trimmed(text));
  if (!value || *value < 0 || *value > 65536) return std::nullopt;
  return static_cast<int>(*value);
}

std::optional<int> AccountSignIn::parseAutomaticClientNumber(std::string_view text) {
  const auto value = parseSignedDecimal(text);
  if (!value || *value <= 0) return std::nullopt;
  if (*value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(*value);
}

AccountLoginRequest AccountSignIn::makeLoginRequest(std::string accountID, std::string password,
                                                    std::optional<int> requestedSlot) const {
  AccountLoginRequest request;
  request.accountID = std::move(accountID);
  request.password = std::move(password);
  request.requestedSlot = requestedSlot;
  request.serial = serial_;
  request.computerName = text::trimmed(owner_.status().setupName);
  if (request.computerName.empty()) {
    const auto name = host_ ? host_->localizedName() : std::nullopt;
    request.computerName = name && !name->empty() ? *name : "VantrelMac";
  }
  request.version = std::string(loginVersion);
  if (host_) {
    for (auto& address : host_->addresses()) {
      if (address.find('.') != std::string::npos && address != "127.0.0.1")
        request.insideAddresses.push_back(address);
    }
  }
  request.macAddress = installationMAC_;
  request.macAddress2 = "";
  return request;
}

}  // namespace vantrel
