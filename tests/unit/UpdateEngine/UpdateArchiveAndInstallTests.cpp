#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkArchive.hpp"
#include "Platform/Update/UpdateFrameworkInstall.hpp"
#include "Update/UpdateEncoding.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Member = testing::ArchiveMember;
using Type = Member::Type;

class UpdateArchiveTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temp;
  fs::path staging = temp.path() / "staging";

  void SetUp() override { fs::create_directory(staging); }
  void resetStaging() {
    fs::remove_all(staging);
    fs::create_directory(staging);
  }

  // Extracts `archive`; returns the refusal's detail, or "" when it was accepted. A refusal must
  // carry `expected` as its code.
  std::string extract(const std::string& archive, const update_archive::Limits& limits = {},
                      updater_errors::Code expected = updater_errors::archiveRefused) {
    const auto file = temp.path() / "archive.tgz";
    testing::writeText(file, archive);
    const int fd = ::open(file.c_str(), O_RDONLY);
    const int dir = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY);
    std::string refusal;
    try {
      update_archive::extract(fd, dir, limits);
    } catch (const UpdaterError& error) {
      EXPECT_EQ(error.code(), expected) << error.failureReason().value_or("");
      refusal = error.failureReason().value_or("");
    }
    ::close(fd);
    ::close(dir);
    return refusal;
  }
};

TEST_F(UpdateArchiveTest, WellFormedBuildIsExtracted) {
  const auto info = nlohmann::json{{"CFBundleVersion", "2"}};
  EXPECT_EQ(extract(testing::buildArchive(info, "#!/bin/sh\necho two\n")), "");
  EXPECT_EQ(testing::readText(staging / "VantrelMac"), "#!/bin/sh\necho two\n");
  EXPECT_EQ(fs::status(staging / "VantrelMac").permissions() & fs::perms::all, static_cast<fs::perms>(0755));
  EXPECT_EQ(fs::status(staging / "Info.json").permissions() & fs::perms::all, static_cast<fs::perms>(0644));
  EXPECT_EQ(testing::readText(staging / "share/VantrelMac/resource.txt"), "resource");
}

TEST_F(UpdateArchiveTest, HostileCorpusIsRefused) {
  struct Row {
    const char* name;
    std::vector<Member> members;
  };
  const std::vector<Row> rows = {
      {"parent escape", {{"../x", Type::file, "x", 0644, ""}}},
      {"inner parent escape", {{"a/../../x", Type::file, "x", 0644, ""}}},
      {"absolute", {{"/tmp/evil", Type::file, "x", 0644, ""}}},
      {"symlink", {{"link", Type::symlink, "", 0777, "/etc/passwd"}}},
      {"hardlink", {{"a", Type::file, "x", 0644, ""}, {"b", Type::hardlink, "", 0644, "a"}}},
      {"character device", {{"null", Type::characterDevice, "", 0666, ""}}},
      {"fifo", {{"pipe", Type::fifo, "", 0644, ""}}},
      {"empty component", {{"a//b", Type::file, "x", 0644, ""}}},
      {"duplicate file", {{"a", Type::file, "x", 0644, ""}, {"a", Type::file, "y", 0644, ""}}},
      {"file over folder", {{"d/", Type::folder, "", 0755, ""}, {"d", Type::file, "y", 0644, ""}}},
  };
  for (const auto& row : rows) {
    resetStaging();
    EXPECT_NE(extract(testing::tarGz(row.members)), "") << row.name;
    EXPECT_FALSE(fs::exists(temp.path() / "x")) << row.name;
  }
}

