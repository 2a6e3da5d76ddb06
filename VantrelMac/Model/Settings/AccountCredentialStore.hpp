#pragma once

// The application's store of automatic-login passwords: the encrypted per-account store, with
// every operation run off the caller's executor.

#include <filesystem>
#include <optional>
#include <string>

#include "Account/EncryptedAccountCredentialStore.hpp"
#include "Model/Status/StatusEnvironment.hpp"

namespace vantrel {

class AccountCredentialStore final : public AccountCredentialStoring {
 public:
  static constexpr std::string_view defaultNamespace = "local.vantrel.VantrelMac";

  // Without a directory the records live in <application support>/<namespace>/AccountLogin.
  AccountCredentialStore(std::optional<std::filesystem::path> directory, std::string namespaceName);

  static std::filesystem::path defaultDirectory(std::string_view namespaceName);
  const EncryptedAccountCredentialStore& storage() const noexcept { return storage_; }

  Awaitable<std::optional<std::string>> passwordAsync(std::string account) override;
  Awaitable<void> saveAsync(std::string password, std::string account) override;
  Awaitable<void> deletePasswordAsync(std::string account) override;

 private:
  EncryptedAccountCredentialStore storage_;
};

}  // namespace vantrel
