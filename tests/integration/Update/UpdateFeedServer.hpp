#pragma once

// A loopback HTTP or HTTPS server for update tests: fixed answers per path, redirects, and a
// download that stalls after its first bytes until the server stops.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TestCertificateAuthority.hpp"

namespace vantrel::testing {

class UpdateFeedServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
    std::string location;  // a redirect when set
    bool stall = false;    // sends `stallAfter` bytes, then nothing
    std::size_t stallAfter = 16;

    static Answer ok(std::string body) { return Answer{200, std::move(body), "", false}; }
    static Answer redirect(std::string location) { return Answer{302, "", std::move(location), false}; }
    static Answer stalled(std::string body) { return Answer{200, std::move(body), "", true}; }
    static Answer stalledAfter(std::string body, std::size_t bytes) {
      return Answer{200, std::move(body), "", true, bytes};
    }
  };

  // Plain HTTP when `authority` is null, else HTTPS with a certificate for 127.0.0.1.
  explicit UpdateFeedServer(const tools::TestCertificateAuthority* authority = nullptr) {
    if (authority) {
      identity_ = authority->issueServer({"IP:127.0.0.1", "DNS:localhost"});
      server_ = std::make_unique<httplib::SSLServer>(identity_.certificate.get(), identity_.key.get());
      scheme_ = "https";
    } else {
      server_ = std::make_unique<httplib::Server>();
      scheme_ = "http";
    }
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      serve(request.path, response);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() before the accept loop runs would be lost and leave the thread in accept().
    while (!server_->is_running()) std::this_thread::yield();
  }
  ~UpdateFeedServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    released_.notify_all();
    server_->stop();
    thread_.join();
  }
  UpdateFeedServer(const UpdateFeedServer&) = delete;
  UpdateFeedServer& operator=(const UpdateFeedServer&) = delete;

  std::string url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  void set(const std::string& path, Answer answer) {
    std::lock_guard lock(mutex_);
    answers_[path] = std::move(answer);
  }
  int requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto found = counts_.find(path);
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  void serve(const std::string& path, httplib::Response& response) {
    Answer answer;
    {
      std::lock_guard lock(mutex_);
      ++counts_[path];
      const auto found = answers_.find(path);
      if (found == answers_.end()) {
        response.status = 404;
        return;
      }
      answer = found->second;
    }
    response.status = answer.status;
    if (!answer.location.empty()) {
      response.set_header("Location", answer.location);
      return;
    }
    if (!answer.stall) {
      response.set_content(answer.body, "application/octet-stream");
      return;
    }
    response.set_content_provider(
        answer.body.size(), "application/octet-stream",
        [this, body = answer.body, first = std::min(answer.stallAfter, answer.body.size())](
            size_t offset, size_t, httplib::DataSink& sink) {
          if (offset == 0) return sink.write(body.data(), first);
          std::unique_lock lock(mutex_);
          released_.wait(lock, [this] { return stopping_; });
          return false;
        });
  }

  tools::Identity identity_;
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool stopping_ = false;
  std::map<std::string, Answer> answers_;
  std::map<std::string, int> counts_;
};

}  // namespace vantrel::testing
