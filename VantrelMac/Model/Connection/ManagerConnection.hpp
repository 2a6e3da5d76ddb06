#pragma once

// One connection to one manager: a session client, its endpoints, and the cycle that keeps the
// session up. A pass tries the endpoints in order, each with the policy's time-out; a session
// that authenticates is watched (or, without a watch interval, its owner reports its end); a pass
// in which no endpoint answered, and a lost session, are retried after a pause from the policy
// (the back-off table or a fixed delay). A recovery signal closes the session and starts over at
// once. Every change goes out as one `ConnectionStatus` through one callback.
//
// Every member is called on the executor the connection was made with, and the callback runs
// there. Nothing is published after `stop()`, nor by a cycle that a newer call replaced.

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/Connection/AsyncLatch.hpp"
#include "Model/Connection/ManagerSessionClient.hpp"
#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Support/Async.hpp"
#include "Support/Clock.hpp"

namespace vantrel {

struct ConnectionPolicy {
  enum class Retry { backoff, fixed };
  // Each endpoint's connect-and-authenticate.
  VantrelClock::duration timeout{};
  // How often an authenticated session is looked at; none: the owner reports its end
  // (`sessionEnded`).
  std::optional<VantrelClock::duration> watchInterval;
  Retry retry = Retry::backoff;
  // The pause of `Retry::fixed`.
  VantrelClock::duration fixedDelay{};
  // A session that ends after it authenticated starts a new pass at once instead of pausing.
  bool retryAtOnceAfterLoss = false;

  // The pause before the next pass after `failures` failures in a row.
  VantrelClock::duration delayAfter(int failures) const noexcept;
};

struct ConnectionStatus {
  enum class Phase {
    started,    // a cycle began (`reason`, `endpointCount`)
    trying,     // endpoint `endpointIndex` of `endpointCount` is being tried
    connected,  // `endpoint` answered; `state` is the session's
    failed,     // no endpoint answered (`error`: the last one's); `attempt` failures in a row
    waiting,    // the next pass starts in `retryIn` (`attempt`: the back-off position)
    closed,     // `close()` ended; `state` is the session's
  };
  Phase phase = Phase::started;
  DirectAuthState state = DirectAuthState::idle;
  std::optional<std::string> error;
  std::optional<DirectConnectionSettings> endpoint;
  std::size_t endpointIndex = 0;  // 1-based
  std::size_t endpointCount = 0;
  int attempt = 0;
  VantrelClock::duration retryIn{};
  std::string reason;
};

class ManagerConnection : public std::enable_shared_from_this<ManagerConnection> {
 public:
  struct Target {
    std::shared_ptr<ManagerSessionClient> client;
    std::vector<DirectConnectionSettings> endpoints;
  };
  using StatusHandler = std::function<void(const ConnectionStatus&)>;
  // Runs before every pass: gives a new target (a new session each pass), or none to keep the
  // current one. An error fails the pass with that error.
  using Prepare = std::function<Awaitable<std::optional<Target>>()>;

  // The back-off table: 2, 5, 10, 20, 30 s after the 1st … 5th failure in a row, then 30 s.
  static VantrelClock::duration backoffDelay(int failures) noexcept;
  // The reason of the cycles that follow a pause.
  static constexpr std::string_view automaticReason = "automatic reconnect";

  static std::shared_ptr<ManagerConnection> create(Executor executor, ConnectionPolicy policy, Target target,
                                                   StatusHandler onStatus, Prepare prepare = {});
  ~ManagerConnection();
  ManagerConnection(const ManagerConnection&) = delete;
  ManagerConnection& operator=(const ManagerConnection&) = delete;

  // Replaces whatever runs by a new cycle over `endpoints` (it waits for the replaced cycle to
  // let go of the client); publishes `started` before it returns.
  void start(std::vector<DirectConnectionSettings> endpoints, std::string reason);
  // The endpoints of the next cycle that follows a pause or a recovery.
  void setEndpoints(std::vector<DirectConnectionSettings> endpoints);
  // The owner saw the session end: pause, then a new cycle. Ignored while a cycle or pause runs,
  // after `close()` and `stop()`, and without endpoints. While a recovery closes the session the
  // pause is counted and announced, but the recovery's own cycle follows instead.
  void sessionEnded();
  // Closes the session (not cut short), then starts a new cycle over the endpoints of that
  // moment. The back-off position stays: only a session that authenticates resets it.
  void recover(std::string reason);
  // Ends the cycle or pause and closes the session (not cut short); publishes `closed`.
  // Forgets the endpoints.
  void close();
  // Ends the cycle or pause; publishes nothing from now on and never starts again. The session
  // is left as it is.
  void stop();
  // Returns once the last task has finished (at once when none runs).
  Awaitable<void> finished();

  const std::shared_ptr<ManagerSessionClient>& client() const noexcept { return target_.client; }
  const std::vector<DirectConnectionSettings>& endpoints() const noexcept { return target_.endpoints; }
  // Failures in a row since the last session that authenticated.
  int failures() const noexcept { return failures_; }
  bool isRunning() const { return task_.isRunning(); }
  bool isWaiting() const { return task_.isRunning() && waiting_; }
  // The error that an attempt or watch cut short by `stop()` ended with, if it was cut short.
  std::exception_ptr interruption() const noexcept { return interruption_; }

 private:
  enum class Opening { pass, pause, close, recover };
  ManagerConnection(Executor executor, ConnectionPolicy policy, Target target, StatusHandler onStatus,
                    Prepare prepare);
  void launch(Opening opening, std::vector<DirectConnectionSettings> endpoints, std::string reason);
  // Publishes unless stopped or superseded; false when the caller must end.
  bool publish(const TaskTokenPtr& token, ConnectionStatus status);
  static Awaitable<void> run(std::weak_ptr<ManagerConnection> weak, TaskTokenPtr token,
                             std::shared_ptr<AsyncLatch> previous, Opening opening,
                             std::vector<DirectConnectionSettings> endpoints, std::string reason);
  // How a pass ended: the task is over (cut short, or connected without a watch), a watched
  // session was lost, or no endpoint answered.
  enum class PassEnd { over, lost, failed };
  static Awaitable<PassEnd> pass(std::weak_ptr<ManagerConnection> weak, TaskTokenPtr token,
                                 std::vector<DirectConnectionSettings> endpoints);
  static Awaitable<void> closeSession(std::shared_ptr<ManagerSessionClient> client);

  const Executor executor_;
  const ConnectionPolicy policy_;
  const StatusHandler onStatus_;
  const Prepare prepare_;
  Target target_;
  TaskSlot task_;
  std::shared_ptr<AsyncLatch> taskDone_;
  int failures_ = 0;
  bool waiting_ = false;
  // The task is closing the session (a recovery before its cycle, or `close()`).
  bool closing_ = false;
  bool closed_ = false;
  bool stopped_ = false;
  std::exception_ptr interruption_;
};

}  // namespace vantrel
