#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "Account/EncryptedAccountCredentialStore.hpp"
#include "CVantrelPrivateFile.h"
#include "Platform/System/Crypto.hpp"
#include "Support/Bytes.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Store = EncryptedAccountCredentialStore;
using Failure = Store::Failure;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

// The failure an operation throws, or nullopt when it throws none.
template <typename F>
std::optional<Failure::Case> failureOf(F&& operation) {
  try {
    operation();
  } catch (const Failure& failure) {
    return failure.kind();
  }
  return std::nullopt;
}

class CredentialStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  fs::path dir = paths::applicationSupportDirectory("local.vantrel.VantrelMac") / "AccountLogin";
  Store store{dir, "local.vantrel.VantrelMac"};

  fs::path recordPath(std::string_view account) const { return dir / Store::recordFileName(account); }
};

TEST_F(CredentialStoreTest, NothingSavedReadsAsNoneWithoutCreatingTheDirectory) {
  EXPECT_EQ(store.password("operator"), std::nullopt);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_NO_THROW(store.deletePassword("operator"));
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(CredentialStoreTest, RoundTripCreatesAPrivateLayout) {
  store.save("s3cret pass", "operator");
  EXPECT_EQ(store.password("operator"), "s3cret pass");
  EXPECT_EQ(store.password("  operator\n"), "s3cret pass");  // the account is trimmed
  EXPECT_EQ(store.password("other"), std::nullopt);
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(modeOf(dir / "installation.key"), 0600u);
  EXPECT_EQ(modeOf(recordPath("operator")), 0600u);
  EXPECT_EQ(fs::file_size(dir / "installation.key"), 36u);
  // Header, nonce, ciphertext and tag.
  EXPECT_EQ(fs::file_size(recordPath("operator")), 4u + 12u + 11u + 16u);
  const auto record = readFile(recordPath("operator"));
  EXPECT_EQ(record.substr(0, 4), "VNC1");
  EXPECT_EQ(record.find("s3cret"), std::string::npos);

  store.save("second", "operator");
  EXPECT_EQ(store.password("operator"), "second");
  store.deletePassword(" operator ");
  EXPECT_EQ(store.password("operator"), std::nullopt);
  EXPECT_FALSE(fs::exists(recordPath("operator")));
  EXPECT_TRUE(fs::exists(dir / "installation.key"));  // the key outlives the records
}

TEST_F(CredentialStoreTest, RecordNamesDoNotRevealTheAccount) {
  store.save("pw", "alice@example.com");
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string().find("alice"), std::string::npos) << entry.path();
  }
  const auto name = Store::recordFileName("alice@example.com");
  EXPECT_EQ(name.size(), 64u + std::string(".credential").size());
  EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), 64u);
  EXPECT_NE(name, Store::recordFileName("Alice@example.com"));
}

TEST_F(CredentialStoreTest, LayoutMatchesTheDocumentedFormat) {
  EXPECT_EQ(Store::recordFileName("operator"),
            "91df351ce99b3c024a5c2af9aba0ac007b1b6b8d35cae0fe516179112d333b98.credential");
  store.save("pw\xC3\xA9", "operator");
  const auto keyFile = readFile(dir / "installation.key");
  ASSERT_EQ(keyFile.size(), 36u);
  EXPECT_EQ(keyFile.substr(0, 4), "VNK1");
  const auto record = toBytes(readFile(recordPath("operator")));
  ASSERT_EQ(record.size(), 4u + 12u + 4u + 16u);
  // Associated data assembled by hand: magic, namespace and account with 32-bit big-endian lengths.
  Bytes aad = toBytes("VNC1");
  for (std::string_view part : {std::string_view("local.vantrel.VantrelMac"), std::string_view("operator")}) {
    const auto n = static_cast<std::uint32_t>(part.size());
    for (int shift : {24, 16, 8, 0}) aad.push_back(static_cast<std::uint8_t>(n >> shift));
    append(aad, asBytes(part));
  }
  const auto key = toBytes(keyFile.substr(4));
  const auto opened =
      crypto::aesGcmOpen(key, ByteView(record).subspan(4, 12), ByteView(record).subspan(16), aad);
  ASSERT_TRUE(opened);
  EXPECT_EQ(toString(*opened), "pw\xC3\xA9");
}

