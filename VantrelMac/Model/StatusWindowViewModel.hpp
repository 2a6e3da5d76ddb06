#pragma once

// The orchestrating model of the interactive application: the login form, automatic login, the
// primary manager's connection cycles with reconnect and recovery, the secondary managers, the
// connection-state poll, the diagnostics log, the displays and the permissions. It knows no
// toolkit: it runs on the main executor it is given (Qt's in the application, an io_context in
// tests), and views observe it through one change signal and call its operations.
//
// Every member must be called on the main executor. Long work runs in tasks that hold the model
// weakly; a task that is cancelled, or finds the model gone, ends without effect.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/ManagerConnection.hpp"
#include "Model/SecondaryManagerSession.hpp"
#include "Model/StatusEnvironment.hpp"
#include "Model/StatusWindowViewModelTasks.hpp"
#include "Support/Uuid.hpp"

namespace vantrel {

class StatusWindowViewModel : public std::enable_shared_from_this<StatusWindowViewModel> {
 public:
  // The published fields, in declaration order. The change signal names the field that changed,
  // after it changed; a set notifies even when the value is the same (the permission poll
  // republishes every 2 s).
  enum class Field {
    permissions,
    displays,
    displayError,
    isRefreshingDisplays,
    lastRefresh,
    accountID,
    accountPassword,
    requestedClientNumberText,
    setupName,
    rememberAccountID,
    accountLoginStatus,
    accountLoginError,
    isAccountLoginBusy,
    isAccountAuthenticated,
    managerHost,
    managerPortText,
    userID,
    managerSlotText,
    connectionState,
    connectionError,
    isConnectionBusy,
    managerConnectionsLabel,
    diagnosticLog,
    diagnosticLogScrollToken,
  };
  using ChangeHandler = std::function<void(Field)>;

  static constexpr std::size_t diagnosticLogLimit = 300;
  static constexpr std::chrono::seconds endpointTimeout{5};
  static constexpr std::chrono::milliseconds statePollInterval{500};
  static constexpr std::chrono::seconds permissionPollInterval{2};
  static constexpr std::chrono::seconds automaticLoginRetryDelay{5};
  static constexpr std::chrono::seconds routeRefreshInterval{30};
  static constexpr std::string_view loginVersion = "VantrelMac-0.2";
  // The login status while no login is running or has succeeded.
  static constexpr std::string_view idleAccountLoginStatus = "Not signed in";

  // Builds the model in the fixed construction order: loads the forms and the route cache,
  // builds the primary client; opens nothing and starts no task.
  static std::shared_ptr<StatusWindowViewModel> create(StatusEnvironment environment);
  // Cancels every task slot and timer and stops the secondary sessions; nothing of the model
  // runs afterwards.
  ~StatusWindowViewModel();
  StatusWindowViewModel(const StatusWindowViewModel&) = delete;
  StatusWindowViewModel& operator=(const StatusWindowViewModel&) = delete;

  // ---- change signal ----
  std::uint64_t subscribe(ChangeHandler handler) { return changes_.subscribe(std::move(handler)); }
  void unsubscribe(std::uint64_t id) { changes_.unsubscribe(id); }

  // ---- published fields (getters; setters below for what the views edit) ----
  const PermissionSnapshot& permissions() const noexcept { return permissions_; }
  const std::vector<DisplayInfo>& displays() const noexcept { return displays_; }
  const std::optional<std::string>& displayError() const noexcept { return displayError_; }
  bool isRefreshingDisplays() const noexcept { return isRefreshingDisplays_; }
  const std::optional<std::chrono::system_clock::time_point>& lastRefresh() const noexcept {
    return lastRefresh_;
  }
  const std::string& accountID() const noexcept { return accountID_; }
  const std::string& accountPassword() const noexcept { return accountPassword_; }
  const std::string& requestedClientNumberText() const noexcept { return requestedClientNumberText_; }
  const std::string& setupName() const noexcept { return setupName_; }
  bool rememberAccountID() const noexcept { return rememberAccountID_; }
  const std::string& accountLoginStatus() const noexcept { return accountLoginStatus_; }
  const std::optional<std::string>& accountLoginError() const noexcept { return accountLoginError_; }
  bool isAccountLoginBusy() const noexcept { return isAccountLoginBusy_; }
  bool isAccountAuthenticated() const noexcept { return isAccountAuthenticated_; }
  const std::string& managerHost() const noexcept { return managerHost_; }
  const std::string& managerPortText() const noexcept { return managerPortText_; }
  const std::string& userID() const noexcept { return userID_; }
  const std::string& managerSlotText() const noexcept { return managerSlotText_; }
  DirectAuthState connectionState() const noexcept { return connectionState_; }
  const std::optional<std::string>& connectionError() const noexcept { return connectionError_; }
  bool isConnectionBusy() const noexcept { return isConnectionBusy_; }
  const std::string& managerConnectionsLabel() const noexcept { return managerConnectionsLabel_; }
  // Oldest first, at most 300.
  const std::deque<DiagnosticLogEntry>& diagnosticLog() const noexcept { return diagnosticLog_.entries(); }
  const Uuid& diagnosticLogScrollToken() const noexcept { return diagnosticLog_.scrollToken(); }