TEST_F(UpdateArchiveTest, EntryAndSizeCapsHold) {
  std::vector<Member> many;
  many.reserve(10'001);
  for (int i = 0; i < 10'001; ++i) many.push_back({"f" + std::to_string(i), Type::file, "", 0644, ""});
  EXPECT_NE(extract(testing::tarGz(many)).find("more than 10000 entries"), std::string::npos);
  resetStaging();
  many.pop_back();
  EXPECT_EQ(extract(testing::tarGz(many)), "");

  resetStaging();
  update_archive::Limits small;
  small.maximumTotalBytes = 1000;
  EXPECT_NE(extract(testing::tarGz({{"big", Type::file, std::string(1001, 'b'), 0644, ""}}), small), "");
  resetStaging();
  EXPECT_EQ(extract(testing::tarGz({{"fits", Type::file, std::string(1000, 'b'), 0644, ""}}), small), "");
}

TEST_F(UpdateArchiveTest, SpecialModeBitsAreStripped) {
  EXPECT_EQ(extract(testing::tarGz({{"suid", Type::file, "x", 04755, ""},
                                    {"sgid", Type::file, "x", 02755, ""},
                                    {"sticky", Type::file, "x", 01666, ""},
                                    {"open", Type::file, "x", 0666, ""}})),
            "");
  const auto mode = [&](const char* name) {
    struct stat info {};
    ::lstat((staging / name).c_str(), &info);
    return info.st_mode & 07777;
  };
  EXPECT_EQ(mode("suid"), 0755u);
  EXPECT_EQ(mode("sgid"), 0755u);
  EXPECT_EQ(mode("sticky"), 0644u);
  EXPECT_EQ(mode("open"), 0644u);
}

TEST_F(UpdateArchiveTest, GarbageIsRefused) {
  const std::string damaged = "The update could not be installed: the archive is damaged";
  EXPECT_EQ(extract("not an archive at all", {}, updater_errors::installFailed).rfind(damaged, 0), 0U);
  std::string noise(50'000, '\0');
  std::uint32_t state = 12345;
  for (auto& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  auto archive = testing::tarGz({{"a", Type::file, noise, 0644, ""}});
  archive.resize(archive.size() / 2);
  resetStaging();
  EXPECT_EQ(extract(archive, {}, updater_errors::installFailed).rfind(damaged, 0), 0U);
  resetStaging();
  EXPECT_NE(extract(testing::tarGz({})), "");  // no entry at all
}

// A gzip stream cut short where libarchive has no error text of its own.
TEST_F(UpdateArchiveTest, ATruncatedArchiveIsReportedAsDamagedNotAsAFormattingError) {
  const auto bytes = update_encoding::decodeBase64(
      "H4sIAAAAAAAAA+"
      "3RSwrCMBSF4YxdRVZg0jx611OsYFGstBFdvjU46qAKEkT6f5MbkkBOOK1RxdmJxJjnZD7zuorexuCtr9y0LyJe6Vg+"
      "mlLXMTWD1mro+7R07935n2rNqTsfy76R+xf5vP/KiauVdmafdubSjOOtLRZu9f0323Qv+7NnwXUIC/"
      "37Wf9WQlTaFk31svL+D93m1xEA"
      "AAAAAAAAAAAAAADwhQe5qQAoAAA=");
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 176U);
  const auto truncated = toString(*bytes);
  EXPECT_EQ(extract(truncated, {}, updater_errors::installFailed),
            "The update could not be installed: the archive is damaged.");
}

class UpdateInstallTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temp;
  fs::path root = temp.path() / "root";
  testing::UpdateKeys keys = testing::UpdateKeys::generate();
  update_install::Layout layout{root};

  void SetUp() override { testing::makeInstallRoot(root, "1", info("1")); }
  UpdateInfo info(const std::string& build) {
    return testing::updateInfo(build, keys, "https://h/appcast.xml");
  }

  fs::path stage(const std::string& build, const UpdateInfo& stagedInfo) {
    auto staging = update_install::createStaging(layout);
    testing::writeText(staging / "VantrelMac", "#!/bin/sh\necho " + build + "\n");
    ::chmod((staging / "VantrelMac").c_str(), 0755);
    testing::writeText(staging / "Info.json", stagedInfo.dump());
    return staging;
  }
  static long errorCode(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const UpdaterError& error) {
      return error.code();
    }
    return 0;
  }
};

TEST_F(UpdateInstallTest, LayoutIsRecognisedOnlyInsideVersions) {
  EXPECT_TRUE(update_install::Layout::containing(root / "versions/1/VantrelMac"));
  EXPECT_EQ(update_install::Layout::containing(root / "versions/1/VantrelMac")->root, root);
  EXPECT_FALSE(update_install::Layout::containing(temp.path() / "build/VantrelMac"));
  EXPECT_FALSE(update_install::Layout::containing(root / "versions/1/other"));
  fs::remove(root / "current");
  EXPECT_FALSE(update_install::Layout::containing(root / "versions/1/VantrelMac"));
}

TEST_F(UpdateInstallTest, SwitchesCurrentAtomicallyAndKeepsTheOldVersion) {
  const auto staging = stage("2", info("2"));
  EXPECT_EQ(staging.parent_path(), root / "versions");
  EXPECT_NO_THROW(update_install::validateStaged(staging, "2"));
  const auto program = update_install::install(layout, staging, "2");
  EXPECT_EQ(program, root / "current/VantrelMac");
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_EQ(testing::readText(program), "#!/bin/sh\necho 2\n");
  EXPECT_TRUE(fs::exists(root / "versions/1/VantrelMac"));
  EXPECT_FALSE(fs::exists(staging));
  for (const auto& entry : fs::directory_iterator(root)) {
    EXPECT_TRUE(entry.path().filename() == "current" || entry.path().filename() == "versions")
        << entry.path();
  }
}

mode_t folderMode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST_F(UpdateInstallTest, EachUpdateKeepsOnlyTheNewAndThePreviousVersionWithTheInstallersMode) {
  ::chmod((root / "versions/1").c_str(), 0755);
  for (const std::string build : {"2", "3", "4"}) {
    SCOPED_TRACE(build);
    const auto previous = update_install::currentBuild(layout);
    ASSERT_TRUE(previous);
    update_install::install(layout, stage(build, info(build)), build);
    EXPECT_EQ(fs::read_symlink(root / "current"), "versions/" + build);
    EXPECT_EQ(namesIn(root / "versions"), (std::set<std::string>{*previous, build}));
    EXPECT_EQ(folderMode(root / "versions" / build), update_install::versionFolderMode);
    EXPECT_EQ(folderMode(root / "versions" / build), folderMode(root / "versions" / *previous));
    EXPECT_EQ(testing::readText(root / "current/VantrelMac"), "#!/bin/sh\necho " + build + "\n");
  }
}

TEST_F(UpdateInstallTest, PruningLeavesHiddenEntriesFilesAndLinksAlone) {
  const auto outside = temp.path() / "outside";
  fs::create_directories(outside);
  testing::writeText(outside / "keep", "keep");
  fs::create_directories(root / "versions/0/sub");
  fs::create_directories(root / "versions/.staging-leftover");
  testing::writeText(root / "versions/notes.txt", "n");
  fs::create_directory_symlink(outside, root / "versions/linked");
  update_install::install(layout, stage("2", info("2")), "2");
  EXPECT_EQ(namesIn(root / "versions"),
            (std::set<std::string>{"1", "2", ".staging-leftover", "notes.txt", "linked"}));
  EXPECT_EQ(testing::readText(outside / "keep"), "keep");
}

TEST_F(UpdateInstallTest, StagedBuildMustMatchAndBeUpdatable) {
  EXPECT_EQ(errorCode([&] { update_install::validateStaged(stage("2", info("3")), "2"); }),
            updater_errors::stagedBuildRefused);
  auto unsigned_ = info("2");
  unsigned_["SURequireSignedFeed"] = false;
  EXPECT_EQ(errorCode([&] { update_install::validateStaged(stage("2", unsigned_), "2"); }),
            updater_errors::stagedBuildRefused);
  const auto noProgram = stage("2", info("2"));
  fs::remove(noProgram / "VantrelMac");
  EXPECT_EQ(errorCode([&] { update_install::validateStaged(noProgram, "2"); }),
            updater_errors::stagedBuildRefused);
  const auto linkedInfo = stage("2", info("2"));
  fs::remove(linkedInfo / "Info.json");
  fs::create_symlink(root / "versions/1/Info.json", linkedInfo / "Info.json");
  EXPECT_EQ(errorCode([&] { update_install::validateStaged(linkedInfo, "2"); }),
            updater_errors::stagedBuildRefused);
}

TEST_F(UpdateInstallTest, UnwritableRootLeavesCurrentUntouched) {
  const auto staging = stage("2", info("2"));
  // Root ignores permission bits, so the folder is made immutable instead.
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    ::close(fd);
    GTEST_SKIP() << "the file system has no immutable flag";
  }
  const int original = flags;
  flags |= FS_IMMUTABLE_FL;
  if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
    ::close(fd);
    GTEST_SKIP() << "cannot make the folder immutable here";
  }
  const auto code = errorCode([&] { update_install::install(layout, staging, "2"); });
  ::ioctl(fd, FS_IOC_SETFLAGS, &original);
  ::close(fd);
  EXPECT_EQ(code, updater_errors::installFailed);
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
  EXPECT_FALSE(fs::exists(root / "versions/2"));
  EXPECT_FALSE(fs::exists(staging));
}

TEST_F(UpdateInstallTest, ReinstallingTheCurrentBuildIsRefused) {
  const auto staging = stage("1", info("1"));
  EXPECT_EQ(errorCode([&] { update_install::install(layout, staging, "1"); }), updater_errors::installFailed);
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
  EXPECT_TRUE(fs::exists(root / "versions/1/VantrelMac"));
}

}  // namespace
}  // namespace vantrel
