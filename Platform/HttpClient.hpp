#pragma once

// HTTPS requests over libcurl, run off the caller's executor on the blocking pool of that
// executor, the awaiting coroutine resumed on its own executor. Cancelling the awaiting operation
// aborts the transfer at once, and so does stopping the pool.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Support/Async.hpp"
#include "Support/Blocking.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// A failure below HTTP: the request produced no answer.
class HttpClientError : public Error {
 public:
  enum class Case { timedOut, cannotConnect, secureConnectionFailed, responseTooLarge, requestFailed };

  HttpClientError(Case kind, std::string detail) : case_(kind), detail_(std::move(detail)) {}

  Case kind() const noexcept { return case_; }
  const std::string& detail() const noexcept { return detail_; }
  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.HttpClientError"; }
  int errorCode() const override { return static_cast<int>(case_); }

 private:
  Case case_;
  std::string detail_;
};

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;                  // sent with POST
};

struct HttpResponse {
  int status = 0;
  std::string body;
};

struct HttpClientOptions {
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds totalTimeout{30'000};
  std::size_t maxResponseSize = 1024 * 1024;
  // Trust only the certificates in this PEM file instead of the system's store (tests, demo).
  std::optional<std::filesystem::path> caFile;
};

// Performs one HTTPS request: HTTPS only, TLS 1.2 or later, peer and host name verified, no
// redirects, the options' time-outs and size cap. Throws `HttpClientError`, or
// `CancellationError` when cancelled.
Awaitable<HttpResponse> performHttpRequest(HttpRequest request, HttpClientOptions options);

}  // namespace vantrel
