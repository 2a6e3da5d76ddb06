#pragma once

// The sessions of the account's further managers: one `SecondaryManagerSession` for every route
// beside the primary's. A configuration replaces the sessions of the one before; a newer
// configuration or `stopAll()` stops whatever an older configuration is still building, so no
// session outlives them. Every member runs on the main executor.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/Connection/AccountSignIn.hpp"
#include "Model/Connection/SecondaryManagerSession.hpp"
#include "Model/Status/StatusEnvironment.hpp"

namespace vantrel {

// Installs a session's handlers on `main`: its events go to `onEvent`, the clipboard its manager
// sends to `onClipboard`, and files its manager pastes to the folder `pasteDestination` names.
Awaitable<void> installSessionHandlers(std::shared_ptr<ManagerSessionClient> client, Executor main,
                                       ManagerSessionClient::EventHandler onEvent,
                                       ManagerSessionClient::ClipboardHandler onClipboard,
                                       std::function<std::string()> pasteDestination);

class SecondaryManagers : public std::enable_shared_from_this<SecondaryManagers> {
 public:
  // What the sessions need of their owner (the status model); each is called on the main executor.
  struct Owner {
    // A diagnostics line, stamped now or at the time given.
    std::function<void(const std::string& text,
                       std::optional<std::chrono::system_clock::time_point> timestamp)>
        log;
    std::function<void(const LegacyClipboardValue&)> applyClipboard;
  };

  // A new session carries the sign-in's account context; a manager that stays unreachable makes
  // the sign-in fetch fresh routes.
  static std::shared_ptr<SecondaryManagers> create(const StatusEnvironment& environment,
                                                   std::shared_ptr<ManagerSessionClient> primary,
                                                   std::weak_ptr<AccountSignIn> signIn, Owner owner);
  // Stops every session, each closing in a task that holds its own client.
  ~SecondaryManagers();
  SecondaryManagers(const SecondaryManagers&) = delete;
  SecondaryManagers& operator=(const SecondaryManagers&) = delete;

  // One session for every route but `primaryIndex`'s, over the route's endpoints for `userID`
  // and `connectionNumber`; logs how many run.
  Awaitable<void> configure(std::vector<AccountManagerRoute> routes, int primaryIndex, std::string userID,
                            std::uint16_t connectionNumber);
  // Stops every session, and what a running configuration builds. Each session's closing holds
  // `closing` until it has ended.
  void stopAll(std::shared_ptr<void> closing = nullptr);

  // The managers served, ascending.
  std::vector<int> indices() const;
  std::shared_ptr<SecondaryManagerSession> session(int managerIndex) const;
  std::vector<std::shared_ptr<ManagerSessionClient>> clients() const;

 private:
  SecondaryManagers(const StatusEnvironment& environment, std::shared_ptr<ManagerSessionClient> primary,
                    std::weak_ptr<AccountSignIn> signIn, Owner owner);
  static Awaitable<void> configureBody(std::weak_ptr<SecondaryManagers> weak,
                                       std::vector<AccountManagerRoute> routes, int primaryIndex,
                                       std::string userID, std::uint16_t connectionNumber);

  Executor main_;
  Executor sessionExecutor_;
  std::shared_ptr<ManagerClientFactory> factory_;
  std::shared_ptr<ClipboardBridging> clipboardBridge_;
  std::function<std::string()> pasteDestination_;
  std::shared_ptr<ManagerSessionClient> primary_;
  std::weak_ptr<AccountSignIn> signIn_;
  Owner owner_;
  std::map<int, std::shared_ptr<SecondaryManagerSession>> sessions_;
  // Bumped by every configuration and `stopAll()`: a configuration that finds a newer one after
  // an await stops what it built and returns.
  std::uint64_t generation_ = 0;
};

}  // namespace vantrel
