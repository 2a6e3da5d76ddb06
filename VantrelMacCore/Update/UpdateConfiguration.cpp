#include "Update/UpdateConfiguration.hpp"

#include <algorithm>

#include "Update/UpdateEncoding.hpp"

namespace vantrel {

std::string UpdateConfiguration::ValidationError::caseName() const {
  switch (case_) {
    case Case::missingConfiguration: return "missingConfiguration";
    case Case::insecureFeed: return "insecureFeed";
    case Case::invalidPublicKey: return "invalidPublicKey";
    case Case::invalidBuild: return "invalidBuild";
    case Case::unsignedUpdates: return "unsignedUpdates";
  }
  return std::to_string(errorCode());
}

namespace update_info {

std::optional<std::string> text(const UpdateInfo& info, const char* key) {
  if (!info.is_object()) return std::nullopt;
  const auto found = info.find(key);
  if (found == info.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<bool> boolean(const UpdateInfo& info, const char* key) {
  if (!info.is_object()) return std::nullopt;
  const auto found = info.find(key);
  if (found == info.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

bool isLoopbackHostName(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1" || host == "[::1]";
}

}  // namespace update_info

namespace {

std::string asciiLower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return s;
}

}  // namespace

UpdateConfiguration::UpdateConfiguration(const UpdateInfo& info) {
  using update_info::boolean;
  using update_info::text;

  const auto feedText = text(info, "SUFeedURL");
  const auto url = feedText ? UpdateURL::parse(*feedText) : std::nullopt;
  if (!url || !url->host || url->host->empty()) throw ValidationError::missingConfiguration();
  if (url->user || url->password || url->query || url->fragment)
    throw ValidationError::missingConfiguration();

  const bool rehearsal = boolean(info, "VNUpdateLocalRehearsal").value_or(false);
  const bool loopback = update_info::isLoopbackHostName(asciiLower(*url->host));

  const bool secure = url->scheme && asciiLower(*url->scheme) == "https";
  const bool rehearsalHttp = rehearsal && loopback && url->scheme && *url->scheme == "http";
  if (!secure && !rehearsalHttp) throw ValidationError::insecureFeed();

  const auto keyText = text(info, "SUPublicEDKey");
  const auto key = keyText ? update_encoding::decodeBase64(*keyText) : std::nullopt;
  if (!key || key->size() != 32) throw ValidationError::invalidPublicKey();

  if (boolean(info, "SURequireSignedFeed") != true) throw ValidationError::unsignedUpdates();
  if (boolean(info, "SUVerifyUpdateBeforeExtraction") != true) throw ValidationError::unsignedUpdates();

  const auto build = text(info, "CFBundleVersion");
  if (!build || !update_encoding::parseBuildNumber(*build)) throw ValidationError::invalidBuild();

  feedURL_ = *url;
  isLocalRehearsal_ = rehearsal;
}

std::string AppVersion::display(const UpdateInfo& info) {
  const auto shortVersion = update_info::text(info, "CFBundleShortVersionString");
  if (shortVersion && !shortVersion->empty()) return "v" + *shortVersion;
  return "개발 버전";
}

}  // namespace vantrel
