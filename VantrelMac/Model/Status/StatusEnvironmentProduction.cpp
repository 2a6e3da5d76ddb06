// The application's wiring of the status model. Kept apart from the rest of the model so that
// programs and tests that build their own environment do not link the platform monitors.

#include "Model/Status/StatusEnvironment.hpp"

namespace vantrel {

StatusEnvironment makeProductionStatusEnvironment(
    Executor mainExecutor, Executor ioExecutor, std::shared_ptr<AccountLoginServicing> loginService,
    std::shared_ptr<AccountCredentialStoring> credentialStore, std::shared_ptr<Pasteboard> pasteboard,
    std::shared_ptr<UserDefaults> defaults, std::shared_ptr<DiagnosticLogWriter> diagnosticWriter,
    std::vector<std::string> arguments, std::optional<std::string> bundleIdentifier) {
  StatusEnvironment environment;
  environment.mainExecutor = mainExecutor;
  environment.sessionExecutor = ioExecutor;
  environment.clients = std::make_shared<DirectAuthClientFactory>(ioExecutor, bundleIdentifier);
  environment.loginService = std::move(loginService);
  environment.credentialStore = std::move(credentialStore);
  environment.permissions = std::make_shared<SystemPermissions>();
  environment.captureService = std::make_shared<ScreenCaptureKitService>();
  environment.inputService = std::make_shared<AccessibilityInputService>();
  environment.clipboardBridge = MacClipboardBridge::create(mainExecutor, pasteboard, {});
  environment.pasteboard = std::move(pasteboard);
  environment.pasteDestination = [] { return MacClipboardBridge::currentPasteDestination(); };
  environment.makeRecoveryMonitor = []() -> std::shared_ptr<ConnectionRecoveryMonitoring> {
    return std::make_shared<MacConnectionRecoveryMonitor>();
  };
  environment.displaySleepPreventer = std::make_shared<DisplaySleepPreventer>();
  environment.host = std::make_shared<SystemHostInformation>();
  environment.defaults = std::move(defaults);
  environment.diagnosticWriter = std::move(diagnosticWriter);
  environment.arguments = std::move(arguments);
  return environment;
}

}  // namespace vantrel
