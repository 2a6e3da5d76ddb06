#include "LoginServerStandIn.hpp"

#include <httplib.h>

#include <stdexcept>

namespace vantrel::tools {
namespace {

LoginServerStandIn::Account parseAccount(const nlohmann::json& item) {
  LoginServerStandIn::Account account;
  account.accountID = item.at("accountID").get<std::string>();
  account.password = item.at("password").get<std::string>();
  account.assignedSlot = item.at("assignedSlot").get<int>();
  account.routes = item.value("routes", nlohmann::json::array());
  account.message = item.value("message", std::string());
  if (!account.routes.is_array()) throw std::runtime_error("routes must be an array");
  return account;
}

}  // namespace

LoginServerStandIn::LoginServerStandIn(std::vector<Account> accounts,
                                       const TestCertificateAuthority& authority)
    : LoginServerStandIn(std::move(accounts), authority.issueServer({"IP:127.0.0.1", "DNS:localhost"})) {}

LoginServerStandIn::LoginServerStandIn(std::vector<Account> accounts, Identity identity)
    : accounts_(std::move(accounts)), identity_(std::move(identity)) {}

LoginServerStandIn::~LoginServerStandIn() { stop(); }

std::vector<LoginServerStandIn::Account> LoginServerStandIn::loadAccounts(const std::string& jsonText) {
  try {
    const auto document = nlohmann::json::parse(jsonText);
    std::vector<Account> accounts;
    for (const auto& item : document.at("accounts")) accounts.push_back(parseAccount(item));
    return accounts;
  } catch (const nlohmann::json::exception& error) {
    throw std::runtime_error(std::string("invalid accounts file: ") + error.what());
  }
}

int LoginServerStandIn::start(int port) {
  if (server_) return port_;
  server_ = std::make_unique<httplib::SSLServer>(identity_.certificate.get(), identity_.key.get());
  if (!server_->is_valid()) throw std::runtime_error("the HTTPS server could not be set up");
  server_->Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
    int status = 200;
    std::string answer;
    handle(request.body, request.get_header_value("Content-Type"), status, answer);
    response.status = status;
    response.set_content(answer, "application/json");
  });
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) throw std::runtime_error("could not bind 127.0.0.1");
  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // The socket already accepts connections; wait until the accept loop runs, so that an early
  // stop() is not lost (stopping a server that has not started its loop yet has no effect).
  while (!server_->is_running()) std::this_thread::yield();
  return port_;
}

void LoginServerStandIn::stop() {
  {
    std::lock_guard lock(mutex_);
    releasing_ = true;
  }
  released_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string LoginServerStandIn::baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }

void LoginServerStandIn::setBehaviour(Behaviour behaviour) {
  std::lock_guard lock(mutex_);
  behaviour_ = behaviour;
}

void LoginServerStandIn::setFixedAnswer(int status, std::string body) {
  std::lock_guard lock(mutex_);
  fixedAnswer_ = std::make_pair(status, std::move(body));
}

int LoginServerStandIn::requestsReceived() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int LoginServerStandIn::stalledRequests() const {
  std::lock_guard lock(mutex_);
  return stalled_;
}

std::optional<nlohmann::json> LoginServerStandIn::lastRequest() const {
  std::lock_guard lock(mutex_);
  return lastRequest_;
}

std::optional<std::string> LoginServerStandIn::lastContentType() const {
  std::lock_guard lock(mutex_);
  return lastContentType_;
}

void LoginServerStandIn::handle(const std::string& body, const std::string& contentType, int& status,
                                std::string& answer) {
  std::unique_lock lock(mutex_);
  ++requests_;
  lastContentType_ = contentType;
  auto request = nlohmann::json::parse(body, nullptr, false);
  lastRequest_ = request.is_discarded() ? std::nullopt : std::optional<nlohmann::json>(request);

  if (behaviour_ == Behaviour::stall) {
    // Holds the answer back until the server stops; the client's time-out or cancellation must
    // end the request.
    ++stalled_;
    released_.wait(lock, [this] { return releasing_; });
    --stalled_;
    status = 503;
    answer = "{}";
    return;
  }
  if (behaviour_ == Behaviour::serverError) {
    status = 500;
    answer = R"({"error":"internal"})";
    return;
  }
  if (fixedAnswer_) {
    status = fixedAnswer_->first;
    answer = fixedAnswer_->second;
    return;
  }
  if (request.is_discarded() || !request.is_object() || !request.contains("accountID") ||
      !request["accountID"].is_string() || !request.contains("password") ||
      !request["password"].is_string()) {
    status = 400;
    answer = R"({"error":"bad request"})";
    return;
  }
  const auto accountID = request["accountID"].get<std::string>();
  const auto password = request["password"].get<std::string>();
  for (const auto& account : accounts_) {
    if (account.accountID != accountID || account.password != password) continue;
    int slot = account.assignedSlot;
    if (request.contains("requestedSlot") && request["requestedSlot"].is_number_integer()) {
      slot = request["requestedSlot"].get<int>();
    }
    answer = nlohmann::json{{"status", "ok"},
                            {"assignedSlot", slot},
                            {"accountID", account.accountID},
                            {"routes", account.routes},
                            {"message", account.message}}
                 .dump();
    return;
  }
  answer = nlohmann::json{{"status", "rejected"}, {"message", "Account ID or password is incorrect."}}.dump();
}

}  // namespace vantrel::tools
