#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Account/AccountLoginService.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

class FakeLoginTransport final : public AccountLoginTransporting {
 public:
  AccountLoginHTTPResponse response{200, "{}"};
  std::exception_ptr error;
  int calls = 0;
  std::string url;
  std::string body;

  Awaitable<AccountLoginHTTPResponse> postJSON(std::string postedURL, std::string postedBody) override {
    ++calls;
    url = std::move(postedURL);
    body = std::move(postedBody);
    if (error) std::rethrow_exception(error);
    co_return response;
  }
};

AccountLoginRequest validRequest() {
  AccountLoginRequest request;
  request.accountID = "operator";
  request.password = "secret";
  request.serial = 42;
  request.computerName = "desk";
  request.version = "VantrelMac-0.2";
  request.insideAddresses = {"192.168.1.4"};
  request.macAddress = "00:11:22:33:44:55";
  return request;
}

class AccountLoginServiceTest : public ::testing::Test {
 protected:
  asio::io_context io;
  std::shared_ptr<FakeLoginTransport> transport = std::make_shared<FakeLoginTransport>();

  AccountLoginResult login(AccountLoginRequest request, std::string baseURL = "https://login.test.example") {
    AccountLoginService service(std::move(baseURL), transport);
    return testing::runAwaitable(io, service.login(std::move(request)));
  }

  // The error a login throws, as an AccountLoginError.
  std::optional<AccountLoginError> loginError(AccountLoginRequest request,
                                              std::string baseURL = "https://login.test.example") {
    try {
      login(std::move(request), std::move(baseURL));
    } catch (const AccountLoginError& error) {
      return error;
    }
    return std::nullopt;
  }

  std::optional<AccountLoginError> answerError(int status, std::string body) {
    transport->response = {status, std::move(body)};
    return loginError(validRequest());
  }
};

TEST_F(AccountLoginServiceTest, ValidatesTheRequestInOrderWithoutPosting) {
  struct Case {
    const char* name;
    std::function<void(AccountLoginRequest&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"empty account", [](auto& r) { r.accountID = ""; }, "Account ID must not be empty."},
      {"blank account", [](auto& r) { r.accountID = " \n\t\u3000"; }, "Account ID must not be empty."},
      {"empty account before empty password",
       [](auto& r) {
         r.accountID = "";
         r.password = "";
         r.macAddress = "";
       },
       "Account ID must not be empty."},
      {"empty password", [](auto& r) { r.password = ""; }, "Password must not be empty."},
      {"empty password before device",
       [](auto& r) {
         r.password = "";
         r.macAddress = "";
         r.requestedSlot = 0;
       },
       "Password must not be empty."},
      {"no device identity", [](auto& r) { r.macAddress = ""; }, "Device identity is unavailable."},
      {"device before slot",
       [](auto& r) {
         r.macAddress = "";
         r.requestedSlot = 70000;
       },
       "Device identity is unavailable."},
      {"slot 0", [](auto& r) { r.requestedSlot = 0; }, "Client number must be between 1 and 65536."},
      {"slot -1", [](auto& r) { r.requestedSlot = -1; }, "Client number must be between 1 and 65536."},
      {"slot 65537", [](auto& r) { r.requestedSlot = 65537; }, "Client number must be between 1 and 65536."},
  };
  for (const auto& c : cases) {
    auto request = validRequest();
    c.change(request);
    const auto error = loginError(request);
    ASSERT_TRUE(error) << c.name;
    EXPECT_EQ(*error, AccountLoginError::invalidRequest(c.message)) << c.name;
  }
  EXPECT_EQ(transport->calls, 0);
}

TEST_F(AccountLoginServiceTest, AcceptsBoundarySlotsAndBlankPasswordCharacters) {
  transport->response = {
      200, R"({"status":"ok","assignedSlot":1,"accountID":"operator","routes":[],"message":""})"};
  for (std::optional<int> slot : {std::optional<int>(), std::optional<int>(1), std::optional<int>(65536)}) {
    auto request = validRequest();
    request.requestedSlot = slot;
    request.password = " ";  // a password is taken as typed, never trimmed
    EXPECT_NO_THROW(login(request));
  }
  EXPECT_EQ(transport->calls, 3);
}

