#include "Account/AccountLoginService.hpp"

#include <nlohmann/json.hpp>

#include "Support/Text.hpp"

namespace vantrel {
namespace {

constexpr int maxSlot = 65536;

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '[' || c == ']' || c == ':';
}

bool isPort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value >= 1 && value <= 65535;
}

// A base URL we are willing to send a password to: "https://host[:port][/path]" with no user
// information, query, fragment, white space or control characters.
bool isAcceptableBaseURL(std::string_view url) {
  constexpr std::string_view scheme = "https://";
  if (url.size() <= scheme.size() || !text::caseInsensitiveEquals(url.substr(0, scheme.size()), scheme))
    return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || c == '?' || c == '#' || c == '@' || c == '\\') return false;
  }
  auto rest = url.substr(scheme.size());
  const auto slash = rest.find('/');
  const auto authority = rest.substr(0, slash);
  if (authority.empty()) return false;
  std::string_view host = authority;
  if (host.front() == '[') {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return false;
    const auto after = host.substr(close + 1);
    host = host.substr(0, close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      if (!isPort(after.substr(1))) return false;
    }
  } else {
    const auto colon = host.find(':');
    if (colon != std::string_view::npos) {
      if (!isPort(host.substr(colon + 1))) return false;
      host = host.substr(0, colon);
    }
  }
  if (host.empty()) return false;
  for (char c : host) {
    if (!isHostCharacter(c)) return false;
  }
  return true;
}

}  // namespace

AccountLoginService::AccountLoginService(std::string baseURL,
                                         std::shared_ptr<AccountLoginTransporting> transport)
    : baseURL_(std::move(baseURL)), transport_(std::move(transport)) {}

void AccountLoginService::validate(const AccountLoginRequest& request) {
  if (text::isBlank(request.accountID))
    throw AccountLoginError::invalidRequest("Account ID must not be empty.");
  if (request.password.empty()) throw AccountLoginError::invalidRequest("Password must not be empty.");
  if (request.macAddress.empty()) throw AccountLoginError::invalidRequest("Device identity is unavailable.");
  if (request.requestedSlot && (*request.requestedSlot < 1 || *request.requestedSlot > maxSlot)) {
    throw AccountLoginError::invalidRequest("Client number must be between 1 and 65536.");
  }
}

std::string AccountLoginService::loginURL(std::string_view baseURL) {
  if (!isAcceptableBaseURL(baseURL)) throw AccountLoginError::invalidBaseURL();
  std::string url(baseURL);
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + "/login";
}

AccountLoginResult AccountLoginService::parseResponse(const AccountLoginHTTPResponse& response) {
  return parseAccountLoginAnswer(response.status, response.body);
}

namespace {

// Takes everything by value: the service is a value its owner may replace or drop while the
// login runs.
Awaitable<AccountLoginResult> performLogin(std::string baseURL,
                                           std::shared_ptr<AccountLoginTransporting> transport,
                                           AccountLoginRequest request) {
  AccountLoginService::validate(request);
  auto url = AccountLoginService::loginURL(baseURL);
  request.accountID = text::trimmed(request.accountID);
  // Text that is not UTF-8 cannot travel in JSON; it is replaced rather than failing the login.
  auto body = toJSON(request).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  auto response = co_await transport->postJSON(std::move(url), std::move(body));
  co_return AccountLoginService::parseResponse(response);
}

}  // namespace

Awaitable<AccountLoginResult> AccountLoginService::login(AccountLoginRequest request) const {
  return performLogin(baseURL_, transport_, std::move(request));
}

}  // namespace vantrel
