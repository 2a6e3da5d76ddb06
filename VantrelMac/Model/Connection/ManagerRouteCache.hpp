#pragma once

// The routes of the last successful account login: which account, which client number, which
// manager is the primary one and every manager route. Lets the next launch reconnect without
// signing in again.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Account/AccountLoginTypes.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class UserDefaults;

struct ManagerRouteCache {
  int version = currentVersion;
  std::string accountID;
  int assignedSlot = 0;  // 1…65536
  int primaryManagerIndex = 0;
  std::vector<AccountManagerRoute> routes;  // the server's order, the primary included

  static constexpr int currentVersion = 1;
  static constexpr std::string_view key = "VantrelMac.accountLogin.managerRoutes.v1";

  // Stores the JSON document as data under the key, replacing the previous cache; when it cannot
  // be encoded nothing is written.
  void save(UserDefaults& defaults) const;
  // The stored cache when it decodes strictly and passes the checks (version 1, slot 1…65536,
  // non-empty account ID and routes, a route for the primary index); nullopt otherwise. A
  // rejected cache is left stored.
  static std::optional<ManagerRouteCache> load(const UserDefaults& defaults);

  // The compact JSON document ("version", "accountID", "assignedSlot", "primaryManagerIndex",
  // "routes" of "managerIndex", "insideHost", "publicHost", "port"); nullopt when a text is not
  // valid UTF-8.
  std::optional<std::string> encode() const;
  // Strict decoding: every key present with its type, integers only, a route port in 0…65535.
  // The acceptance checks of `load` are not applied here.
  static std::optional<ManagerRouteCache> decode(ByteView json);
  // The acceptance checks of `load`.
  bool isAcceptable() const;

  friend bool operator==(const ManagerRouteCache&, const ManagerRouteCache&) = default;
};

}  // namespace vantrel