TEST_F(AccountLoginServiceTest, PostsTheTrimmedRequestToTheLoginPath) {
  transport->response = {
      200, R"({"status":"ok","assignedSlot":7,"accountID":"operator","routes":[],"message":"hi"})"};
  auto request = validRequest();
  request.accountID = "  operator\n";
  request.password = " pass word ";
  request.requestedSlot = 7;
  login(request, "https://login.test.example/api/v1/");
  EXPECT_EQ(transport->url, "https://login.test.example/api/v1/login");
  const auto body = nlohmann::json::parse(transport->body);
  EXPECT_EQ(body["accountID"], "operator");
  EXPECT_EQ(body["password"], " pass word ");
  EXPECT_EQ(body["requestedSlot"], 7);
  EXPECT_EQ(body["serial"], 42);
  EXPECT_EQ(body["macAddress"], "00:11:22:33:44:55");
  EXPECT_EQ(body["insideAddresses"], nlohmann::json::array({"192.168.1.4"}));
}

TEST_F(AccountLoginServiceTest, RejectsBaseURLsThatAreNotPlainHTTPS) {
  const char* bad[] = {"",
                       "login.test.example",
                       "http://login.test.example",
                       "ftp://login.test.example",
                       "https://",
                       "https:///login",
                       "https://user:pw@login.test.example",
                       "https://login.test.example?x=1",
                       "https://login.test.example/#frag",
                       "https://login test.example",
                       "https://login.test.example:99999",
                       "https://login.test.example:",
                       "https://[::1",
                       "https://login.test.example/\x01"};
  for (const char* url : bad) {
    const auto error = loginError(validRequest(), url);
    ASSERT_TRUE(error) << url;
    EXPECT_EQ(*error, AccountLoginError::invalidBaseURL()) << url;
  }
  EXPECT_EQ(transport->calls, 0);
  EXPECT_EQ(AccountLoginService::loginURL("HTTPS://127.0.0.1:8443"), "HTTPS://127.0.0.1:8443/login");
  EXPECT_EQ(AccountLoginService::loginURL("https://[::1]:8443/a"), "https://[::1]:8443/a/login");
  EXPECT_NO_THROW(AccountLoginService::loginURL(AccountLoginService::productionBaseURL));
}

TEST_F(AccountLoginServiceTest, RequestErrorsComeBeforeBaseURLErrors) {
  auto request = validRequest();
  request.password = "";
  EXPECT_EQ(loginError(request, "http://bad"),
            AccountLoginError::invalidRequest("Password must not be empty."));
}

TEST_F(AccountLoginServiceTest, ParsesASuccessfulAnswer) {
  transport->response = {200, R"({
    "status": "ok", "assignedSlot": 65536, "accountID": "operator", "message": "Welcome",
    "routes": [
      {"managerIndex": 1, "insideHost": "10.0.0.5,10.0.0.6", "publicHost": "203.0.113.7", "port": 5000},
      {"managerIndex": 5, "insideHost": "", "publicHost": "m5.example", "port": 65535, "note": "ignored"}
    ],
    "future": {"nested": true}
  })"};
  const auto result = login(validRequest());
  EXPECT_EQ(result.assignedSlot, 65536);
  EXPECT_EQ(result.accountID, "operator");
  EXPECT_EQ(result.serverMessage, "Welcome");
  ASSERT_EQ(result.routes.size(), 2u);
  EXPECT_EQ(result.routes[0], (AccountManagerRoute{1, "10.0.0.5,10.0.0.6", "203.0.113.7", 5000}));
  EXPECT_EQ(result.routes[1], (AccountManagerRoute{5, "", "m5.example", 65535}));
}

