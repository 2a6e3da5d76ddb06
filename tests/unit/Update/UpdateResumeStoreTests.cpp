#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "Support/AIChannelError.hpp"
#include "Update/UpdateResumeStore.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const UpdateDate T = UpdateDate(seconds(1'800'000'000));

mode_t modeOf(const fs::path& p) {
  struct stat info {};
  EXPECT_EQ(::lstat(p.c_str(), &info), 0) << p;
  return info.st_mode & 07777;
}

void writeFile(const fs::path& p, const std::string& bytes, mode_t mode = 0600) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(p.c_str(), mode);
}

std::string storeErrorCode(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const AIChannelError& error) {
    return error.code();
  } catch (const UpdatePOSIXError& error) {
    return "errno " + std::to_string(error.code());
  }
  return "none";
}

class UpdateResumeStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory temp;
  fs::path folder = temp.path() / "AppSupport" / "local.vantrel.VantrelMac" / "Update";
  fs::path url = folder / "resume.json";
  UpdateResumeStore store{url};

  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    return names;
  }
  void makePrivateFolder() {
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0700);
  }
};

TEST(UpdateResumeIntentTest, PermitsOnlyItsBuildInsideItsLifetime) {
  const UpdateResumeIntent intent("42", T);
  EXPECT_TRUE(intent.permits("42", T));
  EXPECT_TRUE(intent.permits("42", T + seconds(899)));
  EXPECT_FALSE(intent.permits("42", T + seconds(900)));
  EXPECT_FALSE(intent.permits("042", T));
  EXPECT_FALSE(intent.permits("+42", T));
  EXPECT_FALSE(intent.permits("42 ", T));
  const UpdateResumeIntent far("42", T + seconds(901), "X");
  EXPECT_FALSE(far.permits("42", T));
  const UpdateResumeIntent edge("42", T + seconds(900), "X");
  EXPECT_TRUE(edge.permits("42", T));
}

