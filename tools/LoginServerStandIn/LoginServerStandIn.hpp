#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "TestCertificateAuthority.hpp"

namespace httplib {
class SSLServer;
}

namespace vantrel::tools {

// A loopback HTTPS login server that answers POST /login as docs/login-api.md describes, from a
// list of accounts. Tests can make it stall, fail or answer with a body of their choosing.
class LoginServerStandIn {
 public:
  struct Account {
    std::string accountID;
    std::string password;
    int assignedSlot = 1;
    nlohmann::json routes = nlohmann::json::array();
    std::string message;
  };

  enum class Behaviour { normal, stall, serverError };

  // The server presents a certificate for 127.0.0.1 and localhost issued by `authority`.
  LoginServerStandIn(std::vector<Account> accounts, const TestCertificateAuthority& authority);
  // The server presents the given identity (tests use one from an authority the client does not
  // trust).
  LoginServerStandIn(std::vector<Account> accounts, Identity identity);
  ~LoginServerStandIn();
  LoginServerStandIn(const LoginServerStandIn&) = delete;
  LoginServerStandIn& operator=(const LoginServerStandIn&) = delete;

  // Accounts from a JSON file: {"accounts": [{"accountID", "password", "assignedSlot", "routes",
  // "message"}]}. Throws std::runtime_error when the file is malformed.
  static std::vector<Account> loadAccounts(const std::string& jsonText);

  // Binds 127.0.0.1 (port 0 = any free port) and serves on a thread; returns the port.
  int start(int port = 0);
  // Releases stalled requests and stops the server; idempotent.
  void stop();

  std::string baseURL() const;
  void setBehaviour(Behaviour behaviour);
  // Answers every login with this status and body instead of the account logic.
  void setFixedAnswer(int status, std::string body);

  int requestsReceived() const;
  int stalledRequests() const;
  std::optional<nlohmann::json> lastRequest() const;
  std::optional<std::string> lastContentType() const;

 private:
  void handle(const std::string& body, const std::string& contentType, int& status, std::string& answer);

  std::vector<Account> accounts_;
  Identity identity_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool releasing_ = false;
  Behaviour behaviour_ = Behaviour::normal;
  std::optional<std::pair<int, std::string>> fixedAnswer_;
  int requests_ = 0;
  int stalled_ = 0;
  std::optional<nlohmann::json> lastRequest_;
  std::optional<std::string> lastContentType_;
};

}  // namespace vantrel::tools