TEST_F(AccountLoginServiceTest, AcceptsFiveRoutesAndNone) {
  nlohmann::json routes = nlohmann::json::array();
  for (int i = 1; i <= 5; ++i) {
    routes.push_back({{"managerIndex", 6 - i}, {"insideHost", "h"}, {"publicHost", "p"}, {"port", 1000 + i}});
  }
  nlohmann::json answer{
      {"status", "ok"}, {"assignedSlot", 1}, {"accountID", "a"}, {"routes", routes}, {"message", ""}};
  transport->response = {200, answer.dump()};
  EXPECT_EQ(login(validRequest()).routes.size(), 5u);
  answer["routes"] = nlohmann::json::array();
  transport->response = {200, answer.dump()};
  EXPECT_TRUE(login(validRequest()).routes.empty());
}

TEST_F(AccountLoginServiceTest, RejectionCarriesTheServerMessage) {
  EXPECT_EQ(answerError(200, R"({"status":"rejected","message":"Wrong password."})"),
            AccountLoginError::serverRejected("Wrong password."));
  EXPECT_EQ(answerError(200, R"({"status":"rejected","message":"비밀번호가 틀렸습니다."})"),
            AccountLoginError::serverRejected("비밀번호가 틀렸습니다."));
}

TEST_F(AccountLoginServiceTest, OtherStatusesAreInvalidHTTPStatus) {
  for (int status : {100, 201, 204, 301, 400, 401, 403, 404, 500, 503, 0}) {
    EXPECT_EQ(
        answerError(status, R"({"status":"ok","assignedSlot":1,"accountID":"a","routes":[],"message":""})"),
        AccountLoginError::invalidHTTPStatus(status))
        << status;
  }
}

