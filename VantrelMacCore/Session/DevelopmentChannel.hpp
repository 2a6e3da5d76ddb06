#pragma once

// How a manager session reaches the development channel. The session owns this interface; the
// channel's side implements it (`AIChannel/MacAIChannelBinding`) and the application or a test
// hands the session a factory for it. The session calls it on its strand only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class AIAccountLoginContext;

// The manager a session registered with.
struct ManagerEndpoint {
  std::string host;
  std::uint16_t port = 0;
  std::string userID;
  std::uint16_t connectionNumber = 0;
};

class DevelopmentChannel {
 public:
  virtual ~DevelopmentChannel() = default;

  // True for a basic-frame payload meant for the channel.
  virtual bool owns(ByteView payload) const = 0;
  // For an authenticated session: "mcp_disabled", "mcp_connected_existing_manager" or
  // "mcp_account_login_required".
  virtual std::string status() const = 0;
  // A new connection begins: the channel answers nothing until `bind` (its configuration is
  // read anew when it can be).
  virtual void reset() = 0;
  // The session registered with `manager`: the channel takes the account's lease for it and
  // returns its greeting, if it has one.
  virtual std::optional<Bytes> bind(ManagerEndpoint manager) = 0;
  // The held lease is no longer valid (disconnect, failure, another account context).
  virtual void invalidateLease() = 0;
  // The account context used at the next `bind`.
  virtual void setAccountContext(std::shared_ptr<AIAccountLoginContext> context) = 0;
  // Serves one request of the manager; the answer to send, if any.
  virtual Awaitable<std::optional<Bytes>> handle(Bytes payload) = 0;
  // The paired secure session beside the channel, where there is one: started for a registered
  // manager, stopped when the session ends. Without one both do nothing.
  virtual bool hasSecureSession() const = 0;
  virtual Awaitable<void> startSecureSession(ManagerEndpoint manager) = 0;
  virtual Awaitable<void> stopSecureSession() = 0;
};

using DevelopmentChannelFactory = std::function<std::shared_ptr<DevelopmentChannel>()>;

// A channel that is always disabled: owns nothing, answers nothing, has no secure session.
std::shared_ptr<DevelopmentChannel> makeDisabledDevelopmentChannel();

}  // namespace vantrel
