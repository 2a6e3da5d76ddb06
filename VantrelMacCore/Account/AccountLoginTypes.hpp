#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Support/Error.hpp"

namespace vantrel {

// One manager the account may serve, as the login server lists it.
struct AccountManagerRoute {
  int managerIndex = 0;    // 1…5
  std::string insideHost;  // may hold several hosts separated by ","
  std::string publicHost;
  std::uint16_t port = 0;  // 1…65535

  // The host candidates in order: the parts of `insideHost`, then `publicHost`; each trimmed,
  // empty ones dropped, duplicates removed keeping the first.
  std::vector<std::string> connectionHosts() const;

  friend bool operator==(const AccountManagerRoute&, const AccountManagerRoute&) = default;
};

struct AccountLoginRequest {
  std::string accountID;
  std::string password;
  std::optional<int> requestedSlot;  // none: let the server assign
  std::uint64_t serial = 0;
  std::string computerName;
  std::string version;
  std::vector<std::string> insideAddresses;
  std::string macAddress;
  std::string macAddress2;

  friend bool operator==(const AccountLoginRequest&, const AccountLoginRequest&) = default;
};

struct AccountLoginResult {
  int assignedSlot = 0;  // the client number
  std::string accountID;
  std::vector<AccountManagerRoute> routes;  // at most five
  std::string serverMessage;

  friend bool operator==(const AccountLoginResult&, const AccountLoginResult&) = default;
};

// The JSON form of a route ("managerIndex", "insideHost", "publicHost", "port").
nlohmann::json toJSON(const AccountManagerRoute& route);
// Strict decoding: every key present with its type, `port` in 1…65535. Nullopt otherwise.
// The manager index is only required to be an integer here; the login service and the route
// cache apply their own range rules.
std::optional<AccountManagerRoute> decodeAccountManagerRoute(const nlohmann::json& value);

// The JSON body the login service posts (see docs/login-api.md).
nlohmann::json toJSON(const AccountLoginRequest& request);

class AccountLoginError;

// Largest answer of the login server that is parsed.
inline constexpr std::size_t maxAccountLoginAnswerSize = 64 * 1024;

// Turns one answer of the login server (docs/login-api.md) into a result. Throws
// `AccountLoginError`: `invalidHTTPStatus` for a status other than 200, `serverRejected` for a
// rejection, `invalidResponse` for anything malformed.
AccountLoginResult parseAccountLoginAnswer(int status, std::string_view body);

class AccountLoginError : public Error {
 public:
  enum class Case { invalidRequest, serverRejected, invalidHTTPStatus, invalidBaseURL, invalidResponse };

  static AccountLoginError invalidRequest(std::string message) {
    return AccountLoginError(Case::invalidRequest, std::move(message), 0);
  }
  static AccountLoginError serverRejected(std::string message) {
    return AccountLoginError(Case::serverRejected, std::move(message), 0);
  }
  static AccountLoginError invalidHTTPStatus(int status) {
    return AccountLoginError(Case::invalidHTTPStatus, {}, status);
  }
  static AccountLoginError invalidBaseURL() { return AccountLoginError(Case::invalidBaseURL, {}, 0); }
  static AccountLoginError invalidResponse() { return AccountLoginError(Case::invalidResponse, {}, 0); }

  Case kind() const noexcept { return case_; }
  const std::string& message() const noexcept { return message_; }
  int status() const noexcept { return status_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.AccountLoginError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const AccountLoginError& a, const AccountLoginError& b) {
    return a.case_ == b.case_ && a.message_ == b.message_ && a.status_ == b.status_;
  }

 private:
  AccountLoginError(Case kind, std::string message, int status)
      : case_(kind), message_(std::move(message)), status_(status) {}
  Case case_;
  std::string message_;
  int status_;
};

// What the login screen shows.
enum class AccountLoginPresentation { loginRequired, cachedManagerNeedsLogin, accountAuthenticated };

AccountLoginPresentation makeAccountLoginPresentation(bool accountAuthenticated,
                                                      bool managerConnected) noexcept;

namespace AutoConnectPolicy {
// True only when remembering is on, an automatic launch was requested, no attempt was made yet
// and the account ID is not blank.
bool shouldAttemptSavedAccountLogin(bool rememberEnabled, std::string_view accountID, bool alreadyAttempted,
                                    bool automaticLaunchRequested);
}  // namespace AutoConnectPolicy

}  // namespace vantrel
