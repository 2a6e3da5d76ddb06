#include <gtest/gtest.h>

#include <fstream>

#include "Model/Settings/InfoDictionary.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(InfoDictionary, LiteralMapsKeepTheirTypes) {
  const InfoDictionary info{{"CFBundleShortVersionString", "1.4.2"},
                            {"SURequireSignedFeed", true},
                            {"SUVerifyUpdateBeforeExtraction", "YES"},
                            {"CFBundleVersion", 42}};
  EXPECT_EQ(info.string(InfoDictionary::shortVersionKey), "1.4.2");
  EXPECT_EQ(info.boolean(InfoDictionary::requireSignedFeedKey), true);
  // A value of another type reads like an absent one.
  EXPECT_FALSE(info.boolean(InfoDictionary::verifyBeforeExtractionKey));
  EXPECT_FALSE(info.string(InfoDictionary::versionKey));
  EXPECT_EQ(info.object(InfoDictionary::versionKey), InfoDictionary::Value(42));
  EXPECT_FALSE(info.object(InfoDictionary::feedURLKey));
}

TEST(InfoDictionary, BundleIdentifierFallsBackToTheProductsOwn) {
  EXPECT_EQ(InfoDictionary().bundleIdentifier(), "local.vantrel.VantrelMac");
  EXPECT_EQ((InfoDictionary{{"CFBundleIdentifier", ""}}).bundleIdentifier(), "local.vantrel.VantrelMac");
  EXPECT_EQ((InfoDictionary{{"CFBundleIdentifier", 5}}).bundleIdentifier(), "local.vantrel.VantrelMac");
  EXPECT_EQ((InfoDictionary{{"CFBundleIdentifier", "com.example.x"}}).bundleIdentifier(), "com.example.x");
}

TEST(InfoDictionary, LoadReadsOnlyAJSONObjectFromARegularFile) {
  testing::TemporaryDirectory dir;
  const auto file = dir.path() / "Info.json";
  EXPECT_FALSE(InfoDictionary::load(file));
  std::ofstream(file) << R"({"CFBundleVersion":"7","SURequireSignedFeed":false})";
  const auto info = InfoDictionary::load(file);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->string("CFBundleVersion"), "7");
  EXPECT_EQ(info->boolean("SURequireSignedFeed"), false);
  for (const char* bad : {"[1]", "{", "", "\"text\""}) {
    std::ofstream(file, std::ios::trunc) << bad;
    EXPECT_FALSE(InfoDictionary::load(file)) << bad;
  }
  EXPECT_FALSE(InfoDictionary::load(dir.path()));
  std::ofstream(file, std::ios::trunc) << std::string(InfoDictionary::maximumFileSize + 1, ' ') << "{}";
  EXPECT_FALSE(InfoDictionary::load(file));
}

TEST(InfoDictionary, ANonObjectGivesAnEmptyDictionary) {
  EXPECT_TRUE(InfoDictionary(InfoDictionary::Value::array()).empty());
  EXPECT_TRUE(InfoDictionary(InfoDictionary::Value("x")).empty());
}

}  // namespace
}  // namespace vantrel
