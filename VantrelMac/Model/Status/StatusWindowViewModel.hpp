#pragma once

// The orchestrating model of the interactive application. It holds the one status state the
// window reads, keeps the two forms, the diagnostics log, the displays and the permissions, and
// wires the account's sign-in (`AccountSignIn`) to the managers' connections: the primary
// manager's cycles with reconnect and recovery, the secondary managers and the 0.5 s poll of the
// connection state. It knows no toolkit: it runs on the main executor it is given (Qt's in the
// application, an io_context in tests), and views observe it through one change signal.
//
// Every member must be called on the main executor (checked in debug builds). Long work runs in
// tasks that hold the model weakly; a task that is cancelled, or finds the model gone, ends
// without effect.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/Connection/AccountSignIn.hpp"
#include "Model/Connection/AsyncLatch.hpp"
#include "Model/Connection/ManagerConnection.hpp"
#include "Model/Connection/SecondaryManagers.hpp"
#include "Model/Status/StatusEnvironment.hpp"
#include "Model/Status/StatusViewPort.hpp"
#include "Support/ExecutorCheck.hpp"

namespace vantrel {

class StatusWindowViewModel final : public StatusViewPort,
                                    private AccountSignIn::Owner,
                                    public std::enable_shared_from_this<StatusWindowViewModel> {
 public:
  static constexpr std::chrono::seconds endpointTimeout{5};
  static constexpr std::chrono::milliseconds statePollInterval{500};
  static constexpr std::chrono::seconds permissionPollInterval{2};

  // Builds the model in the fixed construction order: loads the forms and the route cache,
  // builds the primary client; opens nothing and starts no task.
  static std::shared_ptr<StatusWindowViewModel> create(StatusEnvironment environment);
  // Cancels every task slot and timer and stops the secondary sessions; nothing of the model
  // runs afterwards.
  ~StatusWindowViewModel() override;
  StatusWindowViewModel(const StatusWindowViewModel&) = delete;
  StatusWindowViewModel& operator=(const StatusWindowViewModel&) = delete;

  // ---- StatusViewPort ----
  const StatusViewState& state() const override { return state_; }
  Subscription subscribe(std::function<void()> onChange) override;
  void setText(StatusFormField field, const std::string& value) override;
  void setRememberAccountID(bool value) override;
  // Once per model; a second call does nothing.
  void start() override;
  // Schedules the disconnections and returns; the model does not start again afterwards.
  void stop() override;
  bool hasClosingSessions() const override;
  // The Refresh button: runs `displayRefresh()` in a task of its own.
  void refreshDisplays() override;
  void loginAndConnect() override {
    VANTREL_EXPECT_ON(environment_.mainExecutor);
    signIn_->loginAndConnect();
  }
  void connect() override;
  void disconnect() override;
  void copyDiagnosticLog() override;
  // Empties the list, then renews the scroll token (the log file keeps its lines).
  void clearDiagnosticLog() override;
  void persistAccountLoginSettings() override {
    VANTREL_EXPECT_ON(environment_.mainExecutor);
    signIn_->persistAccountLoginSettings();
  }
  void persistConnectionSettings() override;
  void requestScreenRecording() override;
  // Asks, then republishes the permissions at once.
  void requestAccessibility() override;
  // The desktop has no settings pane: the request is logged and answered under the grant.
  void openScreenRecordingSettings() override;
  void openAccessibilitySettings() override;
  void requestStartupAutomaticLogin() override;

  // Lists the displays and the permissions again.
  Awaitable<void> displayRefresh();
  void appendDiagnostic(const std::string& text) override;
  void appendDiagnostic(const std::string& text, std::chrono::system_clock::time_point timestamp);

  // ---- observation for the application and tests ----
  const AccountSignIn& signIn() const noexcept { return *signIn_; }
  const ManagerConnection& primaryConnection() const noexcept { return *primary_; }
  const SecondaryManagers& secondaries() const noexcept { return *secondaries_; }
  bool isStatePollRunning() const { return statePollTask_.isRunning(); }
  bool isPermissionPollRunning() const { return pollTask_.isRunning(); }
  // True while any task of a slot, or the credential read, is still running.
  bool hasRunningSlotTask() const;

 private:
  explicit StatusWindowViewModel(StatusEnvironment environment);
  void construct();
  // The note a grant's button leaves under the grant.
  std::string permissionButtonAnswer();

  // Derives the state's values and tells every subscriber.
  void changed() override;
  StatusViewState& status() override { return state_; }
  std::chrono::system_clock::time_point now() const { return environment_.now(); }
  void setPermissions(PermissionSnapshot value);

  // sign-in → connections
  void connectPrimary(std::vector<DirectConnectionSettings> candidates, std::string reason, bool showFirst,
                      bool saveFirst) override;
  void keepPrimaryEndpoints(std::vector<DirectConnectionSettings> candidates) override;
  Awaitable<void> connectSecondaries(std::vector<AccountManagerRoute> routes, int primaryIndex,
                                     std::string accountID, std::uint16_t connectionNumber) override;
  static Awaitable<void> startupDecision(std::weak_ptr<StatusWindowViewModel> weak, bool explain);

  // connections (StatusWindowViewModelConnections.cpp)
  std::shared_ptr<ManagerConnection> makePrimaryConnection();
  // The one writer of the primary's connection state, error and busy flag.
  void setConnection(DirectAuthState state, std::optional<std::string> error, bool busy);
  // What the primary's connection reports becomes the published state and diagnostics lines.
  void applyPrimaryStatus(const ConnectionStatus& status);
  void recoverConnection(std::string reason);
  void applyConnectionSettings(const DirectConnectionSettings& settings, bool persist);
  static Awaitable<void> installAuthEventHandlerIfNeeded(std::weak_ptr<StatusWindowViewModel> weak);
  // A manager's clipboard goes to the bridge while the model lives.
  ManagerSessionClient::ClipboardHandler clipboardHandler();
  void handleAuthEvent(const DirectAuthEvent& event);
  static Awaitable<void> statePoll(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token);

  // displays and permissions (StatusWindowViewModel.cpp)
  static Awaitable<void> permissionPoll(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token);
  static Awaitable<void> displayRefreshBody(std::weak_ptr<StatusWindowViewModel> weak);

  StatusEnvironment environment_;
  // The one status state the window reads.
  StatusViewState state_;
  std::vector<std::weak_ptr<std::function<void()>>> subscribers_;
  // The log's sinks (system log, file) and its copy text; the state holds its lines.
  DiagnosticLog diagnosticLog_;

  std::shared_ptr<ManagerSessionClient> authClient_;
  bool displaySleepHeld_ = false;
  // Held by the closings the last `stop()` started, until their sessions have closed.
  std::weak_ptr<void> closing_;
  // The primary manager's connection cycle, back-off and recovery over `authClient_`.
  std::shared_ptr<ManagerConnection> primary_;
  TaskSlot pollTask_;
  TaskSlot statePollTask_;
  bool disconnectWasRequested_ = false;
  std::shared_ptr<ConnectionRecoveryMonitoring> recoveryMonitor_;
  std::shared_ptr<SecondaryManagers> secondaries_;
  bool hasStarted_ = false;
  // Set once the primary client's handlers are installed; none before the first wait for them.
  std::shared_ptr<AsyncLatch> eventHandlersReady_;
  // Declared last, destroyed first: its tasks end before the model's members go.
  std::shared_ptr<AccountSignIn> signIn_;
};

}  // namespace vantrel
