#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// One manager the account may serve, as the login server lists it.
struct AccountManagerRoute {
  int managerIndex = 0;     // 1…5
  std::string insideHost;   // may hold several hosts separated by ","
  std::string publicHost;
  std::uint16_t port = 0;   // 1…65535

  // The host candidates in order: the parts of `insideHost`, then `publicHost`; each trimmed,
  // empty ones dropped, duplicates removed keeping the first.
  std::vector<std::string> connectionHosts() const;

  friend bool operator==(const AccountManagerRoute&, const AccountManagerRoute&) = default;
};

struct AccountLoginRequest {
  std::string accountID;
  std::string password;
  std::optional<int> requestedSlot;  // none: let the server assign
  std::uint64_t serial = 0;
  std::string computerName;
  std::string version;
  std::vector<std::string> insideAddresses;
  std::string macAddress;
  std::string macAddress2;

  friend bool operator==(const AccountLoginRequest&, const AccountLoginRequest&) = default;
};

struct AccountLoginResult {
  int assignedSlot = 0;  // the client number
  std::string accountID;
  std::vector<AccountManagerRoute> routes;  // at most five
  std::string serverMessage;

  friend bool operator==(const AccountLoginResult&, const AccountLoginResult&) = default;
};

}  // namespace vantrel
