#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Settings of the development channel, from "ai-channel.json" in the application-support folder.
struct AIChannelConfiguration {
  bool enabled = false;
  std::vector<std::string> allowedRoots;
  bool allowShell = false;
  std::vector<std::string> allowedManagers;

  static constexpr std::string_view fileName = "ai-channel.json";
  static constexpr std::size_t maximumFileSize = 16384;
  static constexpr std::string_view defaultBundleIdentifier = "local.vantrel.VantrelMac";

  // The per-user application-support folder: "VantrelMac" for the product's own (or no) bundle
  // identifier, else the identifier.
  static std::filesystem::path applicationSupportDirectory(
      std::optional<std::string_view> bundleIdentifier = defaultBundleIdentifier);

  // Reads the configuration file. A missing, oversized, unreadable or undecodable file (a key
  // missing or of the wrong type) gives the disabled default; never fails.
  static AIChannelConfiguration load(
      std::optional<std::string_view> bundleIdentifier = defaultBundleIdentifier);

  // Decodes the JSON text strictly; nullopt when it does not decode.
  static std::optional<AIChannelConfiguration> decode(std::string_view json);

  friend bool operator==(const AIChannelConfiguration&, const AIChannelConfiguration&) = default;
};

}  // namespace vantrel
