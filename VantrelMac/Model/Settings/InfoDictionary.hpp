#pragma once

// The program's own information: bundle identifier, versions and the updater's keys. The build
// writes them into "Info.json" beside the executable; the program loads that file once at start
// and hands the dictionary to whoever needs it. Tests build dictionaries from literal maps.

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace vantrel {

class InfoDictionary {
 public:
  using Value = nlohmann::json;

  // Keys the program reads.
  static constexpr std::string_view bundleIdentifierKey = "CFBundleIdentifier";
  static constexpr std::string_view shortVersionKey = "CFBundleShortVersionString";
  static constexpr std::string_view versionKey = "CFBundleVersion";
  static constexpr std::string_view feedURLKey = "SUFeedURL";
  static constexpr std::string_view publicEDKeyKey = "SUPublicEDKey";
  static constexpr std::string_view requireSignedFeedKey = "SURequireSignedFeed";
  static constexpr std::string_view verifyBeforeExtractionKey = "SUVerifyUpdateBeforeExtraction";
  static constexpr std::string_view localRehearsalKey = "VNUpdateLocalRehearsal";

  static constexpr std::string_view defaultBundleIdentifier = "local.vantrel.VantrelMac";
  static constexpr std::string_view fileName = "Info.json";
  static constexpr std::size_t maximumFileSize = 256 * 1024;

  // An empty dictionary (what a program without its information file sees).
  InfoDictionary();
  // From a JSON object; anything else gives an empty dictionary.
  explicit InfoDictionary(Value object);
  InfoDictionary(std::initializer_list<std::pair<const std::string, Value>> entries);

  // Reads a JSON object from the file; nullopt when it is missing, unreadable, too large or not
  // a JSON object.
  static std::optional<InfoDictionary> load(const std::filesystem::path& file);
  // Where the program's file lies: beside the executable, else in the resource folder.
  static std::filesystem::path mainFile();
  // Loads the program's file once per process (later calls return the same dictionary); an
  // empty dictionary, logged, when it cannot be read.
  static const InfoDictionary& main();

  // The value under the key as stored, or nullopt.
  std::optional<Value> object(std::string_view key) const;
  // Text and Bool values; nullopt when missing or of another type.
  std::optional<std::string> string(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  bool empty() const noexcept { return values_.empty(); }
  // The whole dictionary (a JSON object).
  const Value& values() const noexcept { return values_; }

  // CFBundleIdentifier when it is non-empty text, else "local.vantrel.VantrelMac".
  std::string bundleIdentifier() const;

  friend bool operator==(const InfoDictionary& a, const InfoDictionary& b) { return a.values_ == b.values_; }

 private:
  Value values_;
};

}  // namespace vantrel
