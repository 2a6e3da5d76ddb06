#include "Account/SystemConnectionConfiguration.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Support/JSONNesting.hpp"
#include "Support/Paths.hpp"

namespace vantrel {
namespace {

const nlohmann::json& required(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end())
    throw ConfigurationDecodingError(fmt::format("No value associated with key \"{}\".", key));
  return *found;
}

std::string stringValue(const nlohmann::json& object, const char* key) {
  const auto& value = required(object, key);
  if (!value.is_string())
    throw ConfigurationDecodingError(fmt::format("Expected to decode String for \"{}\".", key));
  return value.get<std::string>();
}

std::uint16_t uint16Value(const nlohmann::json& object, const char* key) {
  const auto& value = required(object, key);
  if (!value.is_number_integer()) {
    throw ConfigurationDecodingError(fmt::format("Expected to decode UInt16 for \"{}\".", key));
  }
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFF) {
    throw ConfigurationDecodingError(fmt::format("Number for \"{}\" does not fit in UInt16.", key));
  }
  return static_cast<std::uint16_t>(value.get<std::uint64_t>());
}

}  // namespace

std::filesystem::path SystemConnectionConfiguration::defaultURL() { return paths::systemConnectionFile(); }

SystemConnectionConfiguration SystemConnectionConfiguration::decode(std::string_view json) {
  if (!jsonNestingWithin(json)) throw ConfigurationDecodingError("The given data was not valid JSON.");
  const auto document = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) throw ConfigurationDecodingError("The given data was not valid JSON.");
  if (!document.is_object()) throw ConfigurationDecodingError("Expected to decode a dictionary.");
  SystemConnectionConfiguration configuration;
  configuration.host = stringValue(document, "host");
  configuration.port = uint16Value(document, "port");
  configuration.userID = stringValue(document, "userID");
  configuration.connectionNumber = uint16Value(document, "connectionNumber");
  return configuration;
}

}  // namespace vantrel
