#pragma once

// The saved settings the status model reads and writes: the login form, the direct-connection
// form and the route cache of the last sign-in.

#include <optional>

#include "Model/StatusEnvironmentInterim.hpp"

namespace vantrel {

class StatusSettingsStoring {
 public:
  virtual ~StatusSettingsStoring() = default;
  // Loading may write first-launch values (serial, installation MAC) on its own.
  virtual AccountLoginSettings loadAccountLoginSettings() = 0;
  virtual void saveAccountLoginSettings(const AccountLoginSettings& settings) = 0;
  virtual DirectConnectionSettings loadDirectConnectionSettings() = 0;
  virtual void saveDirectConnectionSettings(const DirectConnectionSettings& settings) = 0;
  // None when nothing usable is stored.
  virtual std::optional<ManagerRouteCache> loadManagerRouteCache() = 0;
  virtual void saveManagerRouteCache(const ManagerRouteCache& cache) = 0;
};

}  // namespace vantrel
