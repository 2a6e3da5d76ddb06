#include "Platform/HttpClient.hpp"

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

// Shared between the awaiting side (which may cancel) and the thread running the transfer.
struct Transfer {
  std::atomic<bool> cancelled{false};
  const BlockingPool* pool = nullptr;  // the pool running the transfer; its stop ends it too
  std::mutex mutex;
  CURLM* multi = nullptr;  // set while the transfer runs, under `mutex`

  void cancel() {
    cancelled.store(true, std::memory_order_release);
    std::lock_guard lock(mutex);
    if (multi) curl_multi_wakeup(multi);
  }
};

struct Sink {
  std::string body;
  std::size_t limit = 0;
  bool tooLarge = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const auto length = size * count;
  if (length > sink->limit - sink->body.size()) {
    sink->tooLarge = true;
    return 0;  // makes curl stop with a write error
  }
  sink->body.append(data, length);
  return length;
}

int checkCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* transfer = static_cast<Transfer*>(user);
  return transfer->cancelled.load(std::memory_order_acquire) || transfer->pool->stopRequested() ? 1 : 0;
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

using Outcome = std::pair<std::exception_ptr, HttpResponse>;

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

Outcome perform(const HttpRequest& request, const HttpClientOptions& options, Transfer& transfer) {
  using Case = HttpClientError::Case;
  auto failure = [](Case kind, std::string detail) {
    return Outcome{std::make_exception_ptr(HttpClientError(kind, std::move(detail))), {}};
  };

  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) return failure(Case::requestFailed, "libcurl could not be initialised");

  std::unique_ptr<curl_slist, HeaderDeleter> headers;
  auto lines = request.headers;
  lines.emplace_back("Expect:");  // no 100-continue round trip
  for (const auto& line : lines) {
    auto* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) return failure(Case::requestFailed, "out of memory");
    (void)headers.release();  // curl owns the list now
    headers.reset(grown);
  }

  Sink sink;
  sink.limit = options.maxResponseSize;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const auto caFile = options.caFile ? options.caFile->string() : std::string();
  CURL* h = easy.get();
  const bool isPost = request.method == "POST";
  if (!isPost && request.method != "GET")
    return failure(Case::requestFailed, "unsupported method " + request.method);
  bool configured =
      curl_easy_setopt(h, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count())) ==
          CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count())) == CURLE_OK &&
      (!isPost || (curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
                   curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data()) == CURLE_OK &&
                   curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(request.body.size())) == CURLE_OK)) &&
      (isPost || curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK) &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, "VantrelMac") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &checkCancelled) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str()) == CURLE_OK) &&
      (caFile.empty() || curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK);
  if (!configured) return failure(Case::requestFailed, "libcurl rejected an option");
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) return failure(Case::requestFailed, "libcurl multi");

  {
    std::lock_guard lock(transfer.mutex);
    transfer.multi = multi.get();
  }
  CURLcode result = CURLE_OK;
  bool finished = false;
  while (!transfer.cancelled.load(std::memory_order_acquire) && !transfer.pool->stopRequested()) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      finished = true;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished || running == 0) {
      finished = true;
      break;
    }
    // Wakes up on socket activity, on curl's own timers (time-outs), on `cancel`, and often
    // enough to notice that the pool is stopping.
    curl_multi_poll(multi.get(), nullptr, 0, 250, nullptr);
  }
  {
    std::lock_guard lock(transfer.mutex);
    transfer.multi = nullptr;
  }
  curl_multi_remove_handle(multi.get(), h);

  if (transfer.cancelled.load(std::memory_order_acquire) || transfer.pool->stopRequested() ||
      result == CURLE_ABORTED_BY_CALLBACK) {
    return Outcome{std::make_exception_ptr(CancellationError()), {}};
  }
  if (sink.tooLarge) return failure(Case::responseTooLarge, fmt::format("more than {} bytes", sink.limit));
  if (result != CURLE_OK) {
    std::string detail = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(result));
    return failure(classify(result), std::move(detail));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return Outcome{nullptr, HttpResponse{static_cast<int>(status), std::move(sink.body)}};
}

}  // namespace

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
  ensureCurlInitialised();
  auto* pool = &blockingPoolOf(co_await asio::this_coro::executor);
  auto transfer = std::make_shared<Transfer>();
  transfer->pool = pool;
  auto job = [transfer, request = std::move(request), options = std::move(options)] {
    return perform(request, options, *transfer);
  };
  // Cancelling the caller aborts the transfer at once; the caller still awaits its end (a
  // moment), so nothing of the transfer outlives the call.
  BlockingCancellation onCancel{false, [transfer] { transfer->cancel(); }};
  auto outcome =
      co_await awaitBlocking(pool, std::make_shared<decltype(job)>(std::move(job)), std::move(onCancel));
  if (outcome->first) std::rethrow_exception(outcome->first);
  co_return std::move(outcome->second);
}

}  // namespace vantrel
