#pragma once

// The update engine's settings kept in the application's settings store.

#include "Model/Settings/UserDefaults.hpp"
#include "Platform/Update/UpdateFrameworkSettings.hpp"

namespace vantrel {

class UserDefaultsUpdaterSettings : public UpdaterSettings {
 public:
  // The store must outlive this object.
  explicit UserDefaultsUpdaterSettings(UserDefaults& defaults) : defaults_(defaults) {}

  // The engine's own keys count only in the type the engine writes them (the settings getters'
  // conversions are for the application's keys).
  std::optional<bool> boolValue(const std::string& key) const override;
  void setBool(const std::string& key, bool value) override { defaults_.setBool(key, value); }
  std::optional<double> doubleValue(const std::string& key) const override;
  void setDouble(const std::string& key, double value) override {
    defaults_.setValue(key, UserDefaults::Value(value));
  }
  std::optional<std::string> stringValue(const std::string& key) const override;
  void setString(const std::string& key, const std::string& value) override {
    defaults_.setString(key, value);
  }

 private:
  UserDefaults& defaults_;
};

}  // namespace vantrel
