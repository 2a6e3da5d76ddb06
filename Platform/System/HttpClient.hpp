#pragma once

// HTTPS requests over libcurl, for the sign-in and the updater: awaited (run on the blocking pool
// of the caller's executor, the awaiting coroutine resumed on its own executor), or run in place by
// work that is already on a pool thread. Cancelling aborts the transfer at once, and so does
// stopping the pool it runs on; one overall deadline bounds it, whatever the rate.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
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
  // The overall deadline of the request, whatever the rate.
  std::chrono::milliseconds totalTimeout{30'000};
  // The cap of a body kept in memory (a streamed body is capped by its sink).
  std::size_t maxResponseSize = 1024 * 1024;
  // Trust only the certificates in this PEM file instead of the system's store (tests, demo).
  std::optional<std::filesystem::path> caFile;
  // Plain HTTP instead of HTTPS: only for an address the caller has judged safe (a loopback
  // rehearsal of the updater).
  bool plainHttp = false;
  // Redirects followed, to HTTPS addresses only (0: none).
  long maxRedirects = 0;
  // Aborted when fewer than `lowSpeedBytes` a second arrive for `lowSpeedTime` (0: never).
  long lowSpeedBytes = 0;
  std::chrono::seconds lowSpeedTime{0};
  // An HTTP error status (400 and above) fails the request before any of its body arrives.
  bool failOnErrorStatus = false;
  std::string userAgent = "VantrelMac";
};

// What a transfer that runs in place obeys and reports. Shared with whoever may stop it.
struct HttpTransferControl {
  // Ends the transfer at once; callable from any thread.
  void cancel();
  bool isCancelled() const noexcept { return cancelled.load(std::memory_order_acquire); }

  std::atomic<bool> cancelled{false};
  // The pool the transfer runs on, if any: its stop ends the transfer too.
  const BlockingPool* pool = nullptr;
  // Set when the transfer ended because the overall deadline passed.
  std::atomic<bool> deadlinePassed{false};
  // Set while the transfer runs, under `mutex` (what `cancel` wakes up).
  std::mutex mutex;
  void* multi = nullptr;
};

// Receives a streamed body as it arrives; false stops the transfer (the caller knows why).
using HttpBodySink = std::function<bool(const char* data, std::size_t size)>;

// Performs one request: HTTPS only (unless `plainHttp`), TLS 1.2 or later, peer and host name
// verified, the options' redirects, time-outs and size cap. Throws `HttpClientError`, or
// `CancellationError` when cancelled.
Awaitable<HttpResponse> performHttpRequest(HttpRequest request, HttpClientOptions options);

// The same on the calling thread, for work already on a pool thread. With a `sink`, the body goes
// there instead of into the response.
HttpResponse performHttpRequestHere(const HttpRequest& request, const HttpClientOptions& options,
                                    HttpTransferControl& control, const HttpBodySink& sink = {});

}  // namespace vantrel
