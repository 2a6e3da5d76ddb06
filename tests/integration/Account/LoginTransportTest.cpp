#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>

#include <fstream>

#include "Account/AccountLoginService.hpp"
#include "Account/URLSessionAccountLoginTransport.hpp"
#include "LoginServerStandIn.hpp"
#include "support/AsyncTest.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using tools::LoginServerStandIn;
using tools::TestCertificateAuthority;
using TransportCase = HttpClientError::Case;

std::vector<LoginServerStandIn::Account> accounts() {
  LoginServerStandIn::Account account;
  account.accountID = "operator";
  account.password = "correct horse";
  account.assignedSlot = 4;
  account.message = "Welcome back";
  account.routes = nlohmann::json::parse(R"([
    {"managerIndex": 1, "insideHost": "10.0.0.5, 10.0.0.6", "publicHost": "203.0.113.7", "port": 5000},
    {"managerIndex": 2, "insideHost": "", "publicHost": "m2.example", "port": 5001}
  ])");
  return {account};
}

AccountLoginRequest request(std::string password = "correct horse") {
  AccountLoginRequest r;
  r.accountID = " operator ";
  r.password = std::move(password);
  r.serial = 99;
  r.computerName = "desk";
  r.version = "VantrelMac-0.2";
  r.insideAddresses = {"192.168.1.4"};
  r.macAddress = "00:11:22:33:44:55";
  return r;
}

class LoginTransportTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  TestCertificateAuthority authority;
  std::filesystem::path caFile = home.path() / "ca.pem";
  asio::io_context io;

  void SetUp() override { std::ofstream(caFile) << authority.rootPEM(); }

  std::shared_ptr<URLSessionAccountLoginTransport> transport(
      std::chrono::milliseconds total = std::chrono::seconds(20), bool trustTestCA = true) {
    URLSessionAccountLoginTransport::Options options;
    options.totalTimeout = total;
    options.connectTimeout = std::chrono::seconds(10);
    if (trustTestCA) options.caFile = caFile;
    return std::make_shared<URLSessionAccountLoginTransport>(options);
  }

  AccountLoginResult login(const LoginServerStandIn& server, std::shared_ptr<AccountLoginTransporting> t,
                           AccountLoginRequest r = request()) {
    AccountLoginService service(server.baseURL(), std::move(t));
    return testing::runAwaitable(io, service.login(std::move(r)));
  }

  template <typename E>
  std::optional<E> loginError(const LoginServerStandIn& server, std::shared_ptr<AccountLoginTransporting> t,
                              AccountLoginRequest r = request()) {
    try {
      login(server, std::move(t), std::move(r));
    } catch (const E& error) {
      return error;
    }
    return std::nullopt;
  }
};

TEST_F(LoginTransportTest, SignsInOverLoopbackHTTPS) {
  LoginServerStandIn server(accounts(), authority);
  server.start();
  const auto result = login(server, transport());
  EXPECT_EQ(result.assignedSlot, 4);
  EXPECT_EQ(result.accountID, "operator");
  EXPECT_EQ(result.serverMessage, "Welcome back");
  ASSERT_EQ(result.routes.size(), 2u);
  EXPECT_EQ(result.routes[0].connectionHosts(),
            (std::vector<std::string>{"10.0.0.5", "10.0.0.6", "203.0.113.7"}));
  EXPECT_EQ(result.routes[1], (AccountManagerRoute{2, "", "m2.example", 5001}));

  const auto posted = server.lastRequest();
  ASSERT_TRUE(posted);
  EXPECT_EQ((*posted)["accountID"], "operator");
  EXPECT_EQ((*posted)["password"], "correct horse");
  EXPECT_TRUE((*posted)["requestedSlot"].is_null());
  EXPECT_EQ(server.lastContentType(), "application/json");

  auto withSlot = request();
  withSlot.requestedSlot = 65536;
  EXPECT_EQ(login(server, transport(), withSlot).assignedSlot, 65536);
}

TEST_F(LoginTransportTest, OversizedAnswerIsCutOff) {
  LoginServerStandIn server(accounts(), authority);
  server.start();
  server.setFixedAnswer(200, std::string(AccountLoginService::maxResponseSize + 1, ' '));
  const auto error = loginError<HttpClientError>(server, transport());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), TransportCase::responseTooLarge);
  // Exactly at the cap is still read (and then judged by the parser).
  server.setFixedAnswer(200, std::string(AccountLoginService::maxResponseSize, ' '));
  EXPECT_EQ(loginError<AccountLoginError>(server, transport()), AccountLoginError::invalidResponse());
}

