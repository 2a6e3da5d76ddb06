#pragma once

// The collaborators of the status model, injected as one object: the application fills it with
// the real services (makeProductionStatusEnvironment), tests with fakes and a manual clock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AIChannel/AIAccountLoginContext.hpp"
#include "Account/AccountLoginService.hpp"
#include "Account/AccountLoginTypes.hpp"
#include "Input/AccessibilityInputService.hpp"
#include "Input/PermissionStatus.hpp"
#include "Model/ManagerSessionClient.hpp"
#include "Model/StatusEnvironmentSettings.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Screen/ScreenCaptureKitService.hpp"
#include "Support/Async.hpp"

namespace vantrel {

// Builds the sessions: the one primary client of the model and one per secondary manager.
class ManagerClientFactory {
 public:
  virtual ~ManagerClientFactory() = default;
  virtual std::shared_ptr<ManagerSessionClient> makePrimary() = 0;
  // A fresh session with its own transport, carrying the given account context (may be null).
  virtual std::shared_ptr<ManagerSessionClient> makeSecondary(
      std::shared_ptr<AIAccountLoginContext> context) = 0;
};

class AccountLoginServicing {
 public:
  virtual ~AccountLoginServicing() = default;
  // Throws `AccountLoginError` or a transport error.
  virtual Awaitable<AccountLoginResult> login(AccountLoginRequest request) = 0;
};

// `AccountLoginService` as a collaborator.
class AccountLoginServiceAdapter final : public AccountLoginServicing {
 public:
  explicit AccountLoginServiceAdapter(AccountLoginService service) : service_(std::move(service)) {}
  Awaitable<AccountLoginResult> login(AccountLoginRequest request) override {
    return service_.login(std::move(request));
  }

 private:
  AccountLoginService service_;
};

// The saved automatic-login passwords (AccountCredentialStore in the application).
class AccountCredentialStoring {
 public:
  virtual ~AccountCredentialStoring() = default;
  virtual Awaitable<std::optional<std::string>> passwordAsync(std::string account) = 0;
  virtual Awaitable<void> saveAsync(std::string password, std::string account) = 0;
  virtual Awaitable<void> deletePasswordAsync(std::string account) = 0;
};

// Screen-recording and accessibility grants (PermissionStatus in the application).
class PermissionProviding {
 public:
  virtual ~PermissionProviding() = default;
  virtual PermissionSnapshot snapshot() = 0;
  virtual bool requestScreenRecordingAccess() = 0;
  virtual void openScreenRecordingSettings() = 0;
  virtual void openAccessibilitySettings() = 0;
};

// The pasteboard mirror as the model drives it.
class StatusClipboardBridge {
 public:
  virtual ~StatusClipboardBridge() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
  // Local clipboard changes go to every client of the list, the primary first.
  virtual void setClients(std::vector<std::shared_ptr<ManagerSessionClient>> clients) = 0;
  // Writes a manager's clipboard value to the local pasteboard without echoing it back.
  virtual void applyRemote(const LegacyClipboardValue& value) = 0;
  // The folder that files pasted by a manager go to.
  virtual std::string currentPasteDestination() = 0;
  // Replaces the pasteboard's content with plain text (the diagnostics copy).
  virtual void setPlainText(const std::string& text) = 0;
};

// Reports "Network became available" and "Mac woke from sleep" until stopped.
class StatusRecoveryMonitor {
 public:
  virtual ~StatusRecoveryMonitor() = default;
  virtual void start(std::function<void(std::string reason)> callback) = 0;
  virtual void stop() = 0;
};

class StatusDisplaySleepPreventer {
 public:
  virtual ~StatusDisplaySleepPreventer() = default;
  virtual bool start() = 0;
  virtual void stop() = 0;
};

// Facts about this computer sent with every login.
class HostInformation {
 public:
  virtual ~HostInformation() = default;
  // The host's display name, none when it has none.
  virtual std::optional<std::string> localizedName() const = 0;
  // Every address of the host's interfaces, in the order the host lists them.
  virtual std::vector<std::string> addresses() const = 0;
};

// One diagnostic line leaves the model through this sink (system log and log file); the model
// keeps the in-memory list itself.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void write(const std::string& text, std::chrono::system_clock::time_point timestamp) = 0;
};

struct StatusEnvironment {
  // The main executor: every member of the model runs there.
  Executor mainExecutor;
  // Where the secondary sessions' supervision loops run (a strand each); the main executor when
  // left empty.
  Executor sessionExecutor;
  std::shared_ptr<ManagerClientFactory> clients;
  std::shared_ptr<AccountLoginServicing> loginService;
  std::shared_ptr<AccountCredentialStoring> credentialStore;
  std::shared_ptr<PermissionProviding> permissions;
  std::shared_ptr<ScreenCaptureProviding> captureService;
  std::shared_ptr<InputInjecting> inputService;
  std::shared_ptr<StatusClipboardBridge> clipboardBridge;
  // A new monitor for each start of the model.
  std::function<std::shared_ptr<StatusRecoveryMonitor>()> makeRecoveryMonitor;
  std::shared_ptr<StatusDisplaySleepPreventer> displaySleepPreventer;
  std::shared_ptr<HostInformation> host;
  std::shared_ptr<StatusSettingsStoring> settings;
  std::shared_ptr<DiagnosticSink> diagnostics;
  // The process's arguments (argv[0] first).
  std::vector<std::string> arguments;
  // Wall-clock time for timestamps; intervals and timers use VantrelClock.
  std::function<std::chrono::system_clock::time_point()> now = [] {
    return std::chrono::system_clock::now();
  };
};

}  // namespace vantrel
