#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "CVantrelPrivateFile.h"
#include "support/TestEnvironment.hpp"

namespace {

namespace fs = std::filesystem;

struct Fd {
  int fd = -1;
  ~Fd() { vn_fs_close(fd); }
};

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string readAll(int dir, const char* name, int* error = nullptr) {
  void* data = nullptr;
  size_t length = 0;
  const int result = vn_fs_read_file(dir, name, 1 << 20, &data, &length);
  if (error) *error = result;
  if (result != 0) return {};
  std::string text(static_cast<const char*>(data), length);
  vn_fs_free(data);
  return text;
}

void writeText(const fs::path& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

class FilePrimitives : public ::testing::Test {
 protected:
  vantrel::testing::TemporaryHome home;
  fs::path dir = home.path() / "private";

  int openDir(bool create = true) {
    int fd = -1;
    EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), create, &fd), 0);
    return fd;
  }
};

TEST_F(FilePrimitives, CreatesAPrivateDirectoryWithMode0700) {
  Fd d{openDir()};
  ASSERT_GE(d.fd, 0);
  EXPECT_EQ(modeOf(dir), 0700u);
  // Opening again (without create) gives the same directory.
  Fd again;
  EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), 0, &again.fd), 0);
}

TEST_F(FilePrimitives, RefusesDirectoriesThatAreNotPrivateOrNotDirectories) {
  fs::create_directory(dir);
  int fd = -1;
  for (mode_t mode : {0755, 0750, 0701, 0770, 0707}) {
    chmod(dir.c_str(), mode);
    EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), 1, &fd), VN_FS_EUNSAFE) << std::oct << mode;
    EXPECT_EQ(fd, -1);
  }
  chmod(dir.c_str(), 0700);
  if (chown(dir.c_str(), 65534, 65534) == 0) {  // another owner, where we may change it
    EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), 0, &fd), VN_FS_EUNSAFE);
  }
  fs::remove(dir);
  const auto target = home.path() / "target";
  fs::create_directory(target);
  chmod(target.c_str(), 0700);
  fs::create_directory_symlink(target, dir);
  EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), 1, &fd), VN_FS_EUNSAFE);
  fs::remove(dir);
  writeText(dir, "not a directory");
  EXPECT_EQ(vn_fs_open_private_dir(dir.c_str(), 1, &fd), VN_FS_EUNSAFE);
  EXPECT_EQ(fd, -1);
}

TEST_F(FilePrimitives, ReplaceWritesPrivateFileAndReplacesAtomically) {
  Fd d{openDir()};
  ASSERT_EQ(vn_fs_replace_file(d.fd, "record", "first", 5, 0600), 0);
  EXPECT_EQ(readAll(d.fd, "record"), "first");
  EXPECT_EQ(modeOf(dir / "record"), 0600u);
  const auto umaskBefore = umask(0077);
  ASSERT_EQ(vn_fs_replace_file(d.fd, "record", "second!", 7, 0600), 0);
  umask(umaskBefore);
  EXPECT_EQ(readAll(d.fd, "record"), "second!");
  // No temporary file is left behind.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1u);
  // An empty file is a valid content.
  ASSERT_EQ(vn_fs_replace_file(d.fd, "empty", nullptr, 0, 0600), 0);
  int error = -1;
  EXPECT_EQ(readAll(d.fd, "empty", &error), "");
  EXPECT_EQ(error, 0);
}

TEST_F(FilePrimitives, TemporaryWriteLeavesTheOldFileUntilCommitted) {
  Fd d{openDir()};
  ASSERT_EQ(vn_fs_replace_file(d.fd, "record", "old", 3, 0600), 0);
  char temp[VN_FS_TEMP_NAME_MAX];
  ASSERT_EQ(vn_fs_write_temp(d.fd, "record", "new", 3, 0600, temp), 0);
  EXPECT_EQ(std::string(temp).rfind("record.tmp-", 0), 0u) << temp;
  EXPECT_EQ(readAll(d.fd, "record"), "old");
  ASSERT_EQ(vn_fs_commit_temp(d.fd, temp, "record"), 0);
  EXPECT_EQ(readAll(d.fd, "record"), "new");
  EXPECT_FALSE(fs::exists(dir / temp));
  // A discarded temporary file disappears; the target stays.
  ASSERT_EQ(vn_fs_write_temp(d.fd, "record", "newer", 5, 0600, temp), 0);
  vn_fs_discard_temp(d.fd, temp);
  EXPECT_FALSE(fs::exists(dir / temp));
  EXPECT_EQ(readAll(d.fd, "record"), "new");
}

TEST_F(FilePrimitives, ReplaceRefusesAnUnsafeExistingTarget) {
  Fd d{openDir()};
  writeText(home.path() / "elsewhere", "outside");
  fs::create_symlink(home.path() / "elsewhere", dir / "link");
  EXPECT_EQ(vn_fs_replace_file(d.fd, "link", "x", 1, 0600), VN_FS_EUNSAFE);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  writeText(dir / "shared", "x", 0644);
  EXPECT_EQ(vn_fs_replace_file(d.fd, "shared", "y", 1, 0600), VN_FS_EUNSAFE);
  std::ifstream outside(home.path() / "elsewhere");
  std::string text;
  outside >> text;
  EXPECT_EQ(text, "outside");
}

