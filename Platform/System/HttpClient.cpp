#include "Platform/System/HttpClient.hpp"

#include <curl/curl.h>

#include <asio/this_coro.hpp>

#include <atomic>
#include <mutex>

#include <fmt/format.h>

namespace vantrel {
namespace {

void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the body goes: kept in memory up to a cap, or handed to the caller's sink.
struct Sink {
  std::string body;
  std::size_t limit = 0;
  bool tooLarge = false;
  const HttpBodySink* stream = nullptr;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const auto length = size * count;
  if (sink->stream) return (*sink->stream)(data, length) ? length : 0;
  if (length > sink->limit - sink->body.size()) {
    sink->tooLarge = true;
    return 0;  // makes curl stop with a write error
  }
  sink->body.append(data, length);
  return length;
}

// What the progress callback checks (libcurl calls it at least about once a second, also while
// nothing arrives): a cancellation, the pool's stop and the overall deadline.
struct Watch {
  HttpTransferControl* control = nullptr;
  std::chrono::steady_clock::time_point deadline;

  bool stopped() const {
    return control->isCancelled() || (control->pool != nullptr && control->pool->stopRequested());
  }
  bool expired() {
    if (std::chrono::steady_clock::now() < deadline) return false;
    control->deadlinePassed.store(true, std::memory_order_release);
    return true;
  }
};

int checkProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<Watch*>(user);
  return watch->stopped() || watch->expired() ? 1 : 0;
}

struct EasyDeleter {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct HeaderDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

HttpClientError::Case classify(CURLcode code) {
  using Case = HttpClientError::Case;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return Case::timedOut;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return Case::cannotConnect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED: return Case::secureConnectionFailed;
    default: return Case::requestFailed;
  }
}

[[noreturn]] void fail(HttpClientError::Case kind, std::string detail) {
  throw HttpClientError(kind, std::move(detail));
}

}  // namespace

void HttpTransferControl::cancel() {
  cancelled.store(true, std::memory_order_release);
  std::lock_guard lock(mutex);
  if (multi) curl_multi_wakeup(static_cast<CURLM*>(multi));
}

HttpResponse performHttpRequestHere(const HttpRequest& request, const HttpClientOptions& options,
                                    HttpTransferControl& control, const HttpBodySink& stream) {
  using Case = HttpClientError::Case;
  ensureCurlInitialised();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) fail(Case::requestFailed, "libcurl could not be initialised");

  std::unique_ptr<curl_slist, HeaderDeleter> headers;
  auto lines = request.headers;
  lines.emplace_back("Expect:");  // no 100-continue round trip
  for (const auto& line : lines) {
    auto* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) fail(Case::requestFailed, "out of memory");
    (void)headers.release();  // curl owns the list now
    headers.reset(grown);
  }

  Sink sink;
  sink.limit = options.maxResponseSize;
  if (stream) sink.stream = &stream;
  Watch watch{&control, std::chrono::steady_clock::now() + options.totalTimeout};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const auto caFile = options.caFile ? options.caFile->string() : std::string();
  CURL* h = easy.get();
  const bool isPost = request.method == "POST";
  if (!isPost && request.method != "GET") fail(Case::requestFailed, "unsupported method " + request.method);
  bool configured =
      curl_easy_setopt(h, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, options.plainHttp ? "http" : "https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, options.maxRedirects > 0 ? 1L : 0L) == CURLE_OK &&
      (options.maxRedirects == 0 ||
       (curl_easy_setopt(h, CURLOPT_MAXREDIRS, options.maxRedirects) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK)) &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count())) ==
          CURLE_OK &&
      (options.lowSpeedBytes == 0 ||
       (curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedBytes) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.lowSpeedTime.count())) ==
            CURLE_OK)) &&
      (!options.failOnErrorStatus || curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L) == CURLE_OK) &&
      (!isPost || (curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
                   curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data()) == CURLE_OK &&
                   curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(request.body.size())) == CURLE_OK)) &&
      (isPost || curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK) &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, options.userAgent.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkProgress) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK) &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK);
  if (!configured) fail(Case::requestFailed, "libcurl rejected an option");
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) fail(Case::requestFailed, "libcurl multi");

  {
    std::lock_guard lock(control.mutex);
    control.multi = multi.get();
  }
  CURLcode result = CURLE_OK;
  while (!watch.stopped() && !watch.expired()) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    bool finished = running == 0;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished) break;
    // Wakes up on socket activity, on curl's own timers (time-outs), on `cancel`, and often
    // enough to notice the deadline and a stopping pool.
    curl_multi_poll(multi.get(), nullptr, 0, 250, nullptr);
  }
  {
    std::lock_guard lock(control.mutex);
    control.multi = nullptr;
  }
  curl_multi_remove_handle(multi.get(), h);

  if (watch.stopped()) throw CancellationError();
  if (control.deadlinePassed.load(std::memory_order_acquire)) {
    fail(Case::timedOut, fmt::format("no answer within {} ms", options.totalTimeout.count()));
  }
  if (result == CURLE_ABORTED_BY_CALLBACK) throw CancellationError();
  if (sink.tooLarge) fail(Case::responseTooLarge, fmt::format("more than {} bytes", sink.limit));
  if (result != CURLE_OK) {
    std::string detail = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(result));
    fail(classify(result), std::move(detail));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return HttpResponse{static_cast<int>(status), std::move(sink.body)};
}

std::optional<std::string> HttpClientError::errorDescription() const {
  switch (case_) {
    case Case::timedOut: return "The request timed out.";
    case Case::cannotConnect: return "Could not connect to the server.";
    case Case::secureConnectionFailed: return "A secure connection to the server cannot be made.";
    case Case::responseTooLarge: return "The server's response is too large.";
    case Case::requestFailed: return "The request failed: " + detail_;
  }
  return std::nullopt;
}

Awaitable<HttpResponse> performHttpRequest(HttpRequest request, HttpClientOptions options) {
  auto* pool = &blockingPoolOf(co_await asio::this_coro::executor);
  auto control = std::make_shared<HttpTransferControl>();
  control->pool = pool;
  auto job = [control, request = std::move(request), options = std::move(options)] {
    return performHttpRequestHere(request, options, *control);
  };
  // Cancelling the caller aborts the transfer at once; the caller still awaits its end (a
  // moment), so nothing of the transfer outlives the call.
  BlockingCancellation onCancel{false, [control] { control->cancel(); }};
  auto response =
      co_await awaitBlocking(pool, std::make_shared<decltype(job)>(std::move(job)), std::move(onCancel));
  co_return std::move(*response);
}

}  // namespace vantrel
