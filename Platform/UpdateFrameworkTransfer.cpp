#include "Platform/UpdateFrameworkTransfer.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "Platform/UpdateFramework.hpp"
#include "Update/UpdateConfiguration.hpp"
#include "Update/UpdateURL.hpp"

namespace vantrel::update_transfer {
namespace {

struct EasyDeleter {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};

// Where the body goes: a string with a cap, or a descriptor with an exact length.
struct Sink {
  std::string* memory = nullptr;
  int fd = -1;
  std::uint64_t limit = 0;
  std::uint64_t received = 0;
  bool tooLarge = false;
  int writeErrno = 0;
  Control* control = nullptr;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::uint64_t length = size * count;
  if (length > sink->limit - sink->received) {
    sink->tooLarge = true;
    return 0;
  }
  if (sink->memory) {
    sink->memory->append(data, length);
  } else {
    std::size_t written = 0;
    while (written < length) {
      const auto n = ::write(sink->fd, data + written, length - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        sink->writeErrno = errno ? errno : EIO;
        return 0;
      }
      written += static_cast<std::size_t>(n);
    }
  }
  sink->received += length;
  if (sink->control->progress) sink->control->progress(sink->received);
  return length;
}

// What the progress callback checks (libcurl calls it at least about once a second, also while
// nothing arrives): the caller's cancellation and the overall deadline. The deadline is kept
// here rather than as CURLOPT_TIMEOUT_MS so that its end is told apart from the rate floor's,
// which libcurl reports with the same code.
struct Watch {
  Control* control = nullptr;
  std::chrono::steady_clock::time_point deadline;
  bool deadlinePassed = false;
};

int checkProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<Watch*>(user);
  if (watch->control->cancelled.load(std::memory_order_acquire)) return 1;
  if (std::chrono::steady_clock::now() >= watch->deadline) {
    watch->deadlinePassed = true;
    return 1;
  }
  return 0;
}

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

void perform(const std::string& url, Sink& sink, const Policy& policy, Control& control,
             updater_errors::Code code, std::chrono::milliseconds deadline) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  const bool plain = policy.allowLoopbackHttp && isLoopbackHttp(url);
  const auto parsed = UpdateURL::parse(url);
  const bool secure = parsed && parsed->scheme && lowered(*parsed->scheme) == "https";
  if (!plain && !secure) fail(code, "Only HTTPS addresses are allowed: " + url);
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) fail(code, "libcurl could not be initialised");
  CURL* h = easy.get();
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const auto caFile = policy.caFile ? policy.caFile->string() : std::string();
  Watch watch{&control, std::chrono::steady_clock::now() + deadline};
  const bool configured =
      curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, plain ? "http" : "https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(policy.connectTimeout.count())) ==
          CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, policy.lowSpeedBytes) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(policy.lowSpeedTime.count())) ==
          CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, policy.userAgent.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkProgress) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK) &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK);
  if (!configured) fail(code, "libcurl rejected an option");
  const CURLcode result = curl_easy_perform(h);
  if (watch.deadlinePassed && !control.cancelled.load()) {
    fail(code, fmt::format("The update transfer did not finish within {:g} seconds.",
                           std::chrono::duration<double>(deadline).count()));
  }
  if (control.cancelled.load() || result == CURLE_ABORTED_BY_CALLBACK) {
    fail(updater_errors::cancelled, "The update transfer was cancelled.");
  }
  if (sink.tooLarge) fail(code, fmt::format("The server sent more than {} bytes.", sink.limit));
  if (sink.writeErrno) fail(code, fmt::format("Writing the download failed (errno {}).", sink.writeErrno));
  if (result != CURLE_OK) {
    fail(code, fmt::format("The update transfer failed: {}",
                           errorBuffer[0] ? errorBuffer : curl_easy_strerror(result)));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) fail(code, fmt::format("The server answered with status {}.", status));
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