  void setPermissions(PermissionSnapshot value);
  void setDisplays(std::vector<DisplayInfo> value);
  void setDisplayError(std::optional<std::string> value);
  void setIsRefreshingDisplays(bool value);
  void setLastRefresh(std::optional<std::chrono::system_clock::time_point> value);
  void setAccountID(std::string value);
  void setAccountPassword(std::string value);
  void setRequestedClientNumberText(std::string value);
  void setSetupName(std::string value);
  void setRememberAccountID(bool value);
  void setAccountLoginStatus(std::string value);
  void setAccountLoginError(std::optional<std::string> value);
  void setIsAccountLoginBusy(bool value);
  void setIsAccountAuthenticated(bool value);
  void setManagerHost(std::string value);
  void setManagerPortText(std::string value);
  void setUserID(std::string value);
  void setManagerSlotText(std::string value);
  void setConnectionState(DirectAuthState value);
  void setConnectionError(std::optional<std::string> value);
  void setIsConnectionBusy(bool value);
  void setManagerConnectionsLabel(std::string value);
  // The diagnostics view's Clear: empties the list, then renews the scroll token (the log file
  // keeps its lines).
  void clearDiagnosticLog();

  // ---- derived values ----
  std::string connectionStateLabel() const;
  bool canAccountLogin() const;
  bool canConnect() const;
  bool canDisconnect() const;
  std::string displayCountLabel() const;

  // ---- lifecycle ----
  // Once per model; a second call does nothing.
  void start();
  // Schedules the disconnections and returns; the model does not start again afterwards.
  void stop();

  // ---- account login ----
  void loginAndConnect();
  void persistAccountLoginSettings();
  void requestStartupAutomaticLogin();

  // ---- connection ----
  void connect();
  void disconnect();
  void persistConnectionSettings();

  // ---- diagnostics ----
  void appendDiagnostic(const std::string& text);
  void appendDiagnostic(const std::string& text, std::chrono::system_clock::time_point timestamp);
  void copyDiagnosticLog();

  // ---- displays and permissions ----
  Awaitable<void> refreshDisplays();
  // The Refresh button: runs `refreshDisplays()` in a task of its own.
  void startDisplayRefresh();
  void requestScreenRecording();
  // The Accessibility row's request: asks, then republishes the permissions at once.
  void requestAccessibilityAccess();
  void openScreenRecordingSettings();
  void openAccessibilitySettings();

  // ---- observation for the application and tests ----
  const std::shared_ptr<ManagerSessionClient>& authClient() const noexcept { return authClient_; }
  // The managers served by secondary sessions, ascending.
  std::vector<int> secondaryManagerIndices() const;
  std::shared_ptr<SecondaryManagerSession> secondaryManagerSession(int managerIndex) const;
  int primaryManagerIndex() const noexcept { return primaryManagerIndex_; }
  const std::vector<DirectConnectionSettings>& routeCandidates() const noexcept {
    return primary_->endpoints();
  }
  int reconnectAttempt() const noexcept { return primary_->failures(); }
  bool disconnectWasRequested() const noexcept { return disconnectWasRequested_; }
  const std::optional<ManagerRouteCache>& managerRouteCache() const noexcept { return managerRouteCache_; }
  std::optional<int> sessionAssignedSlot() const noexcept { return sessionAssignedSlot_; }
  bool hasSessionPassword() const noexcept { return !sessionAccountPassword_.empty(); }
  std::shared_ptr<AIAccountLoginContext> accountAIContext() const { return accountAIContext_; }
  bool automaticLoginRequested() const noexcept { return automaticLoginRequested_; }
  bool isReconnectPending() const { return primary_->isWaiting(); }
  bool isAutomaticLoginRetryPending() const { return automaticLoginRetryTask_.isRunning(); }
  bool isRouteRefreshRunning() const { return routeRefreshTask_.isRunning(); }
  bool isConnectTaskRunning() const { return primary_->isRunning() && !primary_->isWaiting(); }
  bool isStatePollRunning() const { return statePollTask_.isRunning(); }
  bool isPermissionPollRunning() const { return pollTask_.isRunning(); }
  // True while any task of a slot, or the credential read, is still running.
  bool hasRunningSlotTask() const;

