#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "Account/AccountLoginService.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// A failure below HTTP: the request never produced an answer.
class AccountLoginTransportError : public Error {
 public:
  enum class Case { timedOut, cannotConnect, secureConnectionFailed, responseTooLarge, requestFailed };

  AccountLoginTransportError(Case kind, std::string detail) : case_(kind), detail_(std::move(detail)) {}

  Case kind() const noexcept { return case_; }
  const std::string& detail() const noexcept { return detail_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.AccountLoginTransportError"; }
  int errorCode() const override { return static_cast<int>(case_); }

 private:
  Case case_;
  std::string detail_;
};

// The login transport over libcurl: HTTPS only, TLS 1.2 or later, the system's trust store, no
// redirects, connect and total time-outs and a cap on the answer's size. Each post runs on a
// thread of its own, off the caller's executor; cancelling the awaiting operation aborts the
// transfer at once.
class URLSessionAccountLoginTransport final : public AccountLoginTransporting {
 public:
  struct Options {
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{30'000};
    std::size_t maxResponseSize = AccountLoginService::maxResponseSize;
    // Trust only the certificates in this PEM file instead of the system's store (tests, demo).
    std::optional<std::filesystem::path> caFile;
  };

  URLSessionAccountLoginTransport();
  explicit URLSessionAccountLoginTransport(Options options);

  Awaitable<AccountLoginHTTPResponse> postJSON(std::string url, std::string body) override;

 private:
  Options options_;
};

}  // namespace vantrel
