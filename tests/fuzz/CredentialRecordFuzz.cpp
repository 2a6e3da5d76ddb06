// Feeds arbitrary bytes to the credential store as an account's record file, in a private
// temporary folder whose installation key was made by a real save. Reading it either gives a
// password or throws the store's own failure; the first byte picks whether the key file is
// replaced by fuzzed bytes too.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Account/EncryptedAccountCredentialStore.hpp"
#include "FuzzWorkspace.hpp"
#include "Support/Bytes.hpp"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {
constexpr const char* account = "operator";

struct Workspace {
  fs::path folder;
  Bytes key;  // the real key file's contents
};

const Workspace& workspace() {
  static const Workspace space = [] {
    Workspace made{fuzz::privateTemporaryFolder("vantrel-credential-fuzz") / "AccountLogin", {}};
    EncryptedAccountCredentialStore(made.folder, "local.vantrel.VantrelMac").save("Pw-1", account);
    const auto keyFile = made.folder / std::string(EncryptedAccountCredentialStore::keyFileName);
    const int fd = ::open(keyFile.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint8_t buffer[256];
    const auto n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0) std::abort();
    made.key.assign(buffer, buffer + n);
    return made;
  }();
  return space;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto& space = workspace();
  const auto record = space.folder / EncryptedAccountCredentialStore::recordFileName(account);
  const auto keyFile = space.folder / std::string(EncryptedAccountCredentialStore::keyFileName);
  if (data[0] & 1) {
    // Fuzzed key: the first 36 bytes after the selector, then the record.
    const std::size_t keyLength = std::min<std::size_t>(size - 1, 36);
    fuzz::replaceFile(keyFile, data + 1, keyLength);
    fuzz::replaceFile(record, data + 1 + keyLength, size - 1 - keyLength);
  } else {
    fuzz::replaceFile(keyFile, space.key.data(), space.key.size());
    fuzz::replaceFile(record, data + 1, size - 1);
  }
  try {
    const auto password =
        EncryptedAccountCredentialStore(space.folder, "local.vantrel.VantrelMac").password(account);
    if (password && password->size() > EncryptedAccountCredentialStore::maxPasswordSize) std::abort();
  } catch (const EncryptedAccountCredentialStore::Failure&) {
  }
  return 0;
}
