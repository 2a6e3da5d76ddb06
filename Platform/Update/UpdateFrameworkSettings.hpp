#pragma once

// The engine's persistent settings ("SUEnableAutomaticChecks", "SULastCheckTime" in seconds
// since the Unix epoch, "SUSkippedVersion"), kept in the application's settings store through
// this small interface.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace vantrel {

class UpdaterSettings {
 public:
  static constexpr const char* automaticChecksKey = "SUEnableAutomaticChecks";
  static constexpr const char* lastCheckTimeKey = "SULastCheckTime";
  static constexpr const char* skippedVersionKey = "SUSkippedVersion";

  virtual ~UpdaterSettings() = default;
  virtual std::optional<bool> boolValue(const std::string& key) const = 0;
  virtual void setBool(const std::string& key, bool value) = 0;
  virtual std::optional<double> doubleValue(const std::string& key) const = 0;
  virtual void setDouble(const std::string& key, double value) = 0;
  virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
};

// Settings held in memory (tests, and a program without a settings store).
class MemoryUpdaterSettings : public UpdaterSettings {
 public:
  std::optional<bool> boolValue(const std::string& key) const override { return get<bool>(key); }
  void setBool(const std::string& key, bool value) override { set(key, value); }
  std::optional<double> doubleValue(const std::string& key) const override { return get<double>(key); }
  void setDouble(const std::string& key, double value) override { set(key, value); }
  std::optional<std::string> stringValue(const std::string& key) const override {
    return get<std::string>(key);
  }
  void setString(const std::string& key, const std::string& value) override { set(key, value); }

 private:
  using Value = std::variant<bool, double, std::string>;
  template <typename T>
  std::optional<T> get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end() || !std::holds_alternative<T>(found->second)) return std::nullopt;
    return std::get<T>(found->second);
  }
  void set(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
  }
  mutable std::mutex mutex_;
  std::map<std::string, Value> values_;
};

}  // namespace vantrel
