#pragma once

// Settings values of the status model, until the settings stores of the application are in.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Account/AccountLoginTypes.hpp"

namespace vantrel {

struct AccountLoginSettings {
  std::string accountID;
  std::string requestedSlotText = "0";
  std::string setupName;
  bool rememberAccountID = true;
  std::uint64_t serial = 0;
  std::string installationMAC;
  friend bool operator==(const AccountLoginSettings&, const AccountLoginSettings&) = default;
};

struct DirectConnectionSettings {
  std::string host;
  std::uint16_t port = 65333;
  std::string userID;
  std::uint16_t connectionNumber = 0;
  friend bool operator==(const DirectConnectionSettings&, const DirectConnectionSettings&) = default;
};

struct ManagerRouteCache {
  int version = 1;
  std::string accountID;
  int assignedSlot = 0;
  int primaryManagerIndex = 1;
  std::vector<AccountManagerRoute> routes;
  friend bool operator==(const ManagerRouteCache&, const ManagerRouteCache&) = default;
};

enum class DirectConnectionFormValidation {
  valid,
  emptyHost,
  invalidPort,
  emptyUserID,
  nonASCIIUserID,
  invalidManagerSlot
};

struct DirectConnectionFormOutcome {
  DirectConnectionFormValidation validation = DirectConnectionFormValidation::valid;
  std::optional<DirectConnectionSettings> settings;
};

DirectConnectionFormOutcome validateDirectConnectionForm(const std::string& host, const std::string& portText,
                                                         const std::string& userID,
                                                         const std::string& managerSlotText);

}  // namespace vantrel
