#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "Account/AccountLoginTypes.hpp"
#include "Support/Async.hpp"

namespace vantrel {

// One answer of the login server as the transport received it.
struct AccountLoginHTTPResponse {
  int status = 0;
  std::string body;
};

// Posts a JSON body to a URL and returns the answer. Implementations honour per-operation
// cancellation (a cancelled post ends promptly with `CancellationError`) and throw their own
// errors for failures below HTTP (connection, TLS, time-out).
class AccountLoginTransporting {
 public:
  virtual ~AccountLoginTransporting() = default;
  virtual Awaitable<AccountLoginHTTPResponse> postJSON(std::string url, std::string body) = 0;
};

// Client of the login server: checks the request, posts it to `<base URL>/login` and turns the
// answer into a result (docs/login-api.md).
class AccountLoginService {
 public:
  // A reserved name: the product's login host is configured per deployment, never guessed.
  static constexpr std::string_view productionBaseURL = "https://login.vantrel.example/api/v1";
  // Largest answer the service accepts; transports cap their reads at this size too.
  static constexpr std::size_t maxResponseSize = maxAccountLoginAnswerSize;

  AccountLoginService(std::string baseURL, std::shared_ptr<AccountLoginTransporting> transport);

  const std::string& baseURL() const noexcept { return baseURL_; }

  // Throws `AccountLoginError` or a transport error.
  Awaitable<AccountLoginResult> login(AccountLoginRequest request) const;

  // The request checks, in order; throws `AccountLoginError::invalidRequest`.
  static void validate(const AccountLoginRequest& request);
  // "<base URL>/login", or `AccountLoginError::invalidBaseURL`.
  static std::string loginURL(std::string_view baseURL);
  // Parses an answer; throws `serverRejected`, `invalidHTTPStatus` or `invalidResponse`.
  static AccountLoginResult parseResponse(const AccountLoginHTTPResponse& response);

 private:
  std::string baseURL_;
  std::shared_ptr<AccountLoginTransporting> transport_;
};

}  // namespace vantrel
