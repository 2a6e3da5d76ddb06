#pragma once

// The signed-in account, which may authorise the development channel of the sessions that
// serve one of its managers, and the authorisation of one such manager endpoint.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Account/AccountLoginTypes.hpp"

namespace vantrel {

class AILoginManagerLease;

class AIAccountLoginContext : public std::enable_shared_from_this<AIAccountLoginContext> {
 public:
  static std::shared_ptr<AIAccountLoginContext> create(const AccountLoginResult& login);

  // Same account and slot: the routes are replaced. Otherwise the context becomes invalid.
  void refresh(const AccountLoginResult& login);
  // Every lease taken from the context reports invalid from now on.
  void revoke();

  // An authorisation for the endpoint when the context is valid, has an account, the user ID is
  // the account ID, connection number + 1 is the assigned slot and a route has the port and a
  // connection host equal to `host` ignoring case; else nullptr.
  std::shared_ptr<AILoginManagerLease> lease(const std::string& host, std::uint16_t port,
                                             const std::string& userID, std::uint16_t comNum);

  // The index of the route that authorises the endpoint now, if any.
  std::optional<int> authorizedManagerIndex(const std::string& host, std::uint16_t port,
                                            const std::string& userID, std::uint16_t comNum) const;

  bool isValid() const;

 private:
  explicit AIAccountLoginContext(const AccountLoginResult& login);

  mutable std::mutex lock_;
  std::string account_;
  int slot_;
  std::vector<AccountManagerRoute> routes_;
  bool valid_ = true;
};

class AILoginManagerLease {
 public:
  AILoginManagerLease(std::string host, std::string userID, std::uint16_t port, std::uint16_t comNum,
                      int managerIndex, std::shared_ptr<AIAccountLoginContext> context);

  const std::string host;
  const std::string userID;
  // "<userID>@<host in lower case>:<port>#<comNum>": names the endpoint in logs and comparisons.
  const std::string identity;
  const std::uint16_t port;
  const std::uint16_t comNum;
  const int managerIndex;
  const std::shared_ptr<AIAccountLoginContext> context;

  // True while not invalidated and the context still authorises the same endpoint through the
  // same manager index.
  bool isValid() const;
  // Ends the authorisation for good (the session keeps the object).
  void invalidate();

 private:
  mutable std::mutex lock_;
  bool valid_ = true;
};

}  // namespace vantrel