TEST_F(FilePrimitives, ReadRefusesLinksHardLinksForeignAndOversizedFiles) {
  Fd d{openDir()};
  int error = 0;
  readAll(d.fd, "missing", &error);
  EXPECT_EQ(error, ENOENT);

  writeText(home.path() / "target", "secret");
  fs::create_symlink(home.path() / "target", dir / "link");
  readAll(d.fd, "link", &error);
  EXPECT_EQ(error, ELOOP);

  writeText(dir / "linked", "data");
  fs::create_hard_link(dir / "linked", home.path() / "second-name");
  readAll(d.fd, "linked", &error);
  EXPECT_EQ(error, VN_FS_EUNSAFE);

  writeText(dir / "readable", "data", 0640);
  readAll(d.fd, "readable", &error);
  EXPECT_EQ(error, VN_FS_EUNSAFE);

  fs::create_directory(dir / "subdir");
  readAll(d.fd, "subdir", &error);
  EXPECT_EQ(error, VN_FS_EUNSAFE);

  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  readAll(d.fd, "fifo", &error);
  EXPECT_EQ(error, VN_FS_EUNSAFE);

  writeText(dir / "big", std::string(11, 'x'));
  void* data = nullptr;
  size_t length = 0;
  EXPECT_EQ(vn_fs_read_file(d.fd, "big", 10, &data, &length), EFBIG);
  EXPECT_EQ(data, nullptr);
  ASSERT_EQ(vn_fs_read_file(d.fd, "big", 11, &data, &length), 0);
  EXPECT_EQ(length, 11u);
  vn_fs_free(data);

  writeText(dir / "theirs", "data");
  if (chown((dir / "theirs").c_str(), 65534, 65534) == 0) {
    readAll(d.fd, "theirs", &error);
    EXPECT_EQ(error, VN_FS_EUNSAFE);
  }
}

TEST_F(FilePrimitives, NamesMustBeSingleComponents) {
  Fd d{openDir()};
  for (const char* name : {"", ".", "..", "a/b", "../escape"}) {
    EXPECT_EQ(vn_fs_replace_file(d.fd, name, "x", 1, 0600), EINVAL) << name;
    EXPECT_EQ(vn_fs_remove_file(d.fd, name), EINVAL) << name;
    int fd = -1;
    EXPECT_EQ(vn_fs_lock(d.fd, name, 1, &fd), EINVAL) << name;
  }
  EXPECT_EQ(vn_fs_replace_file(d.fd, std::string(400, 'n').c_str(), "x", 1, 0600), EINVAL);
  EXPECT_FALSE(fs::exists(home.path() / "escape"));
}

TEST_F(FilePrimitives, LockIsExclusiveBetweenDescriptorsAndRefusesLinks) {
  Fd d{openDir()};
  Fd first;
  ASSERT_EQ(vn_fs_lock(d.fd, ".lock", 1, &first.fd), 0);
  EXPECT_EQ(modeOf(dir / ".lock"), 0600u);
  // A second open file description cannot take the lock while the first holds it.
  const int probe = openat(d.fd, ".lock", O_RDWR | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  vn_fs_close(first.fd);
  first.fd = -1;
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
  close(probe);

  // Shared locks coexist.
  Fd a, b;
  ASSERT_EQ(vn_fs_lock(d.fd, ".lock", 0, &a.fd), 0);
  ASSERT_EQ(vn_fs_lock(d.fd, ".lock", 0, &b.fd), 0);

  writeText(home.path() / "target", "");
  fs::create_symlink(home.path() / "target", dir / "linked.lock");
  int fd = -1;
  EXPECT_EQ(vn_fs_lock(d.fd, "linked.lock", 1, &fd), VN_FS_EUNSAFE);
}

TEST_F(FilePrimitives, CountsEntriesBySuffixIgnoringTemporaryFiles) {
  Fd d{openDir()};
  ASSERT_EQ(vn_fs_replace_file(d.fd, "a.credential", "x", 1, 0600), 0);
  ASSERT_EQ(vn_fs_replace_file(d.fd, "b.credential", "x", 1, 0600), 0);
  ASSERT_EQ(vn_fs_replace_file(d.fd, "installation.key", "x", 1, 0600), 0);
  writeText(dir / "c.credential.tmp-0011223344556677.credential", "x");
  char temp[VN_FS_TEMP_NAME_MAX];
  ASSERT_EQ(vn_fs_write_temp(d.fd, "d.credential", "x", 1, 0600, temp), 0);
  size_t count = 99;
  ASSERT_EQ(vn_fs_count_suffix(d.fd, ".credential", &count), 0);
  EXPECT_EQ(count, 2u);
}

}  // namespace
