#include "Model/UpdateFrameworkUserDefaults.hpp"

namespace vantrel {

std::optional<double> UserDefaultsUpdaterSettings::doubleValue(const std::string& key) const {
  const auto value = defaults_.value(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

}  // namespace vantrel
