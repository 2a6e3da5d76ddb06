#include "Account/AccountLoginTypes.hpp"

#include <algorithm>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Support/Text.hpp"

namespace vantrel {

std::vector<std::string> AccountManagerRoute::connectionHosts() const {
  std::vector<std::string> hosts;
  auto add = [&](std::string_view candidate) {
    auto host = text::trimmed(candidate);
    if (host.empty() || std::find(hosts.begin(), hosts.end(), host) != hosts.end()) return;
    hosts.push_back(std::move(host));
  };
  std::string_view inside = insideHost;
  while (true) {
    const auto comma = inside.find(',');
    add(inside.substr(0, comma));
    if (comma == std::string_view::npos) break;
    inside.remove_prefix(comma + 1);
  }
  add(publicHost);
  return hosts;
}

nlohmann::json toJSON(const AccountManagerRoute& route) {
  return nlohmann::json{{"managerIndex", route.managerIndex},
                        {"insideHost", route.insideHost},
                        {"publicHost", route.publicHost},
                        {"port", route.port}};
}

std::optional<AccountManagerRoute> decodeAccountManagerRoute(const nlohmann::json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto index = value.find("managerIndex");
  const auto inside = value.find("insideHost");
  const auto publicHost = value.find("publicHost");
  const auto port = value.find("port");
  if (index == value.end() || inside == value.end() || publicHost == value.end() || port == value.end()) {
    return std::nullopt;
  }
  if (!index->is_number_integer() || !inside->is_string() || !publicHost->is_string() ||
      !port->is_number_integer()) {
    return std::nullopt;
  }
  // Integers that do not fit an Int are rejected rather than wrapped.
  std::int64_t indexValue = 0;
  if (index->is_number_unsigned()) {
    if (index->get<std::uint64_t>() > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
    indexValue = static_cast<std::int64_t>(index->get<std::uint64_t>());
  } else {
    indexValue = index->get<std::int64_t>();
    if (indexValue < INT32_MIN || indexValue > INT32_MAX) return std::nullopt;
  }
  if (!port->is_number_unsigned()) return std::nullopt;  // negative
  const auto portValue = port->get<std::uint64_t>();
  if (portValue < 1 || portValue > 65535) return std::nullopt;
  AccountManagerRoute route;
  route.managerIndex = static_cast<int>(indexValue);
  route.insideHost = inside->get<std::string>();
  route.publicHost = publicHost->get<std::string>();
  route.port = static_cast<std::uint16_t>(portValue);
  return route;
}

nlohmann::json toJSON(const AccountLoginRequest& request) {
  return nlohmann::json{
      {"accountID", request.accountID},
      {"password", request.password},
      {"requestedSlot",
       request.requestedSlot ? nlohmann::json(*request.requestedSlot) : nlohmann::json(nullptr)},
      {"serial", request.serial},
      {"computerName", request.computerName},
      {"version", request.version},
      {"insideAddresses", request.insideAddresses},
      {"macAddress", request.macAddress},
      {"macAddress2", request.macAddress2},
  };
}

std::optional<std::string> AccountLoginError::errorDescription() const {
  switch (case_) {
    case Case::invalidRequest:
    case Case::serverRejected: return message_;
    case Case::invalidHTTPStatus: return fmt::format("The login server returned HTTP status {}.", status_);
    case Case::invalidBaseURL: return "The Vantrel login server URL is invalid.";
    case Case::invalidResponse: return "The login server returned an invalid response.";
  }
  return std::nullopt;
}

AccountLoginPresentation makeAccountLoginPresentation(bool accountAuthenticated,
                                                      bool managerConnected) noexcept {
  if (accountAuthenticated) return AccountLoginPresentation::accountAuthenticated;
  if (managerConnected) return AccountLoginPresentation::cachedManagerNeedsLogin;
  return AccountLoginPresentation::loginRequired;
}

namespace AutoConnectPolicy {
bool shouldAttemptSavedAccountLogin(bool rememberEnabled, std::string_view accountID, bool alreadyAttempted,
                                    bool automaticLaunchRequested) {
  return rememberEnabled && automaticLaunchRequested && !alreadyAttempted && !text::isBlank(accountID);
}
}  // namespace AutoConnectPolicy

}  // namespace vantrel
