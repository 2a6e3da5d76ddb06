#include "Account/EncryptedAccountCredentialStore.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <openssl/crypto.h>

#include "CVantrelPrivateFile.h"
#include "Platform/System/Crypto.hpp"
#include "Support/Bytes.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

using Failure = EncryptedAccountCredentialStore::Failure;

constexpr std::size_t maxNameSize = 1024;
constexpr std::string_view keyMagic = "VNK1";
constexpr std::string_view recordMagic = "VNC1";
constexpr std::size_t keyFileSize = keyMagic.size() + crypto::aesGcmKeySize;
constexpr std::size_t recordOverhead = recordMagic.size() + crypto::aesGcmNonceSize + crypto::aesGcmTagSize;
constexpr std::size_t maxRecordSize = recordOverhead + EncryptedAccountCredentialStore::maxPasswordSize;
constexpr std::string_view recordNameLabel{"VantrelMac.accountCredential.v1\0", 32};

const SystemLog& storeLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "AccountCredentialStore");
  return log;
}

// Only the failure code and the errno reach the log: never an account, a password or a path
// derived from an account.
[[noreturn]] void fail(Failure failure, const char* operation, int error = 0) {
  if (error != 0) {
    storeLog().error("credential {} failed: {} (code {})", operation, failure.rawValue(), error);
  } else {
    storeLog().error("credential {} failed: {}", operation, failure.rawValue());
  }
  throw failure;
}

bool validName(std::string_view name) {
  return !name.empty() && name.size() <= maxNameSize && name.find('\0') == std::string_view::npos &&
         text::isValidUTF8(name);
}

std::string checkedAccount(std::string_view account, const char* operation) {
  auto trimmed = text::trimmed(account);
  if (!validName(trimmed)) fail(Failure::invalidInput(), operation);
  return trimmed;
}

void checkNamespace(std::string_view name, const char* operation) {
  if (!validName(name)) fail(Failure::invalidInput(), operation);
}

// An open descriptor closed on scope exit.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { vn_fs_close(fd_); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }
  int* out() noexcept { return &fd_; }

 private:
  int fd_ = -1;
};

// Bytes read by vn_fs_read_file, wiped and freed on scope exit.
class FileContents {
 public:
  FileContents() = default;
  ~FileContents() {
    if (data_) {
      OPENSSL_cleanse(data_, length_);
      vn_fs_free(data_);
    }
  }
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;
  ByteView view() const noexcept { return {static_cast<const std::uint8_t*>(data_), length_}; }
  void** data() noexcept { return &data_; }
  std::size_t* length() noexcept { return &length_; }

 private:
  void* data_ = nullptr;
  std::size_t length_ = 0;
};

// A secret held in memory, wiped when it goes.
struct SecretBytes {
  Bytes bytes;
  ~SecretBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

Failure storageFailure(int error) {
  return (error == VN_FS_EUNSAFE || error == ELOOP) ? Failure::unsafeStorage() : Failure::storageFailed();
}

// Opens the store's directory. Without `create`, a missing directory gives an empty descriptor.
Descriptor openDirectory(const std::filesystem::path& directory, bool create, const char* operation) {
  if (directory.empty()) fail(Failure::invalidInput(), operation);
  if (create) {
    std::error_code ec;
    std::filesystem::create_directories(directory.parent_path(), ec);
    if (ec) fail(Failure::storageFailed(), operation, ec.value());
  }
  Descriptor fd;
  const int error = vn_fs_open_private_dir(directory.c_str(), create ? 1 : 0, fd.out());
  if (error == ENOENT && !create) return Descriptor();
  if (error != 0) fail(storageFailure(error), operation, error);
  return fd;
}

Descriptor lockDirectory(int dirFd, bool exclusive, const char* operation) {
  Descriptor lock;
  const std::string name(EncryptedAccountCredentialStore::lockFileName);
  const int error = vn_fs_lock(dirFd, name.c_str(), exclusive ? 1 : 0, lock.out());
  if (error != 0) fail(storageFailure(error), operation, error);
  return lock;
}

// The installation key, or nullopt when the key file does not exist.
std::optional<SecretBytes> readKey(int dirFd, const char* operation) {
  FileContents contents;
  const std::string name(EncryptedAccountCredentialStore::keyFileName);
  const int error = vn_fs_read_file(dirFd, name.c_str(), keyFileSize, contents.data(), contents.length());
  if (error == ENOENT) return std::nullopt;
  if (error == EFBIG) fail(Failure::missingKey(), operation);
  if (error != 0) fail(storageFailure(error), operation, error);
  const auto bytes = contents.view();
  if (bytes.size() != keyFileSize || !startsWith(bytes, asBytes(keyMagic)))
    fail(Failure::missingKey(), operation);
  SecretBytes key;
  key.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(keyMagic.size()), bytes.end());
  return key;
}

Bytes associatedData(std::string_view namespaceName, std::string_view account) {
  ByteWriter writer(recordMagic.size() + 8 + namespaceName.size() + account.size());
  writer.bytes(asBytes(recordMagic))
      .u32be(static_cast<std::uint32_t>(namespaceName.size()))
      .bytes(asBytes(namespaceName))
      .u32be(static_cast<std::uint32_t>(account.size()))
      .bytes(asBytes(account));
  return std::move(writer).take();
}

}  // namespace

