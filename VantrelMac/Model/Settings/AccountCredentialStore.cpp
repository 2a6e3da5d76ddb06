#include "Model/Settings/AccountCredentialStore.hpp"

#include "Account/AccountCredentialWorker.hpp"
#include "Support/Paths.hpp"

namespace vantrel {

AccountCredentialStore::AccountCredentialStore(std::optional<std::filesystem::path> directory,
                                               std::string namespaceName)
    : storage_(directory ? std::move(*directory) : defaultDirectory(namespaceName), namespaceName) {}

std::filesystem::path AccountCredentialStore::defaultDirectory(std::string_view namespaceName) {
  return paths::applicationSupportDirectory(namespaceName) / "AccountLogin";
}

// The store is copied into each operation: the work may outlive a caller that was cancelled.
Awaitable<std::optional<std::string>> AccountCredentialStore::passwordAsync(std::string account) {
  return AccountCredentialWorker::run(
      [storage = storage_, account = std::move(account)] { return storage.password(account); });
}

Awaitable<void> AccountCredentialStore::saveAsync(std::string password, std::string account) {
  return AccountCredentialWorker::run([storage = storage_, password = std::move(password),
                                       account = std::move(account)] { storage.save(password, account); });
}

Awaitable<void> AccountCredentialStore::deletePasswordAsync(std::string account) {
  return AccountCredentialWorker::run(
      [storage = storage_, account = std::move(account)] { storage.deletePassword(account); });
}

}  // namespace vantrel
