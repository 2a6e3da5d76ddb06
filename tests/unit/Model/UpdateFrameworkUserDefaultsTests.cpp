#include <gtest/gtest.h>

#include "Model/Update/UpdateFrameworkUserDefaults.hpp"

namespace vantrel {
namespace {

TEST(UserDefaultsUpdaterSettings, KeepsTypesApart) {
  InMemoryUserDefaults defaults;
  UserDefaultsUpdaterSettings settings(defaults);
  EXPECT_FALSE(settings.boolValue(UpdaterSettings::automaticChecksKey));
  settings.setBool(UpdaterSettings::automaticChecksKey, false);
  EXPECT_EQ(defaults.value("SUEnableAutomaticChecks"), UserDefaults::Value(false));
  EXPECT_EQ(settings.boolValue("SUEnableAutomaticChecks"), false);

  settings.setDouble(UpdaterSettings::lastCheckTimeKey, 1.5e9);
  EXPECT_EQ(settings.doubleValue("SULastCheckTime"), 1.5e9);
  defaults.setString("SULastCheckTime", "1500000000");
  EXPECT_FALSE(settings.doubleValue("SULastCheckTime"));  // text is not a time
  defaults.setInteger("SULastCheckTime", 7);
  EXPECT_EQ(settings.doubleValue("SULastCheckTime"), 7.0);

  settings.setString(UpdaterSettings::skippedVersionKey, "42");
  EXPECT_EQ(defaults.storedString("SUSkippedVersion"), "42");
  defaults.setString("SUEnableAutomaticChecks", "false");
  EXPECT_FALSE(settings.boolValue("SUEnableAutomaticChecks"));  // only a stored Bool counts
}

}  // namespace
}  // namespace vantrel