TEST_F(AccountLoginServiceTest, MalformedAnswersAreInvalidResponse) {
  const std::string route1 = R"({"managerIndex":1,"insideHost":"h","publicHost":"p","port":5000})";
  auto ok = [](std::string slot, std::string account, std::string routes, std::string message = R"("m")") {
    return R"({"status":"ok","assignedSlot":)" + slot + R"(,"accountID":)" + account + R"(,"routes":)" +
           routes + R"(,"message":)" + message + "}";
  };
  auto withRoute = [&](std::string route) { return ok("1", R"("a")", "[" + route + "]"); };
  const std::pair<const char*, std::string> cases[] = {
      {"empty body", ""},
      {"not JSON", "<html>"},
      {"truncated", R"({"status":"ok")"},
      {"array", "[]"},
      {"string", R"("ok")"},
      {"null", "null"},
      {"trailing garbage", ok("1", R"("a")", "[]") + "x"},
      {"invalid UTF-8", std::string(R"({"status":"rejected","message":")") + "\xC3\x28" + "\"}"},
      {"no status", R"({"assignedSlot":1,"accountID":"a","routes":[],"message":""})"},
      {"status not string", R"({"status":1,"assignedSlot":1,"accountID":"a","routes":[],"message":""})"},
      {"unknown status", R"({"status":"maybe","assignedSlot":1,"accountID":"a","routes":[],"message":""})"},
      {"no message", R"({"status":"ok","assignedSlot":1,"accountID":"a","routes":[]})"},
      {"message not string", ok("1", R"("a")", "[]", "null")},
      {"rejection without message", R"({"status":"rejected"})"},
      {"rejection message not string", R"({"status":"rejected","message":5})"},
      {"rejection message blank", R"({"status":"rejected","message":"  "})"},
      {"no slot", R"({"status":"ok","accountID":"a","routes":[],"message":""})"},
      {"slot string", ok(R"("1")", R"("a")", "[]")},
      {"slot float", ok("1.5", R"("a")", "[]")},
      {"slot float integral", ok("2.0", R"("a")", "[]")},
      {"slot 0", ok("0", R"("a")", "[]")},
      {"slot -1", ok("-1", R"("a")", "[]")},
      {"slot 65537", ok("65537", R"("a")", "[]")},
      {"slot huge", ok("18446744073709551615", R"("a")", "[]")},
      {"slot null", ok("null", R"("a")", "[]")},
      {"no account", R"({"status":"ok","assignedSlot":1,"routes":[],"message":""})"},
      {"account number", ok("1", "7", "[]")},
      {"account empty", ok("1", R"("")", "[]")},
      {"account blank", ok("1", R"(" ")", "[]")},
      {"no routes", R"({"status":"ok","assignedSlot":1,"accountID":"a","message":""})"},
      {"routes object", ok("1", R"("a")", route1)},
      {"routes null", ok("1", R"("a")", "null")},
      {"six routes",
       ok("1", R"("a")",
          "[" + route1 + "," + route1 + "," + route1 + "," + route1 + "," + route1 + "," + route1 + "]")},
      {"route not object", withRoute("5")},
      {"index 0", withRoute(R"({"managerIndex":0,"insideHost":"h","publicHost":"p","port":5000})")},
      {"index 6", withRoute(R"({"managerIndex":6,"insideHost":"h","publicHost":"p","port":5000})")},
      {"index -1", withRoute(R"({"managerIndex":-1,"insideHost":"h","publicHost":"p","port":5000})")},
      {"index string", withRoute(R"({"managerIndex":"1","insideHost":"h","publicHost":"p","port":5000})")},
      {"port 0", withRoute(R"({"managerIndex":1,"insideHost":"h","publicHost":"p","port":0})")},
      {"port 65536", withRoute(R"({"managerIndex":1,"insideHost":"h","publicHost":"p","port":65536})")},
      {"port string", withRoute(R"({"managerIndex":1,"insideHost":"h","publicHost":"p","port":"5000"})")},
      {"missing insideHost", withRoute(R"({"managerIndex":1,"publicHost":"p","port":5000})")},
      {"missing publicHost", withRoute(R"({"managerIndex":1,"insideHost":"h","port":5000})")},
      {"insideHost array",
       withRoute(R"({"managerIndex":1,"insideHost":["h"],"publicHost":"p","port":5000})")},
      {"duplicate index", ok("1", R"("a")", "[" + route1 + "," + route1 + "]")},
      {"deep nesting", R"({"status":"ok","assignedSlot":1,"accountID":"a","message":"","routes":)" +
                           std::string(30000, '[') + std::string(30000, ']') + "}"},
  };
  for (const auto& [name, body] : cases) {
    EXPECT_EQ(answerError(200, body), AccountLoginError::invalidResponse()) << name;
  }
}

TEST_F(AccountLoginServiceTest, OversizedAnswerIsInvalidEvenFromAFakeTransport) {
  std::string body = R"({"status":"ok","assignedSlot":1,"accountID":"a","routes":[],"message":")";
  body += std::string(AccountLoginService::maxResponseSize, 'x');
  body += "\"}";
  EXPECT_EQ(answerError(200, body), AccountLoginError::invalidResponse());
}

TEST_F(AccountLoginServiceTest, LoginOutlivesTheServiceValue) {
  transport->response = {
      200, R"({"status":"ok","assignedSlot":9,"accountID":"operator","routes":[],"message":""})"};
  auto operation = [&] {
    AccountLoginService temporary("https://login.test.example", transport);
    return temporary.login(validRequest());
  }();  // the service is gone before the login starts
  EXPECT_EQ(testing::runAwaitable(io, std::move(operation)).assignedSlot, 9);
  EXPECT_EQ(transport->url, "https://login.test.example/login");
}

TEST_F(AccountLoginServiceTest, TransportErrorsPassThrough) {
  transport->error = std::make_exception_ptr(TimeoutError());
  AccountLoginService service("https://login.test.example", transport);
  EXPECT_THROW(testing::runAwaitable(io, service.login(validRequest())), TimeoutError);
}

}  // namespace
}  // namespace vantrel
