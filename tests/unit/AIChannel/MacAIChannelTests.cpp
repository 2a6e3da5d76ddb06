#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "AIChannel/AIWire.hpp"
#include "AIChannel/MacAIChannel.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using nlohmann::json;

MacAIChannel::EffectiveUserID uid(uid_t value) {
  return [value] { return value; };
}

AIChannelConfiguration config(bool enabled, std::vector<std::string> managers) {
  return AIChannelConfiguration{enabled, {}, false, std::move(managers)};
}

AccountLoginResult login() {
  AccountLoginResult result;
  result.assignedSlot = 3;
  result.accountID = "acme";
  result.routes = {AccountManagerRoute{1, "10.0.0.2", "Mgr.Example", 9000}};
  return result;
}

Bytes envelope(const std::string& body) { return toBytes(std::string(AIWire::prefixText) + body); }

// Decodes a response envelope; fails the test when it is not one.
json decode(const std::optional<Bytes>& bytes) {
  EXPECT_TRUE(bytes.has_value());
  if (!bytes) return json();
  EXPECT_TRUE(AIWire::hasPrefix(*bytes));
  return json::parse(toString(ByteView(*bytes).subspan(AIWire::prefix().size())));
}

class MacAIChannelTest : public ::testing::Test {
 protected:
  json request(MacAIChannel& channel, const std::string& body) {
    return decode(testing::runAwaitable(io, channel.handle(envelope(body))));
  }
  json requestBytes(MacAIChannel& channel, Bytes bytes) {
    return decode(testing::runAwaitable(io, channel.handle(std::move(bytes))));
  }
  static std::string errorCode(const json& response) {
    if (response.value("ok", true)) return "";
    return response["error"]["code"].get<std::string>();
  }
  asio::io_context io;
};

