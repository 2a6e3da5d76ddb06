#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Error.hpp"

namespace vantrel {

// One private directory of per-account password records, each sealed with AES-256-GCM under an
// installation key kept in the same directory, with the namespace and the account bound in as
// associated data. The format is in docs/credential-store.md. Operations block (file I/O); run
// them off any actor through `AccountCredentialWorker`.
class EncryptedAccountCredentialStore final {
 public:
  class Failure : public Error {
   public:
    enum class Case { invalidInput, unsafeStorage, missingKey, invalidRecord, storageFailed };

    static Failure invalidInput() { return Failure(Case::invalidInput); }
    static Failure unsafeStorage() { return Failure(Case::unsafeStorage); }
    static Failure missingKey() { return Failure(Case::missingKey); }
    static Failure invalidRecord() { return Failure(Case::invalidRecord); }
    static Failure storageFailed() { return Failure(Case::storageFailed); }

    Case kind() const noexcept { return case_; }
    std::string_view rawValue() const noexcept;
    std::optional<std::string> errorDescription() const override { return std::string(rawValue()); }
    std::string errorDomain() const override {
      return "VantrelMacCore.EncryptedAccountCredentialStore.Failure";
    }
    int errorCode() const override { return static_cast<int>(case_); }
    friend bool operator==(const Failure& a, const Failure& b) { return a.case_ == b.case_; }

   private:
    explicit Failure(Case kind) : case_(kind) {}
    Case case_;
  };

  // File names inside the directory.
  static constexpr std::string_view keyFileName = "installation.key";
  static constexpr std::string_view lockFileName = ".lock";
  static constexpr std::string_view recordSuffix = ".credential";
  static constexpr std::size_t maxPasswordSize = 64 * 1024;

  EncryptedAccountCredentialStore(std::filesystem::path directory, std::string namespaceName);

  const std::filesystem::path& directory() const noexcept { return directory_; }

  // The saved password of the account, or nullopt when none is saved.
  std::optional<std::string> password(std::string_view account) const;
  // Seals the password and replaces the account's record atomically; creates the directory and
  // the installation key on the first save.
  void save(std::string_view password, std::string_view account) const;
  // Removes the account's record durably; nothing happens when there is none.
  void deletePassword(std::string_view account) const;

  // The record file name of an account (hex SHA-256 of a label and the trimmed account).
  static std::string recordFileName(std::string_view trimmedAccount);

 private:
  std::filesystem::path directory_;
  std::string namespace_;
};

}  // namespace vantrel
