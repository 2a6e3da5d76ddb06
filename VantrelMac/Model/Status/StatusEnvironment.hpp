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
#include "Activity/UpdateActivityGate.hpp"
#include "Input/AccessibilityInputService.hpp"
#include "Input/PermissionStatus.hpp"
#include "Model/Connection/DisplaySleepPreventer.hpp"
#include "Model/Connection/MacClipboardBridge.hpp"
#include "Model/Connection/MacConnectionRecoveryMonitor.hpp"
#include "Model/Connection/ManagerRouteCache.hpp"
#include "Model/Connection/ManagerSessionClient.hpp"
#include "Model/Settings/AccountLoginSettings.hpp"
#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Platform/Ports/Pasteboard.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"
#include "Screen/ScreenCaptureKitService.hpp"
#include "Support/Async.hpp"
#include "Support/WallClock.hpp"

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
  // Why no grant can ever be had on this desktop; nothing when they can.
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }
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

// The application's sessions: every client gets its own TCP transport (no TLS policy, a 10 s
// connect time-out), event mirror, system-information provider, screen streamer, input injector
// and command executor, the AI channel configuration read now with a reload closure, and the
// process-wide activity gate. The primary has no account context; a secondary gets the current one.
class DirectAuthClientFactory final : public ManagerClientFactory {
 public:
  static constexpr double connectTimeoutSeconds = 10.0;

  // `ioExecutor` runs the transports and sessions (the runtime's io_context, not the GUI thread).
  explicit DirectAuthClientFactory(Executor ioExecutor,
                                   std::optional<std::string> bundleIdentifier = std::nullopt,
                                   std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::shared());

  std::shared_ptr<ManagerSessionClient> makePrimary() override;
  std::shared_ptr<ManagerSessionClient> makeSecondary(
      std::shared_ptr<AIAccountLoginContext> context) override;

  // One session over the given transport with every other collaborator of the application's.
  static std::shared_ptr<ManagerSessionClient> makeClient(Executor ioExecutor,
                                                          std::shared_ptr<NetworkTransporting> transport,
                                                          std::optional<std::string> bundleIdentifier,
                                                          std::shared_ptr<AIAccountLoginContext> context,
                                                          std::shared_ptr<UpdateActivityGate> gate);

 private:
  std::shared_ptr<ManagerSessionClient> make(std::shared_ptr<AIAccountLoginContext> context);
  Executor ioExecutor_;
  std::optional<std::string> bundleIdentifier_;
  std::shared_ptr<UpdateActivityGate> gate_;
};

// The host's name (PRETTY_HOSTNAME, else the host name) and its interface addresses.
class SystemHostInformation final : public HostInformation {
 public:
  std::optional<std::string> localizedName() const override;
  std::vector<std::string> addresses() const override;
};

// `PermissionStatus` as a collaborator.
class SystemPermissions final : public PermissionProviding {
 public:
  PermissionSnapshot snapshot() override { return PermissionStatus::snapshot(); }
  bool requestScreenRecordingAccess() override { return PermissionStatus::requestScreenRecordingAccess(); }
  void openScreenRecordingSettings() override { PermissionStatus::openScreenRecordingSettings(); }
  void openAccessibilitySettings() override { PermissionStatus::openAccessibilitySettings(); }
  std::optional<std::string> unavailableReason() override { return PermissionStatus::unavailableReason(); }
};

// `mainExecutor`, `clients`, `loginService`, `credentialStore`, `permissions`, `captureService`
// and `defaults` are required; every other member may be left empty (nothing is then done there).
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
  std::shared_ptr<ClipboardBridging> clipboardBridge;
  // The general pasteboard (the diagnostics copy writes to it).
  std::shared_ptr<Pasteboard> pasteboard;
  // The folder that files pasted by a manager go to.
  std::function<std::string()> pasteDestination;
  // A new monitor for each start of the model.
  std::function<std::shared_ptr<ConnectionRecoveryMonitoring>()> makeRecoveryMonitor;
  std::shared_ptr<DisplaySleepPreventing> displaySleepPreventer;
  std::shared_ptr<HostInformation> host;
  // The standard user defaults: login form, direct-connection form, route cache.
  std::shared_ptr<UserDefaults> defaults;
  // Writes the diagnostic lines to the system log and the log file; none in most tests.
  std::shared_ptr<DiagnosticLogWriter> diagnosticWriter;
  // The process's arguments (argv[0] first).
  std::vector<std::string> arguments;
  // Wall-clock time for timestamps; intervals and timers use VantrelClock.
  WallClock now = systemWallClock();
};

// The application's collaborators: the session factory above over `ioExecutor`, the login
// service and credential store given, the system's permissions, displays, input service, host
// information, the clipboard bridge over `pasteboard`, the recovery monitor, the display-sleep
// preventer, the settings store given and the diagnostics writer given.
StatusEnvironment makeProductionStatusEnvironment(
    Executor mainExecutor, Executor ioExecutor, std::shared_ptr<AccountLoginServicing> loginService,
    std::shared_ptr<AccountCredentialStoring> credentialStore, std::shared_ptr<Pasteboard> pasteboard,
    std::shared_ptr<UserDefaults> defaults, std::shared_ptr<DiagnosticLogWriter> diagnosticWriter,
    std::vector<std::string> arguments, std::optional<std::string> bundleIdentifier = std::nullopt);

}  // namespace vantrel
