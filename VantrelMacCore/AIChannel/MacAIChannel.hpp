#pragma once

// The development channel of one manager connection: a greeting, and answers to request
// envelopes. The protocol is described in docs/ai-channel-protocol.md.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "AIChannel/AIChannelConfiguration.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class AIJobService;

// Used by its session only, on the session's strand: it needs no lock of its own.
class MacAIChannel {
 public:
  using TestProbe = std::function<Awaitable<Bytes>()>;
  using EffectiveUserID = std::function<uid_t()>;

  static constexpr int protocolVersion = 1;
  static constexpr std::size_t maximumRequestSize = 64 * 1024;
  static constexpr std::size_t maximumRememberedRequestIDs = 4096;

  // A status-only channel without login authorisation.
  static std::shared_ptr<MacAIChannel> statusOnly(AIChannelConfiguration configuration,
                                                  TestProbe testProbe = {},
                                                  EffectiveUserID effectiveUserID = defaultEffectiveUserID());
  // An account-bound channel, authorised by the lease when one is given.
  static std::shared_ptr<MacAIChannel> accountBound(
      AIChannelConfiguration configuration, std::shared_ptr<AILoginManagerLease> loginAuthorization,
      std::shared_ptr<AIJobService> jobService, EffectiveUserID effectiveUserID = defaultEffectiveUserID());

  static EffectiveUserID defaultEffectiveUserID();

  // Records whether the manager is allowed and forgets the request IDs seen so far.
  void bindManager(const std::string& host);
  // The greeting envelope when the channel is enabled, else nullopt.
  std::optional<Bytes> hello() const;
  // The response envelope to one request envelope (prefix included); never throws. Each request
  // ID is accepted once per `bindManager`.
  Awaitable<std::optional<Bytes>> handle(Bytes request);
  // Configuration enabled, not running as root, bound manager allowed and, for an account-bound
  // channel, a login authorisation that is still valid.
  bool enabled() const;

  bool isAccountBound() const noexcept { return accountBound_; }
  const AIChannelConfiguration& configuration() const noexcept { return configuration_; }

 private:
  MacAIChannel(AIChannelConfiguration configuration, bool accountBound,
               std::shared_ptr<AILoginManagerLease> loginAuthorization,
               std::shared_ptr<AIJobService> jobService, TestProbe testProbe,
               EffectiveUserID effectiveUserID);

  bool managerAllowed() const;
  Awaitable<std::optional<Bytes>> respond(Bytes request);

  const AIChannelConfiguration configuration_;
  const bool accountBound_;
  const std::shared_ptr<AILoginManagerLease> loginAuthorization_;
  const std::shared_ptr<AIJobService> jobService_;
  const TestProbe testProbe_;
  const EffectiveUserID effectiveUserID_;

  std::optional<std::string> boundHost_;
  bool allowedByList_ = false;
  bool allowedByLease_ = false;
  std::unordered_set<std::string> seenRequestIDs_;
};

}  // namespace vantrel
