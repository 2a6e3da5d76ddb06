// The one atomic writer of private files (vn_fs_write_file): what it refuses, the mode it leaves
// and what a failed write leaves behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "CVantrelPrivateFile.h"
#include "support/TestEnvironment.hpp"

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

void writeText(const fs::path& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : previous_(::umask(mask)) {}
  ~UmaskScope() { ::umask(previous_); }

 private:
  mode_t previous_;
};

class WriteFile : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    ::chmod(dir.c_str(), 0700);
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { vn_fs_close(fd); }

  int write(const std::string& data, mode_t mode = 0600, const vn_fs_write_hooks* hooks = nullptr) {
    return vn_fs_write_file(fd, "record", data.data(), data.size(), mode, hooks, &failure);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  vantrel::testing::TemporaryHome home;
  fs::path dir = home.path() / "store";
  fs::path record = dir / "record";
  fs::path outside = home.path() / "outside";
  int fd = -1;
  vn_fs_write_failure failure{};
};

// ---- What sits under the final name ----

struct TargetCase {
  const char* name;
  std::function<void(const fs::path& record, const fs::path& outside)> plant;
  fs::file_type kept;
};

class UnsafeTarget : public WriteFile, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(UnsafeTarget, IsRefusedAndLeftAlone) {
  writeText(outside, "outside");
  GetParam().plant(record, outside);
  EXPECT_EQ(write("new"), VN_FS_EUNSAFE);
  EXPECT_EQ(failure.step, VN_FS_STEP_TARGET);
  EXPECT_EQ(failure.error, EEXIST);
  EXPECT_EQ(fs::symlink_status(record).type(), GetParam().kept);
  EXPECT_EQ(readText(outside), "outside");                   // never written through
  EXPECT_EQ(entries(), std::vector<std::string>{"record"});  // and no temporary file left
}

INSTANTIATE_TEST_SUITE_P(
    PrivateFile, UnsafeTarget,
    ::testing::Values(
        TargetCase{"LinkToAFile", [](const fs::path& r, const fs::path& o) { fs::create_symlink(o, r); },
                   fs::file_type::symlink},
        TargetCase{"DanglingLink",
                   [](const fs::path& r, const fs::path& o) { fs::create_symlink(o.string() + "-x", r); },
                   fs::file_type::symlink},
        TargetCase{"Folder", [](const fs::path& r, const fs::path&) { fs::create_directory(r); },
                   fs::file_type::directory},
        TargetCase{"Pipe",
                   [](const fs::path& r, const fs::path&) { ASSERT_EQ(::mkfifo(r.c_str(), 0600), 0); },
                   fs::file_type::fifo}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteFile, ARegularFileOfOursIsReplacedWhateverItsMode) {
  writeText(record, "old", 0644);
  ASSERT_EQ(write("new"), 0);
  EXPECT_EQ(failure.step, VN_FS_STEP_NONE);
  EXPECT_EQ(readText(record), "new");
  EXPECT_EQ(modeOf(record), 0600u);
}

// ---- What sits under the temporary name ----

// Hands out the given suffixes in turn, repeating the last one.
struct Suffixes {
  std::vector<std::string> values;
  std::size_t next = 0;
  static void take(void* context, char* out) {
    auto& self = *static_cast<Suffixes*>(context);
    const auto& value = self.values[std::min(self.next++, self.values.size() - 1)];
    std::snprintf(out, 17, "%s", value.c_str());
  }
};

TEST_F(WriteFile, ALinkPlantedUnderTheTemporaryNameIsNeverOpened) {
  writeText(outside, "outside");
  writeText(record, "old");
  const std::string planted = "record.tmp-aaaaaaaaaaaaaaaa";
  fs::create_symlink(outside, dir / planted);
  Suffixes suffixes{{"aaaaaaaaaaaaaaaa", "bbbbbbbbbbbbbbbb"}};
  const vn_fs_write_hooks hooks{nullptr, &Suffixes::take, &suffixes};
  ASSERT_EQ(write("new", 0600, &hooks), 0);
  EXPECT_EQ(suffixes.next, 2u);  // the planted name was skipped, not reused
  EXPECT_EQ(readText(outside), "outside");
  EXPECT_TRUE(fs::is_symlink(dir / planted));
  EXPECT_EQ(readText(record), "new");
  EXPECT_EQ(entries(), (std::vector<std::string>{"record", planted}));
}

TEST_F(WriteFile, WhenEveryTemporaryNameIsTakenTheOldFileStays) {
  writeText(outside, "outside");
  writeText(record, "old");
  fs::create_symlink(outside, dir / "record.tmp-cccccccccccccccc");
  Suffixes suffixes{{"cccccccccccccccc"}};
  const vn_fs_write_hooks hooks{nullptr, &Suffixes::take, &suffixes};
  EXPECT_EQ(write("new", 0600, &hooks), EEXIST);
  EXPECT_EQ(failure.step, VN_FS_STEP_CREATE);
  EXPECT_GT(suffixes.next, 1u);  // it tried again before giving up
  EXPECT_EQ(readText(outside), "outside");
  EXPECT_EQ(readText(record), "old");
}

// ---- The mode is exactly the one asked for ----

struct ModeCase {
  mode_t umask;
  mode_t mode;
};

class ExactMode : public WriteFile, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ExactMode, WhateverTheUmask) {
  {
    UmaskScope scope(GetParam().umask);
    ASSERT_EQ(write("data", GetParam().mode), 0);
  }
  EXPECT_EQ(modeOf(record), GetParam().mode) << std::oct << GetParam().umask;
}