  // Builds a login request as the interactive form or the automatic login does (exposed so the
  // request rules can be checked on their own).
  AccountLoginRequest makeLoginRequest(std::string accountID, std::string password,
                                       std::optional<int> requestedSlot) const;
  // The interactive client-number rule: 0…65536 after trimming, else none.
  static std::optional<int> parseInteractiveClientNumber(std::string_view text);
  // The automatic rule: none for empty, unparsable, 0 or less; otherwise the number.
  static std::optional<int> parseAutomaticClientNumber(std::string_view text);

 private:
  explicit StatusWindowViewModel(StatusEnvironment environment);
  void construct();
  void loadConnectionSettings();

  void notify(Field field) const { changes_.notify(field); }
  std::chrono::system_clock::time_point now() const { return environment_.now(); }

  // account login (StatusWindowViewModelLogin.cpp)
  struct LoginAnswer {
    std::shared_ptr<ManagerSessionClient> client;  // none: the model was gone before the call
    std::optional<AccountLoginResult> result;
    std::exception_ptr failure;
  };
  static Awaitable<LoginAnswer> askLoginServer(std::weak_ptr<StatusWindowViewModel> weak,
                                               AccountLoginRequest request);
  void beginAccountLogin(AccountLoginRequest request, bool automatic);
  static Awaitable<void> loginTask(std::weak_ptr<StatusWindowViewModel> weak, AccountLoginRequest request,
                                   bool automatic, std::uint64_t epoch);
  void abandonSupersededLogin();
  void handleLoginSuccess(const AccountLoginRequest& request, const AccountLoginResult& result,
                          const AccountManagerRoute& primary, std::uint16_t connectionNumber);
  void handleLoginWithoutRoute(const AccountLoginRequest& request, const AccountLoginResult& result);
  void handleLoginFailure(const std::string& message, bool automatic);
  void persistCredential(std::optional<std::string> password, std::string accountID);
  void attemptStoredAccountAutoLoginOnce();
  static Awaitable<void> storedCredentialRead(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
                                              std::string account);
  void scheduleAutomaticAccountLoginRetry();
  void attemptAutoConnectOnce();
  std::vector<DirectConnectionSettings> candidatesFor(const AccountManagerRoute& route,
                                                      const std::string& userID,
                                                      std::uint16_t connectionNumber) const;

  // connection (StatusWindowViewModelConnection.cpp)
  std::shared_ptr<ManagerConnection> makePrimaryConnection();
  void applyPrimaryStatus(const ConnectionStatus& status);
  void beginConnecting(std::vector<DirectConnectionSettings> candidates, std::string reason);
  // The session ended outside a cycle: the connection pauses, then starts over.
  void scheduleReconnect();
  void recoverConnection(std::string reason);
  void applyConnectionSettings(const DirectConnectionSettings& settings, bool persist);

  // secondary sessions and route refresh (StatusWindowViewModelSecondary.cpp)
  static Awaitable<void> configureSecondaryManagerSessions(std::weak_ptr<StatusWindowViewModel> weak,
                                                           std::vector<AccountManagerRoute> routes,
                                                           int primaryIndex, std::string userID,
                                                           std::uint16_t connectionNumber);
  void stopSecondarySessionsDetached();
  void requestServerRouteRefresh(int failedManagerIndex);
  static Awaitable<void> routeRefresh(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token,
                                      AccountLoginRequest request);
  void publishClipboardClients();

