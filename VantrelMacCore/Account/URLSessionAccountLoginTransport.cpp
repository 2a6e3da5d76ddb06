#include "Account/URLSessionAccountLoginTransport.hpp"

namespace vantrel {
namespace {

Awaitable<AccountLoginHTTPResponse> post(HttpRequest request, HttpClientOptions options) {
  auto response = co_await performHttpRequest(std::move(request), std::move(options));
  co_return AccountLoginHTTPResponse{response.status, std::move(response.body)};
}

}  // namespace

URLSessionAccountLoginTransport::URLSessionAccountLoginTransport()
    : URLSessionAccountLoginTransport(Options{}) {}

URLSessionAccountLoginTransport::URLSessionAccountLoginTransport(Options options)
    : options_(std::move(options)) {}

Awaitable<AccountLoginHTTPResponse> URLSessionAccountLoginTransport::postJSON(std::string url,
                                                                              std::string body) {
  HttpRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.headers = {"Content-Type: application/json", "Accept: application/json"};
  request.body = std::move(body);
  HttpClientOptions options;
  options.connectTimeout = options_.connectTimeout;
  options.totalTimeout = options_.totalTimeout;
  options.maxResponseSize = options_.maxResponseSize;
  options.caFile = options_.caFile;
  return post(std::move(request), std::move(options));
}

}  // namespace vantrel
