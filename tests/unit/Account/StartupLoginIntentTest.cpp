#include <gtest/gtest.h>

#include "Account/StartupLoginIntent.hpp"

namespace vantrel {
namespace {

const std::filesystem::path resources = "/opt/VantrelMac/share/VantrelMac";

TEST(StartupLoginIntent, AcceptsOnlyTheResourceFileOpenedAlone) {
  struct Case {
    std::vector<std::string> urls;
    bool expected;
  };
  const std::string good = "file:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup";
  const Case cases[] = {
      {{good}, true},
      {{"file://localhost/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, true},
      {{"file://LOCALHOST/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, true},
      {{"FILE:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, true},
      {{"file:/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, true},
      {{"file:///opt/VantrelMac/share/./VantrelMac/../VantrelMac/AutomaticLogin.vantrelstartup"}, true},
      {{"file:///opt/VantrelMac/share/VantrelMac//AutomaticLogin.vantrelstartup"}, true},
      {{"file:///opt/VantrelMac/share/VantrelMac/Automatic%4Cogin.vantrelstartup"}, true},
      {{"file:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup/"}, true},
      {{}, false},
      {{good, good}, false},
      {{good, "file:///tmp/other"}, false},
      {{"file://example.com/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, false},
      {{"file://127.0.0.1/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, false},
      {{good + "?x=1"}, false},
      {{good + "?"}, false},
      {{good + "#top"}, false},
      {{good + "#"}, false},
      {{"https://localhost/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, false},
      {{"/opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup"}, false},
      {{"file:///opt/VantrelMac/share/VantrelMac/automaticlogin.vantrelstartup"}, false},
      {{"file:///opt/VantrelMac/share/AutomaticLogin.vantrelstartup"}, false},
      {{"file:///opt/VantrelMac/share/VantrelMac/Other/../../AutomaticLogin.vantrelstartup"}, false},
      {{"file:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup%00"}, false},
      {{"file:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup%2"}, false},
      {{"file:///opt/VantrelMac/share/VantrelMac/AutomaticLogin.vantrelstartup%zz"}, false},
      {{"file://"}, false},
      {{""}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StartupLoginIntent::accepts(c.urls, resources), c.expected)
        << (c.urls.empty() ? "<none>" : c.urls[0]);
  }
}

TEST(StartupLoginIntent, NeedsAResourceDirectory) {
  const std::vector<std::string> urls{"file:///AutomaticLogin.vantrelstartup"};
  EXPECT_FALSE(StartupLoginIntent::accepts(urls, std::nullopt));
  EXPECT_FALSE(StartupLoginIntent::accepts(urls, std::filesystem::path()));
  EXPECT_TRUE(StartupLoginIntent::accepts(urls, std::filesystem::path("/")));
}

TEST(StartupLoginIntent, ComparesPathsInPrecomposedForm) {
  // "Café" precomposed (U+00E9) and decomposed (e + U+0301).
  const std::string nfcDir = "/Users/op/Caf\xC3\xA9/Resources";
  const std::string nfdDir = "/Users/op/Cafe\xCC\x81/Resources";
  const std::string nfcURL = "file:///Users/op/Caf%C3%A9/Resources/AutomaticLogin.vantrelstartup";
  const std::string nfdURL = "file:///Users/op/Cafe%CC%81/Resources/AutomaticLogin.vantrelstartup";
  const std::string rawNFD = "file:///Users/op/Cafe\xCC\x81/Resources/AutomaticLogin.vantrelstartup";
  EXPECT_TRUE(StartupLoginIntent::accepts({nfcURL}, std::filesystem::path(nfcDir)));
  EXPECT_TRUE(StartupLoginIntent::accepts({nfdURL}, std::filesystem::path(nfcDir)));
  EXPECT_TRUE(StartupLoginIntent::accepts({nfcURL}, std::filesystem::path(nfdDir)));
  EXPECT_TRUE(StartupLoginIntent::accepts({nfdURL}, std::filesystem::path(nfdDir)));
  EXPECT_TRUE(StartupLoginIntent::accepts({rawNFD}, std::filesystem::path(nfcDir)));
  // A different letter is still different.
  EXPECT_FALSE(StartupLoginIntent::accepts({"file:///Users/op/Cafe/Resources/AutomaticLogin.vantrelstartup"},
                                           std::filesystem::path(nfcDir)));
  // Invalid UTF-8 after decoding is refused.
  EXPECT_FALSE(StartupLoginIntent::accepts(
      {"file:///Users/op/Caf%E9/Resources/AutomaticLogin.vantrelstartup"}, std::filesystem::path(nfcDir)));
}

TEST(StartupLoginIntent, ArgumentsAfterTheProgramNameRequestAutomaticLogin) {
  struct Case {
    std::vector<std::string> arguments;
    bool expected;
  };
  const Case cases[] = {
      {{"VantrelMac", "ALogin"}, true},
      {{"VantrelMac", "alogin"}, true},
      {{"VantrelMac", "ALOGIN"}, true},
      {{"VantrelMac", "--auto-login"}, true},
      {{"VantrelMac", "--AUTO-Login"}, true},
      {{"VantrelMac", "-psn_0_1", "--auto-login"}, true},
      {{"ALogin"}, false},
      {{"--auto-login"}, false},
      {{}, false},
      {{"VantrelMac"}, false},
      {{"VantrelMac", "ALogin2"}, false},
      {{"VantrelMac", " ALogin"}, false},
      {{"VantrelMac", "--auto-login=1"}, false},
      {{"VantrelMac", "--autologin"}, false},
      {{"VantrelMac", "-auto-login"}, false},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.arguments) joined += "[" + a + "]";
    EXPECT_EQ(StartupLoginIntent::requestedByArguments(c.arguments), c.expected) << joined;
  }
}

}  // namespace
}  // namespace vantrel