  // events, polls, diagnostics (StatusWindowViewModelEvents.cpp)
  static Awaitable<void> installAuthEventHandlerIfNeeded(std::weak_ptr<StatusWindowViewModel> weak);
  void handleAuthEvent(const DirectAuthEvent& event);
  void startConnectionStatePolling();
  static Awaitable<void> statePoll(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token);
  static Awaitable<void> permissionPoll(std::weak_ptr<StatusWindowViewModel> weak, TaskTokenPtr token);
  static Awaitable<void> startupDecision(std::weak_ptr<StatusWindowViewModel> weak);
  static Awaitable<void> installHandlers(std::weak_ptr<StatusWindowViewModel> weak,
                                         std::shared_ptr<ManagerSessionClient> client, Executor main,
                                         std::function<std::string()> pasteDestination);
  static Awaitable<void> refreshDisplaysBody(std::weak_ptr<StatusWindowViewModel> weak);

  StatusEnvironment environment_;
  ChangeSignal<Field> changes_;

  // published
  PermissionSnapshot permissions_;
  std::vector<DisplayInfo> displays_;
  std::optional<std::string> displayError_;
  bool isRefreshingDisplays_ = false;
  std::optional<std::chrono::system_clock::time_point> lastRefresh_;
  std::string accountID_;
  std::string accountPassword_;
  std::string requestedClientNumberText_ = "0";
  std::string setupName_ = "Mac";
  bool rememberAccountID_ = true;
  std::string accountLoginStatus_{idleAccountLoginStatus};
  std::optional<std::string> accountLoginError_;
  bool isAccountLoginBusy_ = false;
  bool isAccountAuthenticated_ = false;
  std::string managerHost_;
  std::string managerPortText_ = "65333";
  std::string userID_;
  std::string managerSlotText_ = "1";
  DirectAuthState connectionState_ = DirectAuthState::idle;
  std::optional<std::string> connectionError_;
  bool isConnectionBusy_ = false;
  std::string managerConnectionsLabel_ = "0/1 managers";
  DiagnosticLog diagnosticLog_;

  // private
  std::shared_ptr<ManagerSessionClient> authClient_;
  // The primary manager's connection cycle, back-off and recovery over `authClient_`.
  std::shared_ptr<ManagerConnection> primary_;
  std::shared_ptr<DisplaySleepPreventing> displaySleepPreventer_;
  bool displaySleepHeld_ = false;
  std::uint64_t accountLoginSerial_ = 0;
  std::string installationMAC_;
  TaskSlot pollTask_;
  TaskSlot statePollTask_;
  TaskSlot routeRefreshTask_;
  TaskSlot automaticLoginRetryTask_;
  TaskSlot storedCredentialReadTask_;
  // Chained saves and deletions of the saved password: each waits for the one before.
  std::shared_ptr<AsyncLatch> credentialPersistenceDone_;
  bool disconnectWasRequested_ = false;
  std::shared_ptr<ConnectionRecoveryMonitoring> recoveryMonitor_;
  std::map<int, std::shared_ptr<SecondaryManagerSession>> secondaryManagerSessions_;
  int primaryManagerIndex_ = 1;
  std::optional<ManagerRouteCache> managerRouteCache_;
  std::string sessionAccountPassword_;
  std::shared_ptr<AIAccountLoginContext> accountAIContext_;
  std::optional<int> sessionAssignedSlot_;
  std::optional<VantrelClock::time_point> lastRouteRefresh_;
  bool hasStarted_ = false;
  bool didAttemptAutoConnect_ = false;
  bool didAttemptAccountAutoLogin_ = false;
  bool automaticLoginRequested_ = false;
  // Installation of the primary client's handlers: none, running (waiters await the latch), done.
  bool eventHandlerInstalled_ = false;
  std::shared_ptr<AsyncLatch> eventHandlersReady_;
  // Bumped by every configuration of the secondary sessions, `disconnect()` and `stop()`: a
  // configuration that finds a newer one after an await stops what it built and returns.
  std::uint64_t secondaryGeneration_ = 0;
  // Bumped by `disconnect()` and `stop()`: an automatic login or refresh that started before
  // applies nothing.
  std::uint64_t sessionEpoch_ = 0;
};

}  // namespace vantrel
