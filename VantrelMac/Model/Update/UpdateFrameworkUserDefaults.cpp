#include "Model/Update/UpdateFrameworkUserDefaults.hpp"

namespace vantrel {

std::optional<bool> UserDefaultsUpdaterSettings::boolValue(const std::string& key) const {
  const auto value = defaults_.value(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::string> UserDefaultsUpdaterSettings::stringValue(const std::string& key) const {
  const auto value = defaults_.value(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<double> UserDefaultsUpdaterSettings::doubleValue(const std::string& key) const {
  const auto value = defaults_.value(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

}  // namespace vantrel