TEST_F(CredentialStoreTest, EachSaveUsesAFreshNonce) {
  store.save("same", "operator");
  const auto first = readFile(recordPath("operator"));
  store.save("same", "operator");
  const auto second = readFile(recordPath("operator"));
  EXPECT_NE(first.substr(4, 12), second.substr(4, 12));
  EXPECT_NE(first, second);
}

TEST_F(CredentialStoreTest, InvalidInputIsRefused) {
  const std::string tooLong(1025, 'a');
  const std::string withNul("a\0b", 3);
  for (const auto& account :
       {std::string(), std::string(" \n\t"), tooLong, withNul, std::string("\xC3\x28")}) {
    EXPECT_EQ(failureOf([&] { store.save("pw", account); }), Failure::Case::invalidInput);
    EXPECT_EQ(failureOf([&] { (void)store.password(account); }), Failure::Case::invalidInput);
    EXPECT_EQ(failureOf([&] { store.deletePassword(account); }), Failure::Case::invalidInput);
  }
  EXPECT_EQ(failureOf([&] { store.save(std::string(1024, 'a'), std::string(1024, 'a')); }), std::nullopt);
  EXPECT_EQ(failureOf([&] { store.save("", "operator"); }), Failure::Case::invalidInput);
  EXPECT_EQ(failureOf([&] { store.save(std::string(Store::maxPasswordSize + 1, 'x'), "operator"); }),
            Failure::Case::invalidInput);
  for (const auto& ns : {std::string(), std::string(1025, 'n'), std::string("a\0b", 3)}) {
    Store bad(dir, ns);
    EXPECT_EQ(failureOf([&] { bad.save("pw", "operator"); }), Failure::Case::invalidInput);
    EXPECT_EQ(failureOf([&] { (void)bad.password("operator"); }), Failure::Case::invalidInput);
  }
  Store longest(dir, std::string(1024, 'n'));
  longest.save("pw", "operator");
  EXPECT_EQ(longest.password("operator"), "pw");
}

TEST_F(CredentialStoreTest, EveryTamperedByteIsCorrupt) {
  store.save("password", "operator");
  const auto original = readFile(recordPath("operator"));
  for (std::size_t i = 0; i < original.size(); ++i) {
    auto tampered = original;
    tampered[i] = static_cast<char>(tampered[i] ^ 0x20);
    writeFile(recordPath("operator"), tampered);
    EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::invalidRecord)
        << "byte " << i;
  }
  for (const auto& cut : {std::string(), original.substr(0, 4), original.substr(0, 31),
                          original.substr(0, original.size() - 1), original + "x"}) {
    writeFile(recordPath("operator"), cut);
    EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::invalidRecord)
        << cut.size();
  }
  writeFile(recordPath("operator"), std::string(4 + 12 + 16 + Store::maxPasswordSize + 1, 'x'));
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::invalidRecord);
}

