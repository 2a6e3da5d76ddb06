#pragma once

// The account's sign-in: the interactive login, the automatic login with the saved password and
// its 5-second retry, saving the login form and the password, and the silent re-sign-in that
// fetches fresh manager routes. What it yields (the routes, the assigned slot, the account
// context) goes to its owner, the status model, which connects the managers.
//
// Every member runs on the main executor. Long work runs in tasks that hold the sign-in weakly; a
// task that is cancelled, or finds the sign-in gone, ends without effect.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Model/Connection/AsyncLatch.hpp"
#include "Model/Status/StatusEnvironment.hpp"
#include "Model/Status/StatusViewPort.hpp"
#include "Support/Outcome.hpp"

namespace vantrel {

class AccountSignIn : public std::enable_shared_from_this<AccountSignIn> {
 public:
  static constexpr std::chrono::seconds automaticLoginRetryDelay{5};
  static constexpr std::chrono::seconds routeRefreshInterval{30};
  static constexpr std::string_view loginVersion = "VantrelMac-0.2";
  // The login status while no login is running or has succeeded.
  static constexpr std::string_view idleAccountLoginStatus = "Not signed in";

  // What the sign-in asks of the status model that owns it (and outlives it).
  class Owner {
   public:
    virtual ~Owner() = default;
    // The one status state: the sign-in edits the login fields in place, then calls `changed`.
    virtual StatusViewState& status() = 0;
    virtual void changed() = 0;
    virtual void appendDiagnostic(const std::string& text) = 0;
    // Starts a connection cycle of the primary over `candidates`; with `showFirst` the form shows
    // the first one first (saved when `saveFirst`).
    virtual void connectPrimary(std::vector<DirectConnectionSettings> candidates, std::string reason,
                                bool showFirst, bool saveFirst) = 0;
    // Keeps `candidates` as the primary's endpoints for its next cycle without starting one.
    virtual void keepPrimaryEndpoints(std::vector<DirectConnectionSettings> candidates) = 0;
    // One session for every route but `primaryIndex`'s, replacing the previous ones.
    virtual Awaitable<void> connectSecondaries(std::vector<AccountManagerRoute> routes, int primaryIndex,
                                               std::string accountID, std::uint16_t connectionNumber) = 0;
    // The direct-connection form's Connect.
    virtual void connect() = 0;
  };

  // Loads the login form (and the route cache of the same account) into the owner's state.
  static std::shared_ptr<AccountSignIn> create(const StatusEnvironment& environment,
                                               std::shared_ptr<ManagerSessionClient> primary, Owner& owner);
  AccountSignIn(const AccountSignIn&) = delete;
  AccountSignIn& operator=(const AccountSignIn&) = delete;

  // The login button.
  void loginAndConnect();
  // Saves the login form; without AUTO LOGIN also removes the saved password.
  void persistAccountLoginSettings();
  // Records a start-up login intent; true when the automatic login should be decided now.
  bool acceptStartupIntent();
  // Starts the automatic login when AUTO LOGIN, an account and a start-up intent allow it; with
  // `explain` the reason for not starting is logged.
  void decideAutomaticLogin(bool explain);
  // A secondary manager stays unreachable: signs in again silently for fresh routes (at most
  // every 30 s, and only while a session password is held).
  void refreshRoutes(int failedManagerIndex);
  // The user's Disconnect or the model's stop: a running automatic login, its retry, the saved
  // password read and a route refresh end without effect, the session password is forgotten; with
  // `revokeContext` the account context is revoked too.
  void endSession(bool revokeContext);

  // Builds a login request as the interactive form or the automatic login does.
  AccountLoginRequest makeLoginRequest(std::string accountID, std::string password,
                                       std::optional<int> requestedSlot) const;
  // A client number the server may assign: 1…65536.
  static bool isValidSlot(int slot) noexcept { return slot >= 1 && slot <= 65536; }
  // The endpoints of a route, in order, for the given user and connection number.
  static std::vector<DirectConnectionSettings> candidatesFor(const AccountManagerRoute& route,
                                                             const std::string& userID,
                                                             std::uint16_t connectionNumber);
  // The interactive client-number rule: 0…65536 after trimming, else none.
  static std::optional<int> parseInteractiveClientNumber(std::string_view text);
  // The automatic rule: none for empty, unparsable, 0 or less; otherwise the number.
  static std::optional<int> parseAutomaticClientNumber(std::string_view text);

