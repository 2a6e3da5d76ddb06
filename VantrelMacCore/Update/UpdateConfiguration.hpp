#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Support/Error.hpp"
#include "Update/UpdateURL.hpp"

namespace vantrel {

// The program's information dictionary (Info.json): one JSON object. A JSON string is text and
// JSON true/false is a Boolean; any other JSON type counts as an absent key.
using UpdateInfo = nlohmann::json;

// Whether this build may update itself: a trusted feed address, a signing key of the right
// size, signed feeds and verification before extraction, and a well-formed build number.
class UpdateConfiguration {
 public:
  class ValidationError : public Error {
   public:
    enum class Case { missingConfiguration, insecureFeed, invalidPublicKey, invalidBuild, unsignedUpdates };

    static ValidationError missingConfiguration() { return ValidationError(Case::missingConfiguration); }
    static ValidationError insecureFeed() { return ValidationError(Case::insecureFeed); }
    static ValidationError invalidPublicKey() { return ValidationError(Case::invalidPublicKey); }
    static ValidationError invalidBuild() { return ValidationError(Case::invalidBuild); }
    static ValidationError unsignedUpdates() { return ValidationError(Case::unsignedUpdates); }

    Case kind() const noexcept { return case_; }
    std::optional<std::string> errorDescription() const override { return std::nullopt; }
    std::string errorDomain() const override { return "VantrelMacCore.UpdateConfiguration.ValidationError"; }
    int errorCode() const override { return static_cast<int>(case_); }
    // The case's name ("missingConfiguration"): how logs describe this error.
    std::string caseName() const;
    friend bool operator==(const ValidationError& a, const ValidationError& b) { return a.case_ == b.case_; }

   private:
    explicit ValidationError(Case kind) : case_(kind) {}
    Case case_;
  };

  // Validates the dictionary; throws exactly one `ValidationError` (the first failing check).
  explicit UpdateConfiguration(const UpdateInfo& info);

  const UpdateURL& feedURL() const noexcept { return feedURL_; }
  bool isLocalRehearsal() const noexcept { return isLocalRehearsal_; }

 private:
  UpdateURL feedURL_;
  bool isLocalRehearsal_ = false;
};

namespace update_info {
// The value of `key` when it is a JSON string, else nullopt.
std::optional<std::string> text(const UpdateInfo& info, const char* key);
// The value of `key` when it is a JSON Boolean, else nullopt.
std::optional<bool> boolean(const UpdateInfo& info, const char* key);
// Plain equality with one of "127.0.0.1", "localhost", "::1", "[::1]".
bool isLoopbackHostName(const std::string& host);
}  // namespace update_info

namespace AppVersion {
// "v" + "CFBundleShortVersionString" when that is non-empty text, else "개발 버전".
std::string display(const UpdateInfo& info);
}  // namespace AppVersion

}  // namespace vantrel