// A record opens only for the account, namespace and installation it was written for.
TEST_F(CredentialStoreTest, ARecordMovedOutOfItsContextIsCorrupt) {
  store.save("alice-password", "alice");
  store.save("bob-password", "bob");
  const auto record = readFile(recordPath("alice"));
  fs::copy_file(recordPath("alice"), recordPath("bob"), fs::copy_options::overwrite_existing);
  EXPECT_EQ(failureOf([&] { (void)store.password("bob"); }), Failure::Case::invalidRecord);
  EXPECT_EQ(store.password("alice"), "alice-password");

  Store otherNamespace(dir, "local.vantrel.Other");
  EXPECT_EQ(failureOf([&] { (void)otherNamespace.password("alice"); }), Failure::Case::invalidRecord);

  const auto otherDir = home.path() / "other-installation";
  Store otherInstallation(otherDir, "local.vantrel.VantrelMac");
  otherInstallation.save("unrelated", "someone");
  writeFile(otherDir / Store::recordFileName("alice"), record);
  fs::permissions(otherDir / Store::recordFileName("alice"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(failureOf([&] { (void)otherInstallation.password("alice"); }), Failure::Case::invalidRecord);
}

TEST_F(CredentialStoreTest, MissingOrInvalidKeyWithRecordsPresent) {
  store.save("password", "operator");
  const auto key = readFile(dir / "installation.key");
  fs::remove(dir / "installation.key");
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::missingKey);
  // A save must not mint a new key that would orphan the existing record.
  EXPECT_EQ(failureOf([&] { store.save("new", "operator"); }), Failure::Case::missingKey);
  EXPECT_EQ(failureOf([&] { store.save("new", "someone-else"); }), Failure::Case::missingKey);
  EXPECT_FALSE(fs::exists(dir / "installation.key"));
  // An account without a record still reads as none.
  EXPECT_EQ(store.password("nobody"), std::nullopt);

  for (const auto& bad : {std::string(), key.substr(0, 35), key + "x", "VNK2" + key.substr(4)}) {
    writeFile(dir / "installation.key", bad);
    fs::permissions(dir / "installation.key", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::missingKey) << bad.size();
  }
  // Another valid key: the record does not open.
  auto otherKey = key;
  otherKey[10] = static_cast<char>(otherKey[10] ^ 1);
  writeFile(dir / "installation.key", otherKey);
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::invalidRecord);
  writeFile(dir / "installation.key", key);
  EXPECT_EQ(store.password("operator"), "password");

  // Once the orphaned record is deleted, a save creates a new key.
  fs::remove(dir / "installation.key");
  store.deletePassword("operator");
  store.save("fresh", "operator");
  EXPECT_EQ(store.password("operator"), "fresh");
  EXPECT_NE(readFile(dir / "installation.key"), key);
}