INSTANTIATE_TEST_SUITE_P(PrivateFile, ExactMode,
                         ::testing::Values(ModeCase{0, 0600}, ModeCase{0022, 0600}, ModeCase{0077, 0600},
                                           ModeCase{0777, 0600}, ModeCase{0, 0400}, ModeCase{0077, 0640}));

// ---- A write that fails before the rename ----

struct RenameProbe {
  int error = EIO;
  std::string seenData;
  mode_t seenMode = 0;
  static int fail(void* context, int dir, const char* from, const char*) {
    auto& self = *static_cast<RenameProbe*>(context);
    // What the rename would have published: the whole data, already private.
    struct stat st {};
    if (::fstatat(dir, from, &st, AT_SYMLINK_NOFOLLOW) == 0) self.seenMode = st.st_mode & 07777;
    void* data = nullptr;
    size_t length = 0;
    if (vn_fs_read_file(dir, from, 1 << 20, &data, &length) == 0) {
      self.seenData.assign(static_cast<const char*>(data), length);
      vn_fs_free(data);
    }
    errno = self.error;
    return -1;
  }
};

TEST_F(WriteFile, AFailureBeforeTheRenameKeepsTheOldFileAndLeavesNoTemporary) {
  writeText(record, "old contents");
  RenameProbe probe;
  const vn_fs_write_hooks hooks{&RenameProbe::fail, nullptr, &probe};
  EXPECT_EQ(write("new contents", 0600, &hooks), EIO);
  EXPECT_EQ(failure.step, VN_FS_STEP_RENAME);
  EXPECT_EQ(failure.error, EIO);
  EXPECT_EQ(probe.seenData, "new contents");
  EXPECT_EQ(probe.seenMode, 0600u);
  EXPECT_EQ(readText(record), "old contents");
  EXPECT_EQ(entries(), std::vector<std::string>{"record"});
}

TEST_F(WriteFile, ARenameThatFailsWithoutSayingWhyIsStillAFailure) {
  RenameProbe probe;
  probe.error = 0;
  const vn_fs_write_hooks hooks{&RenameProbe::fail, nullptr, &probe};
  EXPECT_EQ(write("new", 0600, &hooks), EIO);
  EXPECT_FALSE(fs::exists(record));
  EXPECT_TRUE(entries().empty());
}

TEST_F(WriteFile, AFailedCreateNamesItsStepAndErrno) {
  fs::remove(dir);  // the descriptor now names a folder that takes no new file
  EXPECT_EQ(write("new"), ENOENT);
  EXPECT_EQ(failure.step, VN_FS_STEP_CREATE);
  EXPECT_EQ(failure.error, ENOENT);
}

TEST_F(WriteFile, InvalidNamesAreRefusedBeforeAnythingIsTouched) {
  for (const char* name : {"", ".", "..", "a/b"}) {
    EXPECT_EQ(vn_fs_write_file(fd, name, "x", 1, 0600, nullptr, &failure), EINVAL) << name;
    EXPECT_EQ(failure.step, VN_FS_STEP_CREATE) << name;
  }
  EXPECT_TRUE(entries().empty());
}

}  // namespace
