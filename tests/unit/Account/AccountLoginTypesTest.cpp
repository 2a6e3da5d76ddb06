#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Account/AccountLoginTypes.hpp"

namespace vantrel {
namespace {

TEST(AccountManagerRoute, ConnectionHostsSplitTrimAndDeduplicate) {
  struct Case {
    std::string inside;
    std::string publicHost;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"10.0.0.5", "203.0.113.7", {"10.0.0.5", "203.0.113.7"}},
      {"10.0.0.5,10.0.0.6", "203.0.113.7", {"10.0.0.5", "10.0.0.6", "203.0.113.7"}},
      {" 10.0.0.5 ,\t10.0.0.6\n", " 203.0.113.7 ", {"10.0.0.5", "10.0.0.6", "203.0.113.7"}},
      {",,10.0.0.5,, ,", "", {"10.0.0.5"}},
      {"10.0.0.5,10.0.0.5,10.0.0.6", "10.0.0.5", {"10.0.0.5", "10.0.0.6"}},
      {"b.example,a.example", "b.example", {"b.example", "a.example"}},
      {"", "", {}},
      {" , \n", "  ", {}},
      {"", "manager.example", {"manager.example"}},
      // A non-breaking space and an ideographic space are white space too.
      {"\u00A010.0.0.9\u3000", "", {"10.0.0.9"}},
      // Case differs: not a duplicate.
      {"Host.example,host.example", "", {"Host.example", "host.example"}},
  };
  for (const auto& c : cases) {
    AccountManagerRoute route{1, c.inside, c.publicHost, 5000};
    EXPECT_EQ(route.connectionHosts(), c.expected)
        << "inside=\"" << c.inside << "\" public=\"" << c.publicHost << "\"";
  }
}

TEST(AccountManagerRoute, JSONRoundTripUsesTheFixedKeys) {
  AccountManagerRoute route{3, "10.0.0.5,10.0.0.6", "203.0.113.7", 40123};
  const auto json = toJSON(route);
  EXPECT_EQ(json.dump(),
            R"({"insideHost":"10.0.0.5,10.0.0.6","managerIndex":3,"port":40123,"publicHost":"203.0.113.7"})");
  EXPECT_EQ(decodeAccountManagerRoute(json), route);
}

TEST(AccountManagerRoute, StrictDecodingRejectsMissingKeysWrongTypesAndBadPorts) {
  const char* bad[] = {
      R"({"insideHost":"a","publicHost":"b","port":1})",
      R"({"managerIndex":1,"publicHost":"b","port":1})",
      R"({"managerIndex":1,"insideHost":"a","port":1})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b"})",
      R"({"managerIndex":"1","insideHost":"a","publicHost":"b","port":1})",
      R"({"managerIndex":1.0,"insideHost":"a","publicHost":"b","port":1})",
      R"({"managerIndex":1,"insideHost":5,"publicHost":"b","port":1})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":null,"port":1})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b","port":"1"})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b","port":0})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b","port":65536})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b","port":-1})",
      R"({"managerIndex":1,"insideHost":"a","publicHost":"b","port":80.5})",
      R"({"managerIndex":4294967297,"insideHost":"a","publicHost":"b","port":1})",
      R"([1,"a","b",1])",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(decodeAccountManagerRoute(nlohmann::json::parse(text))) << text;
  }
  const auto edge = decodeAccountManagerRoute(nlohmann::json::parse(
      R"({"managerIndex":5,"insideHost":"","publicHost":"","port":65535,"extra":true})"));
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->port, 65535);
  EXPECT_EQ(edge->managerIndex, 5);
}

TEST(AccountLoginRequest, EncodesEveryFieldUnderItsName) {
  AccountLoginRequest request;
  request.accountID = "operator";
  request.password = "pa\"ss";
  request.requestedSlot = 12;
  request.serial = 18446744073709551615ull;
  request.computerName = "Büro";
  request.version = "VantrelMac-0.2";
  request.insideAddresses = {"192.168.1.4", "10.0.0.2"};
  request.macAddress = "00:11:22:33:44:55";
  request.macAddress2 = "";
  EXPECT_EQ(toJSON(request).dump(),
            R"({"accountID":"operator","computerName":"Büro","insideAddresses":["192.168.1.4","10.0.0.2"],)"
            R"("macAddress":"00:11:22:33:44:55","macAddress2":"","password":"pa\"ss","requestedSlot":12,)"
            R"("serial":18446744073709551615,"version":"VantrelMac-0.2"})");
  request.requestedSlot.reset();
  EXPECT_TRUE(toJSON(request)["requestedSlot"].is_null());
}

TEST(AccountLoginPresentation, FollowsAuthenticationThenManagerState) {
  EXPECT_EQ(makeAccountLoginPresentation(true, true), AccountLoginPresentation::accountAuthenticated);
  EXPECT_EQ(makeAccountLoginPresentation(true, false), AccountLoginPresentation::accountAuthenticated);
  EXPECT_EQ(makeAccountLoginPresentation(false, true), AccountLoginPresentation::cachedManagerNeedsLogin);
  EXPECT_EQ(makeAccountLoginPresentation(false, false), AccountLoginPresentation::loginRequired);
  EXPECT_LT(static_cast<int>(AccountLoginPresentation::loginRequired),
            static_cast<int>(AccountLoginPresentation::cachedManagerNeedsLogin));
  EXPECT_LT(static_cast<int>(AccountLoginPresentation::cachedManagerNeedsLogin),
            static_cast<int>(AccountLoginPresentation::accountAuthenticated));
}

TEST(AutoConnectPolicy, AttemptsOnlyWhenEveryConditionHolds) {
  struct Case {
    bool remember;
    std::string account;
    bool attempted;
    bool automatic;
    bool expected;
  };
  const Case cases[] = {
      {true, "operator", false, true, true}, {false, "operator", false, true, false},
      {true, "operator", true, true, false}, {true, "operator", false, false, false},
      {true, "", false, true, false},        {true, " \t\n", false, true, false},
      {true, "\u3000", false, true, false},  {true, "  op  ", false, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        AutoConnectPolicy::shouldAttemptSavedAccountLogin(c.remember, c.account, c.attempted, c.automatic),
        c.expected)
        << c.remember << " '" << c.account << "' " << c.attempted << " " << c.automatic;
  }
}

}  // namespace
}  // namespace vantrel
