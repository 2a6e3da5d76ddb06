#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "Platform/Update/UpdateFrameworkAppcast.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Update/UpdateEncoding.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

using testing::AppcastEntry;
using update_signature::FeedFailure;

// RFC 8032, test 2: a one-byte message.
TEST(UpdateSignature, MatchesTheRfc8032Vector) {
  const auto hex = [](const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2)
      out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
  };
  const auto seed = hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
  const auto publicKey = hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  const auto signature =
      hex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c38"
          "7b2eaeb4302aeeb00d291612bb0c00");
  EXPECT_EQ(update_signature::publicKeyOf(seed), publicKey);
  EXPECT_EQ(update_signature::sign(seed, Bytes{0x72}), signature);
  EXPECT_TRUE(update_signature::verify(publicKey, Bytes{0x72}, signature));
  EXPECT_FALSE(update_signature::verify(publicKey, Bytes{0x73}, signature));
}

class SignedFeedTest : public ::testing::Test {
 protected:
  testing::UpdateKeys keys = testing::UpdateKeys::generate();
  std::string body = makeBody();
  std::string signedFeed = update_signature::signFeed(body, keys.privateKey);

  static std::string makeBody() {
    AppcastEntry entry;
    entry.version = "2";
    entry.shortVersion = "1.2";
    entry.url = "https://h/a.tgz";
    entry.length = "10";
    entry.signature = std::string(86, 'A');
    entry.signature->append("==");
    return testing::appcastXML({entry});
  }

  FeedFailure failureOf(const std::string& document, ByteView key) {
    const auto result = update_signature::verifyFeed(document, key);
    EXPECT_FALSE(result.body);
    return result.failure;
  }
};

TEST_F(SignedFeedTest, ValidFeedYieldsTheExactBody) {
  const auto result = update_signature::verifyFeed(signedFeed, keys.publicKey);
  ASSERT_TRUE(result.body);
  EXPECT_EQ(*result.body, body);
  std::string noFinalBreak = signedFeed;
  noFinalBreak.pop_back();
  EXPECT_TRUE(update_signature::verifyFeed(noFinalBreak, keys.publicKey).body);
}

TEST_F(SignedFeedTest, TamperedFeedsAreRefused) {
  for (std::size_t position : {std::size_t{0}, body.size() / 2, body.size() - 1}) {
    std::string flipped = signedFeed;
    flipped[position] = static_cast<char>(flipped[position] ^ 0x01);
    EXPECT_EQ(failureOf(flipped, keys.publicKey), FeedFailure::badSignature) << position;
  }
  EXPECT_EQ(failureOf(signedFeed, testing::UpdateKeys::generate().publicKey), FeedFailure::badSignature);
  EXPECT_EQ(failureOf(body, keys.publicKey), FeedFailure::missingSignature);
  EXPECT_EQ(failureOf(signedFeed + "<x/>", keys.publicKey), FeedFailure::malformedSignature);
  EXPECT_EQ(failureOf(signedFeed + "\n", keys.publicKey), FeedFailure::malformedSignature);

  const auto signature = update_signature::sign(keys.privateKey, asBytes(body));
  auto withSignature = [&](const Bytes& bytes) {
    return body + std::string(update_signature::feedTrailerPrefix) + update_encoding::encodeBase64(bytes) +
           " -->\n";
  };
  EXPECT_TRUE(update_signature::verifyFeed(withSignature(signature), keys.publicKey).body);
  Bytes shorter(signature.begin(), signature.end() - 1), longer = signature;
  longer.push_back(0);
  EXPECT_EQ(failureOf(withSignature(shorter), keys.publicKey), FeedFailure::malformedSignature);
  EXPECT_EQ(failureOf(withSignature(longer), keys.publicKey), FeedFailure::malformedSignature);
  // A signature of the body with the trailer moved elsewhere does not cover the new bytes.
  EXPECT_EQ(failureOf("<!-- x -->" + signedFeed, keys.publicKey), FeedFailure::badSignature);
}

TEST(UpdateSignature, VerifiesAMappedFile) {
  testing::TemporaryDirectory temp;
  const auto keys = testing::UpdateKeys::generate();
  const auto path = temp.path() / "archive";
  std::string content(300'000, 'x');
  testing::writeText(path, content);
  const auto signature = update_signature::signFile(keys.privateKey, path);
  const int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_TRUE(update_signature::verifyDescriptor(keys.publicKey, fd, signature));
  ::close(fd);
  content.back() = 'y';
  testing::writeText(path, content);
  const int changed = ::open(path.c_str(), O_RDONLY);
  EXPECT_FALSE(update_signature::verifyDescriptor(keys.publicKey, changed, signature));
  ::close(changed);
}

const std::string sig = std::string(86, 'A') + "==";

std::optional<AppcastItem> newest(const std::vector<AppcastEntry>& entries, std::uint64_t running) {
  return update_appcast::newestItem(testing::appcastXML(entries), running);
}

TEST(UpdateAppcast, ChoosesTheHighestNewerWellFormedItem) {
  const auto item = newest({{"3", "1.3", "https://h/3", "30", sig},
                            {"12", "1.12", "https://h/12", "120", sig},
                            {"9", "1.9", "https://h/9", "90", sig},
                            {"99", "bad", "https://h/99", "x", sig},
                            {"abc", "bad", "https://h/abc", "1", sig},
                            {"100", "bad", std::nullopt, "1", sig},
                            {"101", "bad", "https://h/101", std::nullopt, sig},
                            {"102", "bad", "https://h/102", "1", std::nullopt},
                            {"103", "bad", "https://h/103", "1", "AAAA"},
                            {"104", "bad", "https://h/104", "536870913", sig},
                            {"0105", "bad", "https://h/105", "1", sig}},
                           5);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->versionString, "12");
  EXPECT_EQ(item->displayVersionString, "1.12");
  EXPECT_EQ(item->fileURL, "https://h/12");
  EXPECT_EQ(item->length, 120u);
  EXPECT_EQ(item->edSignature, sig);
}

TEST(UpdateAppcast, NothingNewerIsNoItem) {
  EXPECT_FALSE(newest({{"5", "1.5", "https://h/5", "1", sig}, {"4", "1.4", "https://h/4", "1", sig}}, 5));
  EXPECT_FALSE(newest({}, 1));
}

TEST(UpdateAppcast, RefusesDoctypeEntitiesAndMalformedDocuments) {
  const auto refused = [](const std::string& document) {
    try {
      update_appcast::newestItem(document, 1);
    } catch (const UpdaterError& error) {
      return error.code() == updater_errors::feedMalformed;
    }
    return false;
  };
  EXPECT_TRUE(refused(testing::appcastXML({{"2", "x", "https://h/", "1", sig}}, "<!DOCTYPE rss>\n")));
  EXPECT_TRUE(refused(testing::appcastXML({{"2", "x", "https://h/", "1", sig}},
                                          "<!DOCTYPE rss [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>\n")));
  EXPECT_TRUE(refused("<rss><channel><item></channel></rss>"));
  EXPECT_TRUE(refused("<feed/>"));
  EXPECT_TRUE(refused("<rss version=\"2.0\"><channel/></rss>"));  // no namespace
  EXPECT_TRUE(refused(""));
}

}  // namespace
}  // namespace vantrel