std::string_view EncryptedAccountCredentialStore::Failure::rawValue() const noexcept {
  switch (case_) {
    case Case::invalidInput: return "account_credential_invalid_input";
    case Case::unsafeStorage: return "account_credential_private_storage_required";
    case Case::missingKey: return "account_credential_key_missing_or_invalid";
    case Case::invalidRecord: return "account_credential_corrupt_or_wrong_installation";
    case Case::storageFailed: return "account_credential_storage_failed";
  }
  return "account_credential_storage_failed";
}

EncryptedAccountCredentialStore::EncryptedAccountCredentialStore(std::filesystem::path directory,
                                                                 std::string namespaceName)
    : directory_(std::move(directory)), namespace_(std::move(namespaceName)) {}

std::string EncryptedAccountCredentialStore::recordFileName(std::string_view trimmedAccount) {
  Bytes input = toBytes(recordNameLabel);
  append(input, asBytes(trimmedAccount));
  const auto digest = crypto::sha256(input);
  return hexStringLower(digest) + std::string(recordSuffix);
}

std::optional<std::string> EncryptedAccountCredentialStore::password(std::string_view account) const {
  constexpr const char* operation = "read";
  checkNamespace(namespace_, operation);
  const auto name = checkedAccount(account, operation);
  auto dir = openDirectory(directory_, false, operation);
  if (dir.get() < 0) return std::nullopt;
  auto lock = lockDirectory(dir.get(), false, operation);

  FileContents record;
  const auto recordName = recordFileName(name);
  int error = vn_fs_read_file(dir.get(), recordName.c_str(), maxRecordSize, record.data(), record.length());
  if (error == ENOENT) return std::nullopt;
  if (error == EFBIG) fail(Failure::invalidRecord(), operation);
  if (error != 0) fail(storageFailure(error), operation, error);

  auto key = readKey(dir.get(), operation);
  if (!key) fail(Failure::missingKey(), operation);

  const auto bytes = record.view();
  if (bytes.size() < recordOverhead || !startsWith(bytes, asBytes(recordMagic))) {
    fail(Failure::invalidRecord(), operation);
  }
  const auto nonce = bytes.subspan(recordMagic.size(), crypto::aesGcmNonceSize);
  const auto sealed = bytes.subspan(recordMagic.size() + crypto::aesGcmNonceSize);
  auto opened = crypto::aesGcmOpen(key->bytes, nonce, sealed, associatedData(namespace_, name));
  if (!opened) fail(Failure::invalidRecord(), operation);
  SecretBytes plain{std::move(*opened)};
  return std::string(plain.bytes.begin(), plain.bytes.end());
}

void EncryptedAccountCredentialStore::save(std::string_view password, std::string_view account) const {
  constexpr const char* operation = "save";
  checkNamespace(namespace_, operation);
  const auto name = checkedAccount(account, operation);
  if (password.empty() || password.size() > maxPasswordSize) fail(Failure::invalidInput(), operation);
  auto dir = openDirectory(directory_, true, operation);
  auto lock = lockDirectory(dir.get(), true, operation);

  auto key = readKey(dir.get(), operation);
  if (!key) {
    // A new key would leave every existing record unreadable for good; refuse while any exists,
    // so that a key that went missing is noticed instead of silently replaced.
    std::size_t records = 0;
    const std::string suffix(recordSuffix);
    int error = vn_fs_count_suffix(dir.get(), suffix.c_str(), &records);
    if (error != 0) fail(storageFailure(error), operation, error);
    if (records > 0) fail(Failure::missingKey(), operation);
    SecretBytes fresh{crypto::randomBytes(crypto::aesGcmKeySize)};
    SecretBytes file{toBytes(keyMagic)};
    append(file.bytes, fresh.bytes);
    const std::string keyName(keyFileName);
    error = vn_fs_replace_file(dir.get(), keyName.c_str(), file.bytes.data(), file.bytes.size(), 0600);
    if (error != 0) fail(storageFailure(error), operation, error);
    key = std::move(fresh);
  }

  const auto nonce = crypto::randomBytes(crypto::aesGcmNonceSize);
  const auto sealed =
      crypto::aesGcmSeal(key->bytes, nonce, asBytes(password), associatedData(namespace_, name));
  ByteWriter writer(recordOverhead + password.size());
  writer.bytes(asBytes(recordMagic)).bytes(nonce).bytes(sealed);
  const auto recordName = recordFileName(name);
  const auto& bytes = writer.data();
  const int error = vn_fs_replace_file(dir.get(), recordName.c_str(), bytes.data(), bytes.size(), 0600);
  if (error != 0) fail(storageFailure(error), operation, error);
}

void EncryptedAccountCredentialStore::deletePassword(std::string_view account) const {
  constexpr const char* operation = "delete";
  checkNamespace(namespace_, operation);
  const auto name = checkedAccount(account, operation);
  auto dir = openDirectory(directory_, false, operation);
  if (dir.get() < 0) return;
  auto lock = lockDirectory(dir.get(), true, operation);
  const auto recordName = recordFileName(name);
  const int error = vn_fs_remove_file(dir.get(), recordName.c_str());
  if (error == ENOENT) return;
  if (error != 0) fail(storageFailure(error), operation, error);
}

}  // namespace vantrel