TEST(UpdateResumeIntentTest, JsonUsesThe2001Epoch) {
  const UpdateResumeIntent intent("7", UpdateDate(seconds(1'000'000'000)), "ID");
  EXPECT_EQ(intent.encode(), R"({"expectedBuild":"7","expiresAt":21692800.0,"id":"ID"})");
  const UpdateResumeIntent noId("7", UpdateDate(seconds(1'000'000'000)), std::nullopt);
  EXPECT_EQ(noId.encode(), R"({"expectedBuild":"7","expiresAt":21692800.0})");
  EXPECT_EQ(UpdateResumeIntent::decode(toBytes(intent.encode())), intent);

  const auto reordered = UpdateResumeIntent::decode(
      toBytes(R"({"x":[1],"id":null,"expiresAt":21692800.5,"expectedBuild":"7"})"));
  ASSERT_TRUE(reordered);
  EXPECT_FALSE(reordered->id);
  EXPECT_EQ(reordered->expiresAt, UpdateDate(std::chrono::milliseconds(1'000'000'000'500)));
  for (const char* bad :
       {R"({"expectedBuild":"7","expiresAt":"21692800"})", R"({"expectedBuild":7,"expiresAt":1})",
        R"({"expiresAt":1})", R"({"expectedBuild":"7"})", R"({"expectedBuild":"7","expiresAt":1,"id":5})",
        R"([1])", R"({"expectedBuild":"7","expiresAt":1)", ""}) {
    EXPECT_FALSE(UpdateResumeIntent::decode(toBytes(bad))) << bad;
  }
}

// An expiry past what the clock can hold (2262 in nanoseconds) is the latest date there is, never
// an overflow; beyond 1e11 s it is not a record at all.
TEST(UpdateResumeIntentTest, ExpiriesBeyondTheClocksRangeAreClampedNotOverflowed) {
  struct Case {
    const char* expiresAt;
    std::optional<UpdateDate> expected;
  };
  const Case cases[] = {
      {"8e9", UpdateDate(seconds(8'000'000'000 + 978'307'200))},
      {"9e9", UpdateDate::max()},
      {"2e10", UpdateDate::max()},
      {"-9e9", UpdateDate(seconds(-9'000'000'000 + 978'307'200))},
      {"-1.1e10", UpdateDate::min()},
      {"1e11", std::nullopt},
      {"1e308", std::nullopt},
      {"-1e308", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto decoded = UpdateResumeIntent::decode(
        toBytes(std::string(R"({"expectedBuild":"5","expiresAt":)") + c.expiresAt + "}"));
    ASSERT_EQ(decoded.has_value(), c.expected.has_value()) << c.expiresAt;
    if (!decoded) continue;
    EXPECT_EQ(decoded->expiresAt, *c.expected) << c.expiresAt;
    EXPECT_FALSE(decoded->permits("5", T)) << c.expiresAt;
  }
}

TEST_F(UpdateResumeStoreTest, AFarFutureRecordIsUsedUpWithoutResuming) {
  makePrivateFolder();
  writeFile(url, R"({"expectedBuild":"42","expiresAt":9e9})");
  EXPECT_FALSE(store.consume("42", T));
  EXPECT_FALSE(fs::exists(url));
}

TEST_F(UpdateResumeStoreTest, SaveThenConsumeOnceWithPrivateModesWhateverTheUmask) {
  const UpdateResumeIntent intent("42", T);
  const auto previous = ::umask(0);  // private even under a permissive umask
  store.save(intent);
  ::umask(previous);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(url), 0600u);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"resume.json"});  // no temporary left
  EXPECT_TRUE(store.consume("42", T + seconds(10)));
  EXPECT_FALSE(fs::exists(url));
  EXPECT_FALSE(store.consume("42", T + seconds(10)));
}

TEST_F(UpdateResumeStoreTest, WrongRecordsAreUsedUp) {
  store.save(UpdateResumeIntent("41", T));
  EXPECT_FALSE(store.consume("42", T));
  EXPECT_FALSE(fs::exists(url));

  store.save(UpdateResumeIntent("42", T + seconds(901), "A"));
  EXPECT_FALSE(store.consume("42", T));
  EXPECT_FALSE(fs::exists(url));

  writeFile(url, R"({"expectedBuild":"42"})");
  EXPECT_FALSE(store.consume("42", T));
  EXPECT_FALSE(fs::exists(url));
}

TEST_F(UpdateResumeStoreTest, DiscardRemovesOnlyItsOwnRecord) {
  const UpdateResumeIntent mine("42", T);
  store.save(mine);
  store.discard(UpdateResumeIntent("42", T));
  EXPECT_TRUE(fs::exists(url));
  store.discard(UpdateResumeIntent("42", T, std::nullopt));
  EXPECT_TRUE(fs::exists(url));
  store.discard(UpdateResumeIntent("99", T + seconds(5), mine.id));  // only ids are compared
  EXPECT_FALSE(fs::exists(url));
  store.discard(mine);  // nothing there: no error

  writeFile(url, "not json");
  store.discard(mine);
  EXPECT_TRUE(fs::exists(url));
}

TEST_F(UpdateResumeStoreTest, FolderMustBePrivate) {
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(storeErrorCode([&] { store.save(UpdateResumeIntent("42", T)); }),
            "private_update_directory_required");
  EXPECT_TRUE(folderEntries().empty());
  ::chmod(folder.c_str(), 0701);
  EXPECT_EQ(storeErrorCode([&] { store.save(UpdateResumeIntent("42", T)); }),
            "private_update_directory_required");
  EXPECT_TRUE(folderEntries().empty());

  const auto real = temp.path() / "real";
  fs::create_directories(real);
  ::chmod(real.c_str(), 0700);
  fs::remove(folder);
  fs::create_directory_symlink(real, folder);
  EXPECT_EQ(storeErrorCode([&] { store.save(UpdateResumeIntent("42", T)); }),
            "private_update_directory_required");
  EXPECT_TRUE(fs::is_empty(real));
}

TEST_F(UpdateResumeStoreTest, UnsafeRecordsAreRefusedAndKept) {
  makePrivateFolder();
  const auto target = temp.path() / "elsewhere.json";
  writeFile(target, UpdateResumeIntent("42", T).encode());
  fs::create_symlink(target, url);
  EXPECT_EQ(storeErrorCode([&] { store.consume("42", T); }), "errno " + std::to_string(ELOOP));
  EXPECT_TRUE(fs::is_symlink(url));
  fs::remove(url);

  writeFile(url, UpdateResumeIntent("42", T).encode(), 0644);
  EXPECT_EQ(storeErrorCode([&] { store.consume("42", T); }), "invalid_update_resume_file");
  EXPECT_EQ(storeErrorCode([&] { store.discard(UpdateResumeIntent("42", T)); }),
            "invalid_update_resume_file");
  EXPECT_TRUE(fs::exists(url));
  fs::remove(url);

  fs::create_directory(url);
  ::chmod(url.c_str(), 0700);
  EXPECT_EQ(storeErrorCode([&] { store.consume("42", T); }), "invalid_update_resume_file");
  fs::remove(url);
}

// A record as earlier builds wrote it (2001-epoch seconds, mode 0600 in a 0700 folder) is read,
// and a save writes exactly those bytes.
TEST_F(UpdateResumeStoreTest, ARecordOfEarlierBuildsIsReadAndWrittenInTheSameBytes) {
  // T + 10 s = 1,800,000,010 Unix seconds = 821,692,810 seconds after 2001-01-01.
  const std::string earlier = R"({"expectedBuild":"42","expiresAt":821692810.0,"id":"ID-1"})";
  makePrivateFolder();
  writeFile(url, earlier);
  EXPECT_TRUE(store.consume("42", T));

  store.save(UpdateResumeIntent("42", T + seconds(10), "ID-1"));
  std::ifstream in(url, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), earlier);
  EXPECT_EQ(modeOf(url), 0600u);
}

TEST_F(UpdateResumeStoreTest, SaveNeverReplacesALinkOrFolderUnderTheRecordName) {
  makePrivateFolder();
  const auto target = temp.path() / "elsewhere.json";
  writeFile(target, "outside");
  fs::create_symlink(target, url);
  EXPECT_EQ(storeErrorCode([&] { store.save(UpdateResumeIntent("42", T)); }), "invalid_update_resume_file");
  EXPECT_TRUE(fs::is_symlink(url));
  std::ifstream in(target);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "outside");
  fs::remove(url);

  fs::create_directory(url);
  EXPECT_EQ(storeErrorCode([&] { store.save(UpdateResumeIntent("42", T)); }), "invalid_update_resume_file");
  EXPECT_TRUE(fs::is_directory(url));
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"resume.json"});
}

TEST_F(UpdateResumeStoreTest, FifoIsRefusedWithoutWaitingForAWriter) {
  makePrivateFolder();
  ASSERT_EQ(::mkfifo(url.c_str(), 0600), 0);
  // A blocking open would wait for a writer forever; run it aside so a regression fails instead.
  auto result =
      std::async(std::launch::async, [&] { return storeErrorCode([&] { store.consume("42", T); }); });
  if (result.wait_for(seconds(10)) != std::future_status::ready) {
    int writer = ::open(url.c_str(), O_WRONLY | O_NONBLOCK);  // release the blocked open
    ADD_FAILURE() << "consume blocked on a FIFO";
    result.wait();
    ::close(writer);
    return;
  }
  EXPECT_EQ(result.get(), "invalid_update_resume_file");
  EXPECT_TRUE(fs::exists(url));
}

TEST_F(UpdateResumeStoreTest, SizeLimitIs4096Bytes) {
  makePrivateFolder();
  auto padded = [](std::size_t size) {
    std::string json = UpdateResumeIntent("42", T + seconds(10), "I").encode();
    json.insert(json.size() - 1, std::string(size - json.size(), ' '));
    return json;
  };
  writeFile(url, padded(4096));
  EXPECT_TRUE(store.consume("42", T));
  writeFile(url, padded(4097));
  EXPECT_EQ(storeErrorCode([&] { store.consume("42", T); }), "invalid_update_resume_file");
  EXPECT_TRUE(fs::exists(url));
}

TEST_F(UpdateResumeStoreTest, NoApplicationSupportFolder) {
  UpdateResumeStore none(std::nullopt);
  EXPECT_EQ(storeErrorCode([&] { none.save(UpdateResumeIntent("42", T)); }),
            "private_update_directory_required");
  EXPECT_FALSE(none.consume("42", T));
  none.discard(UpdateResumeIntent("42", T));
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(UpdateResumeStoreTest, DefaultLocationFollowsTheDataHome) {
  testing::ScopedEnvironmentVariable data("XDG_DATA_HOME", (temp.path() / "data").string());
  EXPECT_EQ(UpdateResumeStore::defaultURL(""),
            temp.path() / "data/local.vantrel.VantrelMac/Update/resume.json");
  EXPECT_EQ(UpdateResumeStore::defaultURL("org.example.Other"),
            temp.path() / "data/org.example.Other/Update/resume.json");
  testing::ScopedEnvironmentVariable relative("XDG_DATA_HOME", "relative/data");
  testing::ScopedEnvironmentVariable home("HOME", temp.path().string());
  EXPECT_EQ(UpdateResumeStore::defaultURL(""),
            temp.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json");
}

TEST_F(UpdateResumeStoreTest, ConcurrentStoresNeverSeeATornRecord) {
  const auto otherURL = temp.path() / "Other" / "Update" / "resume.json";
  UpdateResumeStore other(otherURL);
  std::atomic<int> unexpected{0}, accepted{0};
  auto worker = [&](const UpdateResumeStore& s, int seed) {
    for (int i = 0; i < 150; ++i) {
      try {
        const UpdateResumeIntent intent("42", T);
        switch ((i + seed) % 3) {
          case 0: s.save(intent); break;
          case 1: accepted += s.consume("42", T) ? 1 : 0; break;
          case 2: s.discard(intent); break;
        }
      } catch (const std::exception& error) {
        ++unexpected;
        ADD_FAILURE() << error.what();
      }
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t % 2 ? std::cref(store) : std::cref(other), t);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(accepted.load(), 0);
  // Whatever is left is a whole record and no temporary file survives.
  for (const auto& file : {url, otherURL}) {
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
      EXPECT_EQ(entry.path().filename(), "resume.json");
    }
    if (fs::exists(file)) {
      std::ifstream in(file, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      EXPECT_TRUE(UpdateResumeIntent::decode(toBytes(bytes))) << bytes;
    }
  }
}

}  // namespace
}  // namespace vantrel
