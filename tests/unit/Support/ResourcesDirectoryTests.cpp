#include <gtest/gtest.h>

#include <fstream>

#include "Support/Paths.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(ResourcesDirectoryTest, InstalledBuildUsesTheFolderBesideTheProgram) {
  testing::TemporaryHome home;
  const auto build = home.path() / "versions" / "2";
  fs::create_directories(build / "share" / "VantrelMac");
  fs::create_directories(home.path() / "versions" / "share" / "VantrelMac");  // must not win
  EXPECT_EQ(paths::resourcesDirectoryOf(build / "VantrelMac"), build / "share" / "VantrelMac");
}

TEST(ResourcesDirectoryTest, BuildTreeUsesTheFolderAbove) {
  testing::TemporaryHome home;
  fs::create_directories(home.path() / "VantrelMac");
  EXPECT_EQ(paths::resourcesDirectoryOf(home.path() / "VantrelMac" / "VantrelMac"),
            home.path() / "share" / "VantrelMac");
  // A file named like the folder is not a resources folder.
  fs::create_directories(home.path() / "VantrelMac" / "share");
  std::ofstream(home.path() / "VantrelMac" / "share" / "VantrelMac") << "x";
  EXPECT_EQ(paths::resourcesDirectoryOf(home.path() / "VantrelMac" / "VantrelMac"),
            home.path() / "share" / "VantrelMac");
}

}  // namespace
}  // namespace vantrel
