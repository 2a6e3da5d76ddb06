// The account's manager routes without a fresh sign-in: connecting from the cached routes (or the
// saved direct settings), keeping the cache, and the silent re-sign-in that fetches fresh routes.

#include <fmt/format.h>

#include <algorithm>

#include "Model/Connection/AccountSignIn.hpp"

namespace vantrel {

// Without a sign-in: the cached routes of this account, else the saved direct settings.
void AccountSignIn::attemptAutoConnectOnce() {
  if (didAttemptAutoConnect_) return;
  didAttemptAutoConnect_ = true;
  const auto& s = state();
  if (routeCache_ && routeCache_->accountID == s.userID && isValidSlot(routeCache_->assignedSlot)) {
    const auto cache = *routeCache_;
    const auto primary = std::find_if(
        cache.routes.begin(), cache.routes.end(),
        [&](const AccountManagerRoute& r) { return r.managerIndex == cache.primaryManagerIndex; });
    if (primary != cache.routes.end()) {
      const auto connectionNumber = static_cast<std::uint16_t>(cache.assignedSlot - 1);
      auto candidates = candidatesFor(*primary, cache.accountID, connectionNumber);
      if (s.canConnect && !candidates.empty()) {
        primaryManagerIndex_ = cache.primaryManagerIndex;
        assignedSlot_ = cache.assignedSlot;
        owner_.appendDiagnostic(
            fmt::format("Auto-connect using cached server routes (managers={}, primary={})",
                        cache.routes.size(), cache.primaryManagerIndex));
        owner_.connectPrimary(std::move(candidates), "cached server routes", true, false);
        spawnTask(main_,
                  owner_.connectSecondaries(cache.routes, cache.primaryManagerIndex, cache.accountID,
                                            connectionNumber),
                  "cached secondary sessions", TaskStart::afterCaller);
        return;
      }
    }
  }
  const auto outcome =
      DirectConnectionFormParser::validate(s.managerHost, s.managerPortText, s.userID, s.managerSlotText);
  if (s.canConnect && outcome.validation == DirectConnectionFormValidation::valid) {
    owner_.appendDiagnostic("Auto-connect using saved settings");
    owner_.connect();
  }
}

void AccountSignIn::saveRouteCache(const AccountLoginResult& result, int primaryIndex) {
  ManagerRouteCache cache{1, result.accountID, result.assignedSlot, primaryIndex, result.routes};
  cache.save(*defaults_);
  routeCache_ = std::move(cache);
}

void AccountSignIn::refreshRoutes(int failedManagerIndex) {
  if (refreshTask_.isRunning() || sessionPassword_.empty() || !assignedSlot_) return;
  const auto current = VantrelClock::now();
  if (lastRouteRefresh_ && current - *lastRouteRefresh_ < routeRefreshInterval) return;
  lastRouteRefresh_ = current;
  owner_.appendDiagnostic(
      fmt::format("Refreshing manager routes after repeated failures (manager={})", failedManagerIndex));
  auto request = makeLoginRequest(state().accountID, sessionPassword_, assignedSlot_);
  std::weak_ptr<AccountSignIn> weak = weak_from_this();
  refreshTask_.start([weak, request = std::move(request)](TaskTokenPtr token) {
    return routeRefresh(weak, std::move(token), request);
  });
}

Awaitable<void> AccountSignIn::routeRefresh(std::weak_ptr<AccountSignIn> weak, TaskTokenPtr token,
                                            AccountLoginRequest request) {
  auto asking = askLoginServer(weak, std::move(request));
  auto asked = co_await std::move(asking);
  if (!asked) co_return;
  const auto client = asked->client;
  auto& answer = asked->result;
  // A refresh cut short by a disconnect or stop applies nothing, not even its failure line.
  if (token->isCancelled()) co_return;
  if (!answer) {
    auto self = weak.lock();
    if (!self) co_return;
    if (self->refreshTask_.token() == token) self->refreshTask_.release();
    self->owner_.appendDiagnostic("Manager route refresh failed: " + localizedDescription(answer.error()));
    co_return;
  }
  const auto primaryState = co_await client->currentState();
  auto self = weak.lock();
  if (!self || token->isCancelled()) co_return;
  const auto& result = *answer;
  if (self->context_) self->context_->refresh(result);
  if (self->refreshTask_.token() == token) self->refreshTask_.release();
  self->assignedSlot_ = result.assignedSlot;
  self->owner_.appendDiagnostic(
      fmt::format("Manager routes refreshed from login server (routes={})", result.routes.size()));

  const auto& routes = result.routes;
  auto chosen = std::find_if(routes.begin(), routes.end(), [&](const AccountManagerRoute& route) {
    return route.managerIndex == self->primaryManagerIndex_;
  });
  const bool keptIndexPresent = chosen != routes.end();
  if (!keptIndexPresent && !routes.empty()) chosen = routes.begin();
  if (!isValidSlot(result.assignedSlot)) co_return;
  const auto connectionNumber = static_cast<std::uint16_t>(result.assignedSlot - 1);
  int secondaryPrimary = self->primaryManagerIndex_;
  if (chosen != routes.end()) {
    auto candidates = candidatesFor(*chosen, result.accountID, connectionNumber);
    self->saveRouteCache(result, chosen->managerIndex);
    if (primaryState != DirectAuthState::authenticated) {
      self->primaryManagerIndex_ = chosen->managerIndex;
      self->owner_.connectPrimary(std::move(candidates), "server route refresh", false, false);
    } else {
      self->owner_.keepPrimaryEndpoints(std::move(candidates));
    }
    // The chosen route is where the primary reconnects: it never gets a second session.
    secondaryPrimary = keptIndexPresent ? self->primaryManagerIndex_ : chosen->managerIndex;
  }
  auto configuring =
      self->owner_.connectSecondaries(result.routes, secondaryPrimary, result.accountID, connectionNumber);
  self.reset();
  co_await std::move(configuring);
}

}  // namespace vantrel
