#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>

#include "Account/AccountLoginService.hpp"
#include "Platform/System/HttpClient.hpp"

namespace vantrel {

// The login transport: a JSON POST through `HttpClient` (libcurl): HTTPS only, TLS 1.2 or later,
// the system's trust store, no redirects, connect and total time-outs and a cap on the answer's
// size. Failures below HTTP are `HttpClientError`; a cancelled post ends with `CancellationError`.
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
