#include "AIChannel/AIAccountLoginContext.hpp"

#include <fmt/format.h>

#include "Support/Text.hpp"

namespace vantrel {

AIAccountLoginContext::AIAccountLoginContext(const AccountLoginResult& login)
    : account_(login.accountID), slot_(login.assignedSlot), routes_(login.routes) {}

std::shared_ptr<AIAccountLoginContext> AIAccountLoginContext::create(const AccountLoginResult& login) {
  return std::shared_ptr<AIAccountLoginContext>(new AIAccountLoginContext(login));
}

void AIAccountLoginContext::refresh(const AccountLoginResult& login) {
  std::lock_guard guard(lock_);
  if (login.accountID == account_ && login.assignedSlot == slot_) {
    routes_ = login.routes;
  } else {
    valid_ = false;
  }
}

void AIAccountLoginContext::revoke() {
  std::lock_guard guard(lock_);
  valid_ = false;
}

bool AIAccountLoginContext::isValid() const {
  std::lock_guard guard(lock_);
  return valid_;
}

std::optional<int> AIAccountLoginContext::authorizedManagerIndex(const std::string& host, std::uint16_t port,
                                                                 const std::string& userID,
                                                                 std::uint16_t comNum) const {
  std::lock_guard guard(lock_);
  if (!valid_ || text::isBlank(account_)) return std::nullopt;
  if (userID != account_) return std::nullopt;
  // Computed in int: connection number 65535 belongs to slot 65536, never to slot 0.
  if (static_cast<int>(comNum) + 1 != slot_) return std::nullopt;
  for (const auto& route : routes_) {
    if (route.port != port) continue;
    for (const auto& candidate : route.connectionHosts()) {
      if (text::caseInsensitiveEquals(candidate, host)) return route.managerIndex;
    }
  }
  return std::nullopt;
}

std::shared_ptr<AILoginManagerLease> AIAccountLoginContext::lease(const std::string& host, std::uint16_t port,
                                                                  const std::string& userID,
                                                                  std::uint16_t comNum) {
  const auto index = authorizedManagerIndex(host, port, userID, comNum);
  if (!index) return nullptr;
  return std::make_shared<AILoginManagerLease>(host, userID, port, comNum, *index, shared_from_this());
}

AILoginManagerLease::AILoginManagerLease(std::string host_, std::string userID_, std::uint16_t port_,
                                         std::uint16_t comNum_, int managerIndex_,
                                         std::shared_ptr<AIAccountLoginContext> context_)
    : host(std::move(host_)),
      userID(std::move(userID_)),
      identity(fmt::format("{}@{}:{}#{}", userID, text::lowercased(host), port_, comNum_)),
      port(port_),
      comNum(comNum_),
      managerIndex(managerIndex_),
      context(std::move(context_)) {}

bool AILoginManagerLease::isValid() const {
  {
    std::lock_guard guard(lock_);
    if (!valid_) return false;
  }
  // The context's lock is taken after the lease's has been given up: never both at once.
  if (!context) return false;
  return context->authorizedManagerIndex(host, port, userID, comNum) == managerIndex;
}

void AILoginManagerLease::invalidate() {
  std::lock_guard guard(lock_);
  valid_ = false;
}

}  // namespace vantrel
