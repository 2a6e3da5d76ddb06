#include <gtest/gtest.h>

#include <fstream>

#include "Model/InfoDictionary.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

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