TEST_F(LoginTransportTest, StallingServerTimesOut) {
  LoginServerStandIn server(accounts(), authority);
  server.start();
  server.setBehaviour(LoginServerStandIn::Behaviour::stall);
  const auto error = loginError<HttpClientError>(server, transport(std::chrono::milliseconds(300)));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), TransportCase::timedOut);
  EXPECT_EQ(error->localizedDescription(), "The request timed out.");
  EXPECT_EQ(server.requestsReceived(), 1);
}

TEST_F(LoginTransportTest, CancellationAbortsTheTransfer) {
  LoginServerStandIn server(accounts(), authority);
  server.start();
  server.setBehaviour(LoginServerStandIn::Behaviour::stall);
  // A long total time-out: only the cancellation can end this login in time.
  AccountLoginService service(server.baseURL(), transport(std::chrono::minutes(5)));
  asio::cancellation_signal signal;
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(io, service.login(request()),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, AccountLoginResult) {
                   error = e;
                   finished = true;
                 }));
  ASSERT_TRUE(testing::runUntil(io, [&] { return server.stalledRequests() == 1; }));
  EXPECT_FALSE(finished);
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(testing::runUntil(io, [&] { return finished; }));
  EXPECT_TRUE(isCancellation(error));
  // The server still holds its request: the client gave up without an answer.
  EXPECT_EQ(server.stalledRequests(), 1);
}

// The password never leaves the client when the server's certificate is not to be trusted.
TEST_F(LoginTransportTest, UntrustedCertificatesAreRefusedBeforeTheRequest) {
  TestCertificateAuthority stranger("Stranger CA");
  struct Row {
    const char* name;
    LoginServerStandIn server;
    bool trustTestCA;
  };
  Row rows[] = {
      {"untrusted authority", {accounts(), stranger.issueServer({"IP:127.0.0.1", "DNS:localhost"})}, true},
      {"another host", {accounts(), authority.issueServer({"DNS:login.other.example"})}, true},
      {"test authority without the CA file option", {accounts(), authority}, false},
  };
  for (auto& row : rows) {
    row.server.start();
    const auto error =
        loginError<HttpClientError>(row.server, transport(std::chrono::seconds(20), row.trustTestCA));
    ASSERT_TRUE(error) << row.name;
    EXPECT_EQ(error->kind(), TransportCase::secureConnectionFailed) << row.name;
    EXPECT_EQ(row.server.requestsReceived(), 0) << row.name;
  }
}

TEST_F(LoginTransportTest, ClosedPortCannotConnect) {
  int port = 0;
  {
    LoginServerStandIn server(accounts(), authority);
    port = server.start();
  }
  AccountLoginService service("https://127.0.0.1:" + std::to_string(port), transport());
  try {
    testing::runAwaitable(io, service.login(request()));
    FAIL() << "login succeeded";
  } catch (const HttpClientError& error) {
    EXPECT_EQ(error.kind(), TransportCase::cannotConnect);
  }
}

TEST_F(LoginTransportTest, PlainHTTPIsNeverUsed) {
  // The transport itself refuses a non-HTTPS URL even when a caller bypasses the service.
  auto t = transport();
  try {
    testing::runAwaitable(io, t->postJSON("http://127.0.0.1:9/login", "{}"));
    FAIL() << "plain HTTP was attempted";
  } catch (const HttpClientError& error) {
    EXPECT_EQ(error.kind(), TransportCase::requestFailed);
  }
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST_F(LoginTransportTest, HttpClientGetsAndRefusesUnknownMethods) {
  LoginServerStandIn server(accounts(), authority);
  server.start();
  HttpClientOptions options;
  options.caFile = caFile;
  HttpRequest get;
  get.url = server.baseURL() + "/login";
  // The stand-in serves POST only: a GET reaches it and gets its 404.
  EXPECT_EQ(testing::runAwaitable(io, performHttpRequest(get, options)).status, 404);
  EXPECT_EQ(server.requestsReceived(), 0);
  HttpRequest put = get;
  put.method = "PUT";
  try {
    testing::runAwaitable(io, performHttpRequest(put, options));
    FAIL() << "PUT was sent";
  } catch (const HttpClientError& error) {
    EXPECT_EQ(error.kind(), HttpClientError::Case::requestFailed);
  }
}

}  // namespace
}  // namespace vantrel
