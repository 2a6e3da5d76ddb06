#include <gtest/gtest.h>

#include "Update/UpdateConfiguration.hpp"
#include "Update/UpdateEncoding.hpp"

namespace vantrel {
namespace {

using Case = UpdateConfiguration::ValidationError::Case;
using nlohmann::json;

const std::string key32 = std::string(43, 'A') + "=";

json valid() {
  return json{{"SUFeedURL", "https://updates.example/appcast.xml"},
              {"SUPublicEDKey", key32},
              {"SURequireSignedFeed", true},
              {"SUVerifyUpdateBeforeExtraction", true},
              {"CFBundleVersion", "42"}};
}

std::optional<Case> failure(const json& info) {
  try {
    UpdateConfiguration configuration(info);
    return std::nullopt;
  } catch (const UpdateConfiguration::ValidationError& error) {
    return error.kind();
  }
}

json with(json info, const std::string& key, json value) {
  info[key] = std::move(value);
  return info;
}
json without(json info, const std::string& key) {
  info.erase(key);
  return info;
}

TEST(UpdateConfigurationOrder, FirstFailingCheckIsTheOneReported) {
  struct Row {
    const char* name;
    json info;
    std::optional<Case> expected;
  };
  const std::vector<Row> rows = {
      {"empty dictionary", json::object(), Case::missingConfiguration},
      {"valid", valid(), std::nullopt},
      {"bad feed beats every missing key", json{{"SUFeedURL", "https://u@h/"}}, Case::missingConfiguration},
      {"host test before scheme", with(json::object(), "SUFeedURL", "http:///x"), Case::missingConfiguration},
      {"insecure feed beats a bad key", with(without(valid(), "SUPublicEDKey"), "SUFeedURL", "http://h/"),
       Case::insecureFeed},
      {"bad key beats unsigned", with(without(valid(), "SURequireSignedFeed"), "SUPublicEDKey", "AAAA"),
       Case::invalidPublicKey},
      {"unsigned beats a bad build", with(without(valid(), "CFBundleVersion"), "SURequireSignedFeed", false),
       Case::unsignedUpdates},
      {"second switch absent", without(valid(), "SUVerifyUpdateBeforeExtraction"), Case::unsignedUpdates},
      {"switch stored as text", with(valid(), "SURequireSignedFeed", "true"), Case::unsignedUpdates},
      {"other switch as text", with(valid(), "SUVerifyUpdateBeforeExtraction", "true"),
       Case::unsignedUpdates},
      {"switch as number", with(valid(), "SURequireSignedFeed", 1), Case::unsignedUpdates},
      {"build as a number", with(valid(), "CFBundleVersion", 42), Case::invalidBuild},
      {"build absent", without(valid(), "CFBundleVersion"), Case::invalidBuild},
      {"feed not text", with(valid(), "SUFeedURL", 7), Case::missingConfiguration},
      {"key not text", with(valid(), "SUPublicEDKey", json::array()), Case::invalidPublicKey},
      {"not an object", json::array({1, 2}), Case::missingConfiguration},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(failure(row.info), row.expected) << row.name;
  }
}

TEST(UpdateConfigurationFeed, UrlTable) {
  struct Row {
    const char* url;
    bool rehearsal;
    std::optional<Case> expected;
  };
  const std::vector<Row> rows = {
      {"https://h/", false, std::nullopt},
      {"HTTPS://h/", false, std::nullopt},
      {"https://h:8443/a/b.xml", false, std::nullopt},
      {"https://@h/", false, Case::missingConfiguration},
      {"https://u:p@h/", false, Case::missingConfiguration},
      {"https://h/?", false, Case::missingConfiguration},
      {"https://h/?a=1", false, Case::missingConfiguration},
      {"https://h/#", false, Case::missingConfiguration},
      {"https:///x", false, Case::missingConfiguration},
      {"mailto:a@b", false, Case::missingConfiguration},
      {"https://h /x", false, Case::missingConfiguration},
      {"https://h/\xEC\x95\x88", false, Case::missingConfiguration},
      {"https://h:99999/", false, Case::missingConfiguration},
      {"https://h:8x/", false, Case::missingConfiguration},
      {"https://h/%zz", false, Case::missingConfiguration},
      {"", false, Case::missingConfiguration},
      {"//h/x", true, Case::insecureFeed},
      {"ftp://h/x", true, Case::insecureFeed},
      {"http://localhost/a", false, Case::insecureFeed},
      {"http://LOCALHOST:8080/a", true, std::nullopt},
      {"http://127.0.0.1:9/", true, std::nullopt},
      {"http://[::1]:9/", true, std::nullopt},
      {"HTTP://localhost/", true, Case::insecureFeed},
      {"http://10.0.0.1/", true, Case::insecureFeed},
      {"http://localhost.example/", true, Case::insecureFeed},
  };
  for (const auto& row : rows) {
    auto info = with(valid(), "SUFeedURL", row.url);
    info["VNUpdateLocalRehearsal"] = row.rehearsal;
    EXPECT_EQ(failure(info), row.expected) << row.url << " rehearsal " << row.rehearsal;
  }
}

TEST(UpdateConfigurationResult, KeepsUrlAndRehearsalFlagAsRead) {
  UpdateConfiguration plain(valid());
  EXPECT_EQ(plain.feedURL().absoluteString, "https://updates.example/appcast.xml");
  EXPECT_EQ(plain.feedURL().host, "updates.example");
  EXPECT_FALSE(plain.isLocalRehearsal());

  UpdateConfiguration rehearsed(with(valid(), "VNUpdateLocalRehearsal", true));
  EXPECT_TRUE(rehearsed.isLocalRehearsal());  // stored even though the feed is https

  UpdateConfiguration textFlag(with(valid(), "VNUpdateLocalRehearsal", "true"));
  EXPECT_FALSE(textFlag.isLocalRehearsal());
}

TEST(UpdateConfigurationKey, Base64Table) {
  const auto bytes = [](std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(0xF8 + i * 3);
    return update_encoding::encodeBase64(b);
  };
  struct Row {
    std::string key;
    bool accepted;
  };
  const auto good = bytes(32);
  std::string urlSafe = good;
  std::replace(urlSafe.begin(), urlSafe.end(), '+', '-');
  std::replace(urlSafe.begin(), urlSafe.end(), '/', '_');
  ASSERT_NE(urlSafe, good);  // the vector really contains "+" or "/"
  const std::vector<Row> rows = {
      {good, true},
      {bytes(31), false},
      {bytes(33), false},
      {"", false},
      {good.substr(0, 22) + "\n" + good.substr(22), false},
      {good.substr(0, good.size() - 1), false},  // padding missing
      {urlSafe, false},
      {good.substr(0, 10) + "*" + good.substr(11), false},
      {" " + good, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(!failure(with(valid(), "SUPublicEDKey", row.key)).has_value(), row.accepted) << row.key;
  }
}

TEST(UpdateEncoding, Base64Vectors) {
  using update_encoding::decodeBase64;
  EXPECT_EQ(decodeBase64(""), Bytes{});
  EXPECT_EQ(decodeBase64("Zg=="), toBytes("f"));
  EXPECT_EQ(decodeBase64("Zm8="), toBytes("fo"));
  EXPECT_EQ(decodeBase64("Zm9v"), toBytes("foo"));
  EXPECT_EQ(decodeBase64("Zm9vYmFy"), toBytes("foobar"));
  EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
  for (const char* bad :
       {"Zg", "Zg=", "Zh==", "Zm9=", "Z===", "====", "Zg==Zg==", "Zm9v\r\n", "Zm 9v", "Zm9v="}) {
    EXPECT_FALSE(decodeBase64(bad).has_value()) << bad;
  }
  for (std::size_t n = 0; n < 40; ++n) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(255 - i * 13);
    EXPECT_EQ(decodeBase64(update_encoding::encodeBase64(data)), data) << n;
  }
}

TEST(UpdateConfigurationBuild, BuildNumberTable) {
  struct Row {
    std::string build;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {"1", true},
      {"42", true},
      {std::string(15, '9'), true},
      {"+12", true},
      {"0", false},
      {"007", false},
      {"", false},
      {std::string(16, '9'), false},
      {"1" + std::string(15, '0'), false},
      {"1.2", false},
      {"12a", false},
      {" 12", false},
      {"12 ", false},
      {"18446744073709551616", false},
      {"-0", false},
      {"-00", false},
      {"-5", false},
      {"+", false},
      {"++1", false},
      {"+012", true},  // the sign comes first, so it does not begin with "0"
  };
  for (const auto& row : rows) {
    EXPECT_EQ(failure(with(valid(), "CFBundleVersion", row.build)) != Case::invalidBuild, row.accepted)
        << row.build;
  }
}

TEST(AppVersionDisplay, Table) {
  EXPECT_EQ(AppVersion::display(json{{"CFBundleShortVersionString", "2.0"}}), "v2.0");
  EXPECT_EQ(AppVersion::display(json{{"CFBundleShortVersionString", " 1.4.2 "}}), "v 1.4.2 ");
  EXPECT_EQ(AppVersion::display(json{{"CFBundleShortVersionString", ""}}), "개발 버전");
  EXPECT_EQ(AppVersion::display(json{{"CFBundleShortVersionString", 2.0}}), "개발 버전");
  EXPECT_EQ(AppVersion::display(json::object()), "개발 버전");
  EXPECT_EQ(AppVersion::display(json{{"CFBundleVersion", "42"}}), "개발 버전");
}

}  // namespace
}  // namespace vantrel