  // ---- what the sign-in yields, for the owner and tests ----
  const std::shared_ptr<AIAccountLoginContext>& accountContext() const noexcept { return context_; }
  int primaryManagerIndex() const noexcept { return primaryManagerIndex_; }
  std::optional<int> assignedSlot() const noexcept { return assignedSlot_; }
  const std::optional<ManagerRouteCache>& routeCache() const noexcept { return routeCache_; }
  bool hasSessionPassword() const noexcept { return !sessionPassword_.empty(); }
  bool automaticLoginRequested() const noexcept { return automaticLoginRequested_; }
  bool isRetryPending() const { return retryTask_.isRunning(); }
  bool isRouteRefreshRunning() const { return refreshTask_.isRunning(); }
  bool hasRunningTask() const;

 private:
  AccountSignIn(const StatusEnvironment& environment, std::shared_ptr<ManagerSessionClient> primary,
                Owner& owner);
  void load();
  StatusViewState& state() { return owner_.status(); }

  // The login server's answer, with the primary client of that moment.
  struct LoginAnswer {
    std::shared_ptr<ManagerSessionClient> client;
    Outcome<AccountLoginResult> result;
  };
  // None when the sign-in was gone before the call.
  static Awaitable<std::optional<LoginAnswer>> askLoginServer(std::weak_ptr<AccountSignIn> weak,
                                                              AccountLoginRequest request);
  void begin(AccountLoginRequest request, bool automatic);
  static Awaitable<void> loginTask(std::weak_ptr<AccountSignIn> weak, AccountLoginRequest request,
                                   bool automatic, std::uint64_t epoch);
  void abandonSupersededLogin();
  void signedIn(const AccountLoginRequest& request, const AccountLoginResult& result, bool withRoute);
  void handleLoginFailure(const std::string& message, bool automatic);
  void persistCredential(std::optional<std::string> password, std::string accountID);
  void attemptSavedLoginOnce();
  static Awaitable<void> savedPasswordRead(std::weak_ptr<AccountSignIn> weak, TaskTokenPtr token,
                                           std::string account);
  void scheduleRetry();
  void attemptAutoConnectOnce();
  static Awaitable<void> routeRefresh(std::weak_ptr<AccountSignIn> weak, TaskTokenPtr token,
                                      AccountLoginRequest request);
  void saveRouteCache(const AccountLoginResult& result, int primaryIndex);

  Executor main_;
  std::shared_ptr<AccountLoginServicing> service_;
  std::shared_ptr<AccountCredentialStoring> store_;
  std::shared_ptr<UserDefaults> defaults_;
  std::shared_ptr<HostInformation> host_;
  std::shared_ptr<ManagerSessionClient> primary_;
  Owner& owner_;

  std::uint64_t serial_ = 0;
  std::string installationMAC_;
  // The account context of the signed-in session, handed to the primary and every secondary.
  std::shared_ptr<AIAccountLoginContext> context_;
  int primaryManagerIndex_ = 1;
  std::optional<int> assignedSlot_;
  std::optional<ManagerRouteCache> routeCache_;
  // The password of the signed-in session, kept for the route refresh.
  std::string sessionPassword_;
  std::optional<VantrelClock::time_point> lastRouteRefresh_;
  bool didAttemptAutoConnect_ = false;
  bool didAttemptSavedLogin_ = false;
  bool automaticLoginRequested_ = false;
  // Bumped by `endSession`: an automatic login or refresh that started before applies nothing.
  std::uint64_t sessionEpoch_ = 0;
  // Chained saves and deletions of the saved password: each waits for the one before.
  std::shared_ptr<AsyncLatch> credentialPersistenceDone_;
  TaskSlot retryTask_;
  TaskSlot passwordReadTask_;
  TaskSlot refreshTask_;
};

}  // namespace vantrel
