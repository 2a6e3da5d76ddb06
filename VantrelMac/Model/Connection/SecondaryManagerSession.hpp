#pragma once

// One further manager of the account, served by a session of its own: it connects to the first
// of its endpoints that answers (3 s each), watches the session every second while it is
// authenticated, and backs off (2, 5, 10, 20, 30 s) after every pass in which no endpoint
// answered; a lost session starts a new pass at once. Every third failed pass in a row it asks
// its owner for fresh routes.

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "Model/Connection/ManagerConnection.hpp"
#include "Model/Connection/ManagerSessionClient.hpp"
#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Support/Async.hpp"

namespace vantrel {

class SecondaryManagerSession : public std::enable_shared_from_this<SecondaryManagerSession> {
 public:
  using RepeatedFailureHandler = std::function<void(int managerIndex)>;

  static constexpr std::chrono::seconds authenticationTimeout{3};
  static constexpr std::chrono::seconds supervisionInterval{1};

  // The session runs on a strand of `executor`; nothing starts before `start`.
  static std::shared_ptr<SecondaryManagerSession> create(Executor executor, int managerIndex,
                                                         std::shared_ptr<ManagerSessionClient> client,
                                                         std::vector<DirectConnectionSettings> candidates);
  ~SecondaryManagerSession();
  SecondaryManagerSession(const SecondaryManagerSession&) = delete;
  SecondaryManagerSession& operator=(const SecondaryManagerSession&) = delete;

  int managerIndex() const noexcept { return managerIndex_; }
  const std::shared_ptr<ManagerSessionClient>& client() const noexcept { return client_; }
  const std::vector<DirectConnectionSettings>& candidates() const noexcept { return candidates_; }

  // Starts the supervision loop once (a session without candidates never starts). The handler
  // is called on the session's strand.
  void start(RepeatedFailureHandler onRepeatedFailure);
  // Cancels the loop, then closes the session. A stopped session never starts again.
  Awaitable<void> stop();
  // Cancels the loop without waiting and closes the session in a task that holds the client and
  // `closing` until the session is closed.
  void stopDetached(std::shared_ptr<void> closing = nullptr);

 private:
  SecondaryManagerSession(Executor executor, int managerIndex, std::shared_ptr<ManagerSessionClient> client,
                          std::vector<DirectConnectionSettings> candidates);
  // `closing` is held until the session is closed.
  static Awaitable<void> stopBody(std::shared_ptr<SecondaryManagerSession> self,
                                  std::shared_ptr<void> closing = nullptr);

  const Strand strand_;
  const int managerIndex_;
  const std::shared_ptr<ManagerSessionClient> client_;
  const std::vector<DirectConnectionSettings> candidates_;
  std::shared_ptr<ManagerConnection> connection_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace vantrel
