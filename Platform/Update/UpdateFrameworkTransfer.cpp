#include "Platform/Update/UpdateFrameworkTransfer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>

#include <fmt/format.h>

#include "Platform/Update/UpdateFramework.hpp"
#include "Support/Async.hpp"
#include "Update/UpdateConfiguration.hpp"
#include "Update/UpdateURL.hpp"

namespace vantrel::update_transfer {
namespace {

// Where the body goes: a string with a cap, or a descriptor with an exact length.
struct Sink {
  std::string* memory = nullptr;
  int fd = -1;
  std::uint64_t limit = 0;
  std::uint64_t received = 0;
  bool tooLarge = false;
  int writeErrno = 0;
  Control* control = nullptr;

  bool write(const char* data, std::uint64_t length) {
    if (length > limit - received) {
      tooLarge = true;
      return false;
    }
    if (memory) {
      memory->append(data, length);
    } else {
      std::size_t written = 0;
      while (written < length) {
        const auto n = ::write(fd, data + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          writeErrno = errno ? errno : EIO;
          return false;
        }
        written += static_cast<std::size_t>(n);
      }
    }
    received += length;
    if (control->progress) control->progress(received);
    return true;
  }
};

std::string lowered(std::string s) {
  for (auto& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

bool isLoopbackHttp(const std::string& url) {
  const auto parsed = UpdateURL::parse(url);
  if (!parsed || !parsed->host || !parsed->scheme || *parsed->scheme != "http") return false;
  return update_info::isLoopbackHostName(lowered(*parsed->host));
}

[[noreturn]] void fail(updater_errors::Code code, std::string detail) {
  throw updater_errors::make(code, std::move(detail));
}

// The overall deadline is the client's own (not libcurl's time-out), so that its end is told apart
// from the rate floor's, which libcurl reports as a time-out too.
void perform(const std::string& url, Sink& sink, const Policy& policy, Control& control,
             updater_errors::Code code, std::chrono::milliseconds deadline) {
  const bool plain = policy.allowLoopbackHttp && isLoopbackHttp(url);
  const auto parsed = UpdateURL::parse(url);
  const bool secure = parsed && parsed->scheme && lowered(*parsed->scheme) == "https";
  if (!plain && !secure) fail(code, "Only HTTPS addresses are allowed: " + url);
  HttpRequest request;
  request.url = url;
  HttpClientOptions options;
  options.connectTimeout = policy.connectTimeout;
  options.totalTimeout = deadline;
  options.caFile = policy.caFile;
  options.plainHttp = plain;
  options.maxRedirects = 5;
  options.lowSpeedBytes = policy.lowSpeedBytes;
  options.lowSpeedTime = policy.lowSpeedTime;
  options.failOnErrorStatus = true;
  options.userAgent = policy.userAgent;
  const HttpBodySink body = [&sink](const char* data, std::size_t size) { return sink.write(data, size); };
  HttpResponse response;
  try {
    response = performHttpRequestHere(request, options, control.transfer, body);
  } catch (const CancellationError&) {
    fail(updater_errors::cancelled, "The update transfer was cancelled.");
  } catch (const HttpClientError& error) {
    if (control.transfer.deadlinePassed.load()) {
      fail(code, fmt::format("The update transfer did not finish within {:g} seconds.",
                             std::chrono::duration<double>(deadline).count()));
    }
    if (sink.tooLarge) fail(code, fmt::format("The server sent more than {} bytes.", sink.limit));
    if (sink.writeErrno) fail(code, fmt::format("Writing the download failed (errno {}).", sink.writeErrno));
    fail(code, "The update transfer failed: " + error.detail());
  }
  if (response.status != 200) fail(code, fmt::format("The server answered with status {}.", response.status));
}

}  // namespace
std::chrono::milliseconds archiveDeadline(std::uint64_t length, const Policy& policy) {
  const auto rate = static_cast<double>(std::max<std::uint64_t>(1, policy.archiveFloorBytesPerSecond));
  const auto maximum = std::max(policy.archiveMaximumDeadline, policy.archiveMinimumDeadline);
  const double scaled = std::ceil(static_cast<double>(length) * 1000.0 / rate);  // milliseconds
  if (scaled >= static_cast<double>(maximum.count())) return maximum;
  return std::max(std::chrono::milliseconds(static_cast<std::int64_t>(scaled)),
                  policy.archiveMinimumDeadline);
}

std::string fetch(const std::string& url, std::size_t limit, const Policy& policy, Control& control) {
  std::string body;
  Sink sink;
  sink.memory = &body;
  sink.limit = limit;
  sink.control = &control;
  perform(url, sink, policy, control, updater_errors::feedFailed, policy.feedDeadline);
  return body;
}

void download(const std::string& url, int fd, std::uint64_t expectedLength, const Policy& policy,
              Control& control) {
  Sink sink;
  sink.fd = fd;
  sink.limit = expectedLength;
  sink.control = &control;
  perform(url, sink, policy, control, updater_errors::downloadFailed,
          archiveDeadline(expectedLength, policy));
  if (sink.received != expectedLength) {
    fail(updater_errors::downloadFailed,
         fmt::format("The download has {} bytes instead of {}.", sink.received, expectedLength));
  }
}

}  // namespace vantrel::update_transfer