// Which directories are unsafe is the file primitives' tests (modes, owners, links); here: every
// operation of the store refuses one, touches nothing, and works again once it is safe.
TEST_F(CredentialStoreTest, UnsafeDirectoryIsRefusedByEveryOperation) {
  store.save("password", "operator");
  fs::permissions(dir, static_cast<fs::perms>(0755));
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_EQ(failureOf([&] { store.save("x", "operator"); }), Failure::Case::unsafeStorage);
  EXPECT_EQ(failureOf([&] { store.deletePassword("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_TRUE(fs::exists(recordPath("operator")));
  fs::permissions(dir, static_cast<fs::perms>(0700));
  EXPECT_EQ(store.password("operator"), "password");

  // A link in place of the directory, even to a valid store, is refused too.
  const auto real = home.path() / "real";
  fs::rename(dir, real);
  fs::create_directory_symlink(real, dir);
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_EQ(failureOf([&] { store.save("x", "operator"); }), Failure::Case::unsafeStorage);
}

TEST_F(CredentialStoreTest, SymlinkedRecordKeyOrLockIsRefused) {
  store.save("password", "operator");
  const auto outside = home.path() / "outside";
  fs::copy_file(recordPath("operator"), outside);
  fs::remove(recordPath("operator"));
  fs::create_symlink(outside, recordPath("operator"));
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_EQ(failureOf([&] { store.save("replaced", "operator"); }), Failure::Case::unsafeStorage);
  EXPECT_TRUE(fs::is_symlink(recordPath("operator")));
  EXPECT_EQ(readFile(outside).substr(0, 4), "VNC1");
  fs::remove(recordPath("operator"));

  store.save("password", "operator");
  fs::rename(dir / "installation.key", outside.string() + ".key");
  fs::create_symlink(outside.string() + ".key", dir / "installation.key");
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  fs::remove(dir / "installation.key");
  fs::rename(outside.string() + ".key", dir / "installation.key");

  fs::remove(dir / ".lock");
  fs::create_symlink(home.path() / "lock-target", dir / ".lock");
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_FALSE(fs::exists(home.path() / "lock-target"));
}

TEST_F(CredentialStoreTest, CrashBetweenWriteAndRenameKeepsTheOldPassword) {
  store.save("old password", "operator");
  // A writer that died after writing and syncing its temporary file but before renaming it.
  int dirFd = -1;
  ASSERT_EQ(vn_fs_open_private_dir(dir.c_str(), 0, &dirFd), 0);
  char temp[VN_FS_TEMP_NAME_MAX];
  const std::string garbage = "VNC1 half-written record of another process";
  ASSERT_EQ(vn_fs_write_temp(dirFd, Store::recordFileName("operator").c_str(), garbage.data(), garbage.size(),
                             0600, temp),
            0);
  vn_fs_close(dirFd);
  EXPECT_TRUE(fs::exists(dir / temp));
  EXPECT_EQ(store.password("operator"), "old password");
  // The stray temporary file does not count as a record and does not block later saves.
  store.save("new password", "operator");
  EXPECT_EQ(store.password("operator"), "new password");
}

TEST_F(CredentialStoreTest, TwoThreadsSavingAtOnceLeaveOneIntactRecord) {
  constexpr int rounds = 40;
  std::atomic<int> failures{0};
  auto writer = [&](std::string prefix) {
    Store own(dir, "local.vantrel.VantrelMac");  // a separate instance, like a second process
    for (int i = 0; i < rounds; ++i) {
      try {
        own.save(prefix + std::to_string(i), "operator");
        own.save(prefix + "-other-" + std::to_string(i), "other");
      } catch (...) {
        ++failures;
      }
    }
  };
  std::thread a(writer, "a");
  std::thread b(writer, "b");
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  const auto last = store.password("operator");
  ASSERT_TRUE(last);
  EXPECT_TRUE(*last == "a" + std::to_string(rounds - 1) || *last == "b" + std::to_string(rounds - 1))
      << *last;
  EXPECT_TRUE(store.password("other"));
  // Only one key was ever created: both records open with it, and no temporary file remains.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 4u);  // key, lock, two records
}

TEST_F(CredentialStoreTest, StorageThatCannotBeCreatedIsAStorageFailure) {
  const auto blocker = home.path() / "blocker";
  writeFile(blocker, "a file where a folder should be");
  Store blocked(blocker / "namespace" / "AccountLogin", "local.vantrel.VantrelMac");
  EXPECT_EQ(failureOf([&] { blocked.save("pw", "operator"); }), Failure::Case::storageFailed);
  EXPECT_EQ(failureOf([&] { store.save("pw", "operator"); }), std::nullopt);
  // A record name taken by a directory is not a private file.
  fs::remove(recordPath("operator"));
  fs::create_directory(recordPath("operator"));
  EXPECT_EQ(failureOf([&] { (void)store.password("operator"); }), Failure::Case::unsafeStorage);
  EXPECT_EQ(failureOf([&] { store.save("pw", "operator"); }), Failure::Case::unsafeStorage);
}

TEST_F(CredentialStoreTest, NoSecretReachesTheLog) {
  MemoryLogSink sink;
  const std::string password = "Hunter2-SECRET";
  const std::string account = "alice.private";
  store.save(password, account);
  (void)store.password(account);
  writeFile(recordPath(account), "VNC1 broken");
  (void)failureOf([&] { (void)store.password(account); });
  fs::remove(dir / "installation.key");
  (void)failureOf([&] { store.save(password, account); });
  (void)failureOf([&] { store.save(password, std::string(2000, 'z')); });
  fs::permissions(dir, static_cast<fs::perms>(0755));
  (void)failureOf([&] { store.save(password, account); });
  const auto entries = sink.entries();
  EXPECT_FALSE(entries.empty());  // the failures were logged
  const auto recordName = Store::recordFileName(account);
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.message.find(password), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find(account), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find("alice"), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find(recordName.substr(0, 16)), std::string::npos) << entry.message;
  }
}

}  // namespace
}  // namespace vantrel