TEST_F(MacAIChannelTest, EnabledForEachCondition) {
  const auto context = AIAccountLoginContext::create(login());
  struct Row {
    const char* name;
    bool configEnabled;
    uid_t euid;
    bool accountBound;
    bool withLease;
    std::vector<std::string> managers;
    const char* boundHost;  // nullptr: never bound
    bool expected;
  };
  const std::vector<Row> rows{
      {"status-only, listed manager", true, 1000, false, false, {"mgr"}, "mgr", true},
      {"configuration disabled", false, 1000, false, false, {"mgr"}, "mgr", false},
      {"running as root", true, 0, false, false, {"mgr"}, "mgr", false},
      {"manager not listed", true, 1000, false, false, {"other"}, "mgr", false},
      {"never bound", true, 1000, false, false, {"mgr"}, nullptr, false},
      {"account-bound, lease host", true, 1000, true, true, {}, "10.0.0.2", true},
      {"account-bound, no lease even if listed", true, 1000, true, false, {"mgr"}, "mgr", false},
      {"account-bound, lease and listed other host", true, 1000, true, true, {"mgr"}, "mgr", true},
      {"account-bound, lease for another host", true, 1000, true, true, {}, "10.0.0.9", false},
      {"account-bound as root", true, 0, true, true, {}, "10.0.0.2", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto lease = row.withLease ? context->lease("10.0.0.2", 9000, "acme", 2) : nullptr;
    if (row.withLease) {
      ASSERT_NE(lease, nullptr);
    }
    const auto c = config(row.configEnabled, row.managers);
    auto channel = row.accountBound ? MacAIChannel::accountBound(c, lease, nullptr, uid(row.euid))
                                    : MacAIChannel::statusOnly(c, {}, uid(row.euid));
    if (row.boundHost) channel->bindManager(row.boundHost);
    EXPECT_EQ(channel->enabled(), row.expected);
    EXPECT_EQ(channel->hello().has_value(), row.expected);
  }
}

TEST_F(MacAIChannelTest, BindManagerMatchesListIgnoringCaseAndEntryBlanks) {
  struct Row {
    std::string entry;
    std::string host;
    bool allowed;
  };
  const std::vector<Row> rows{
      {"Mgr.Example", "mgr.example", true},
      {"  mgr.example \n", "MGR.EXAMPLE", true},
      {"\tmgr.example", "mgr.example", true},
      {"mgr.example", " mgr.example", false},  // the host is compared as given
      {"mgr.example.", "mgr.example", false},
      {"", "", true},  // the session never binds an empty host; the list rule alone matches it
      {"10.0.0.2", "10.0.0.20", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.entry + " vs " + row.host);
    auto channel = MacAIChannel::statusOnly(config(true, {row.entry}), {}, uid(501));
    channel->bindManager(row.host);
    EXPECT_EQ(channel->enabled(), row.allowed);
  }
}

// The lease's own rules (refresh, slots, routes) are the login context's tests; here: the channel
// matches the lease's host ignoring case and stops the moment the lease stops authorising.
TEST_F(MacAIChannelTest, AccountBoundChannelFollowsItsLease) {
  const auto context = AIAccountLoginContext::create(login());
  const auto lease = context->lease("mgr.example", 9000, "acme", 2);
  ASSERT_NE(lease, nullptr);
  auto channel = MacAIChannel::accountBound(config(true, {}), lease, nullptr, uid(501));
  channel->bindManager("MGR.EXAMPLE");
  ASSERT_TRUE(channel->enabled());
  lease->invalidate();
  EXPECT_FALSE(channel->enabled());
  EXPECT_FALSE(channel->hello().has_value());

  const auto fresh = context->lease("mgr.example", 9000, "acme", 2);
  auto second = MacAIChannel::accountBound(config(true, {}), fresh, nullptr, uid(501));
  second->bindManager("mgr.example");
  ASSERT_TRUE(second->enabled());
  context->revoke();
  EXPECT_FALSE(second->enabled());
}

TEST_F(MacAIChannelTest, HelloNamesProtocolAndCommands) {
  auto channel = MacAIChannel::statusOnly(config(true, {"mgr"}), {}, uid(501));
  EXPECT_FALSE(channel->hello().has_value());  // not bound yet
  channel->bindManager("mgr");
  const auto hello = decode(channel->hello());
  EXPECT_EQ(hello, (json{{"type", "hello"}, {"protocol", 1}, {"commands", {"status"}}}));
  const auto bytes = *channel->hello();
  EXPECT_EQ(toString(ByteView(bytes).first(9)), "VNMACAI1\n");
}

TEST_F(MacAIChannelTest, StatusAnswersEnabledStateBoundManagerAndVersion) {
  auto channel = MacAIChannel::statusOnly(config(true, {"mgr"}), {}, uid(501));
  auto response = request(*channel, R"({"id":"1","command":"status"})");
  EXPECT_EQ(response, (json{{"type", "response"},
                            {"id", "1"},
                            {"ok", true},
                            {"result",
                             {{"enabled", false},
                              {"boundManager", nullptr},
                              {"accountBound", false},
                              {"version", 1},
                              {"updateActivity",
                               {{"leases", json::object()},
                                {"installationCommitted", false},
                                {"updaterStatus", "업데이트 서비스 시작 전"}}}}}}));
  channel->bindManager("mgr");
  response = request(*channel, R"({"id":"2","command":"status"})");
  EXPECT_EQ(response["result"], (json{{"enabled", true},
                                      {"boundManager", "mgr"},
                                      {"accountBound", false},
                                      {"version", 1},
                                      {"updateActivity", response["result"]["updateActivity"]}}));
}

TEST_F(MacAIChannelTest, ReplayedIdsAreRefusedUntilTheNextBind) {
  auto channel = MacAIChannel::statusOnly(config(true, {"mgr"}), {}, uid(501));
  channel->bindManager("mgr");
  EXPECT_TRUE(request(*channel, R"({"id":"a","command":"status"})")["ok"].get<bool>());
  auto replay = request(*channel, R"({"id":"a","command":"status"})");
  EXPECT_EQ(errorCode(replay), "replayed_request_id");
  EXPECT_EQ(replay["id"], "a");
  // An unknown command still uses up its ID.
  EXPECT_EQ(errorCode(request(*channel, R"({"id":"b","command":"nope"})")), "unknown_command");
  EXPECT_EQ(errorCode(request(*channel, R"({"id":"b","command":"status"})")), "replayed_request_id");
  // IDs are compared exactly.
  EXPECT_TRUE(request(*channel, R"({"id":"A","command":"status"})")["ok"].get<bool>());
  channel->bindManager("mgr");
  EXPECT_TRUE(request(*channel, R"({"id":"a","command":"status"})")["ok"].get<bool>());
}

TEST_F(MacAIChannelTest, RememberedIdsAreBounded) {
  auto channel = MacAIChannel::statusOnly(config(true, {"mgr"}), {}, uid(501));
  channel->bindManager("mgr");
  for (std::size_t i = 0; i < MacAIChannel::maximumRememberedRequestIDs; ++i) {
    ASSERT_TRUE(
        request(*channel, json{{"id", std::to_string(i)}, {"command", "status"}}.dump())["ok"].get<bool>());
  }
  EXPECT_EQ(errorCode(request(*channel, R"({"id":"new","command":"status"})")), "request_id_limit");
  EXPECT_EQ(errorCode(request(*channel, R"({"id":"0","command":"status"})")), "replayed_request_id");
  channel->bindManager("mgr");
  EXPECT_TRUE(request(*channel, R"({"id":"new","command":"status"})")["ok"].get<bool>());
}

TEST_F(MacAIChannelTest, MalformedAndOversizedRequestsGetErrorCodes) {
  auto channel = MacAIChannel::statusOnly(config(true, {"mgr"}), {}, uid(501));
  channel->bindManager("mgr");
  struct Row {
    const char* name;
    Bytes bytes;
    std::string code;
  };
  std::string deep(60000, '[');
  const std::vector<Row> rows{
      {"no prefix", toBytes(R"({"id":"1","command":"status"})"), "malformed_request"},
      {"prefix only", envelope(""), "malformed_request"},
      {"not json", envelope("hello"), "malformed_request"},
      {"array", envelope("[1,2]"), "malformed_request"},
      {"truncated", envelope(R"({"id":"1","command":"sta)"), "malformed_request"},
      {"two objects", envelope(R"({"id":"1","command":"status"}{})"), "malformed_request"},
      {"invalid utf8", envelope("{\"id\":\"\xC3\",\"command\":\"status\"}"), "malformed_request"},
      {"deep nesting", envelope(deep), "malformed_request"},
      {"missing id", envelope(R"({"command":"status"})"), "invalid_request_id"},
      {"numeric id", envelope(R"({"id":1,"command":"status"})"), "invalid_request_id"},
      {"empty id", envelope(R"({"id":"","command":"status"})"), "invalid_request_id"},
      {"long id", envelope(json{{"id", std::string(129, 'x')}, {"command", "status"}}.dump()),
       "invalid_request_id"},
      {"missing command", envelope(R"({"id":"c1"})"), "malformed_request"},
      {"numeric command", envelope(R"({"id":"c2","command":5})"), "malformed_request"},
      {"oversized",
       envelope(R"({"id":"big","command":"status","pad":")" + std::string(64 * 1024, 'x') + "\"}"),
       "request_too_large"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto response = requestBytes(*channel, row.bytes);
    EXPECT_EQ(response["type"], "response");
    EXPECT_FALSE(response["ok"].get<bool>());
    EXPECT_EQ(errorCode(response), row.code);
  }
  // A refusal names the request's ID once it could be read.
  EXPECT_EQ(requestBytes(*channel, envelope(R"({"id":"c3"})"))["id"], "c3");
  EXPECT_TRUE(requestBytes(*channel, envelope(R"({"command":"status"})"))["id"].is_null());
  // A request of exactly the limit is read.
  const std::string head = R"({"id":"edge","command":"status","pad":")";
  const std::string tail = "\"}";
  const auto exact = envelope(
      head + std::string(MacAIChannel::maximumRequestSize - 9 - head.size() - tail.size(), 'x') + tail);
  ASSERT_EQ(exact.size(), MacAIChannel::maximumRequestSize);
  EXPECT_TRUE(requestBytes(*channel, exact)["ok"].get<bool>());
}

TEST_F(MacAIChannelTest, TestProbeIsReportedInStatus) {
  auto channel = MacAIChannel::statusOnly(
      config(true, {"mgr"}),
      []() -> Awaitable<Bytes> {
        co_return Bytes{0x00, 0xAB};
      },
      uid(501));
  channel->bindManager("mgr");
  EXPECT_EQ(request(*channel, R"({"id":"1","command":"status"})")["result"]["probe"], "00ab");

  auto failing = MacAIChannel::statusOnly(
      config(true, {"mgr"}),
      []() -> Awaitable<Bytes> {
        throw std::runtime_error("probe down");
        co_return Bytes{};
      },
      uid(501));
  failing->bindManager("mgr");
  EXPECT_EQ(errorCode(request(*failing, R"({"id":"1","command":"status"})")), "probe_failed");
}

TEST_F(MacAIChannelTest, HostThatIsNotUtf8DoesNotBreakTheAnswer) {
  auto channel = MacAIChannel::statusOnly(config(true, {}), {}, uid(501));
  channel->bindManager("bad\xFFhost");
  const auto response = request(*channel, R"({"id":"1","command":"status"})");
  EXPECT_TRUE(response["ok"].get<bool>());
  EXPECT_EQ(response["result"]["boundManager"], "bad\xEF\xBF\xBDhost");
}

}  // namespace
}  // namespace vantrel
