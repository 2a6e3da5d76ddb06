#include "InteractiveApplication.hpp"

// The project's headers come before Qt's (Qt's `emit` macro breaks Asio's templates).
#include "Account/AccountLoginService.hpp"
#include "Account/URLSessionAccountLoginTransport.hpp"
#include "Model/Settings/AccountCredentialStore.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Model/Status/StatusEnvironment.hpp"
#include "Model/Status/StatusWindowViewModel.hpp"
#include "Model/Update/UpdaterControllerAdapter.hpp"
#include "Platform/Backend/DesktopPorts.hpp"
#include "Platform/Qt/QtPasteboard.hpp"
#include "Support/Paths.hpp"
#include "Update/UpdateConfiguration.hpp"

#include <QGuiApplication>
#include <QTimer>

#include <unistd.h>

#include <cstdlib>

#include "DesktopMotion.hpp"
#include "SingleInstance.hpp"
#include "UpdateApplication.hpp"
#include "UpdateSettingsView.hpp"
#include "VantrelMacAppDelegate.hpp"
#include "VantrelMacWindowController.hpp"
#include "VantrelTheme.hpp"

namespace vantrel {

namespace {

// The login server: the fixed production URL and the system's trust store, unless a developer
// points the program at a local server (the demo, the process-level tests) with
// VANTREL_LOGIN_BASE_URL and, for its certificate, VANTREL_LOGIN_CA_FILE (docs/login-api.md).
AccountLoginService developmentOrProductionLoginService() {
  std::string baseURL(AccountLoginService::productionBaseURL);
  URLSessionAccountLoginTransport::Options options;
  if (const char* url = std::getenv("VANTREL_LOGIN_BASE_URL"); url != nullptr && *url != '\0') {
    baseURL = url;
    if (const char* ca = std::getenv("VANTREL_LOGIN_CA_FILE"); ca != nullptr && *ca != '\0')
      options.caFile = ca;
  }
  return AccountLoginService(std::move(baseURL), std::make_shared<URLSessionAccountLoginTransport>(options));
}

// The status model over the real collaborators, in the order the first show() builds them:
// displays and transport (inside the environment's factories), login service, credential store,
// then the model.
std::function<std::shared_ptr<StatusViewPort>()> productionModel(const InteractiveApplicationContext& context,
                                                                 std::string bundleIdentifier) {
  // The program owns the settings store (it outlives this application); a program that gives
  // none gets one of its own here.
  std::shared_ptr<UserDefaults> defaults;
  if (context.standardDefaults != nullptr) {
    defaults = std::shared_ptr<UserDefaults>(std::shared_ptr<void>(), context.standardDefaults);
  }
  return [arguments = context.arguments, main = context.mainExecutor, io = context.ioExecutor, defaults,
          writer = context.diagnosticLogWriter,
          bundleIdentifier = std::move(bundleIdentifier)]() -> std::shared_ptr<StatusViewPort> {
    auto loginService = std::make_shared<AccountLoginServiceAdapter>(developmentOrProductionLoginService());
    auto credentials = std::make_shared<AccountCredentialStore>(std::nullopt, bundleIdentifier);
    // A Wayland desktop without the compositor's services still has Xwayland's clipboard.
    auto pasteboard = DesktopPorts::makeCompositorPasteboard();
    if (!pasteboard) pasteboard = std::make_shared<QtPasteboard>();
    auto environment = makeProductionStatusEnvironment(
        main, io, loginService, credentials, std::move(pasteboard),
        defaults ? defaults : std::make_shared<JSONFileUserDefaults>(bundleIdentifier),
        writer ? writer
               : std::make_shared<DiagnosticLogWriter>(DiagnosticLogWriter::defaultFile(bundleIdentifier)),
        arguments, bundleIdentifier);
    return StatusWindowViewModel::create(std::move(environment));
  };
}

// The updater's controller behind the quit path's interface. It exists before the window so
// that the menu, Ctrl+Q and the signals ask it from the first moment; the launch callback starts
// it and then reads the resume record of an update relaunch.
std::shared_ptr<UpdaterControllerAdapter> makeUpdater(const InteractiveApplicationContext& context) {
  auto adapter = std::make_shared<UpdaterControllerAdapter>();
  ApplicationUpdaterHooks hooks;
  hooks.mainExecutor = context.mainExecutor;
  hooks.info = context.info;
  hooks.defaults = context.standardDefaults;
  hooks.replyToTermination = adapter->terminationReplyHook();
  hooks.requestQuit = context.quit;
  hooks.showWindow = [] { VantrelMacWindowController::shared().show(); };
  hooks.requestStartupAutomaticLogin = [] {
    if (const auto model = VantrelMacWindowController::shared().mainModel())
      model->requestStartupAutomaticLogin();
  };
  adapter->attach(makeApplicationUpdater(std::move(hooks)));
  return adapter;
}

}  // namespace

std::unique_ptr<InteractiveApplication> InteractiveApplication::start(InteractiveApplicationContext context) {
  // A tray program: hiding the window, or closing an update notice while it is hidden, must not
  // end it; only the quit path does.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  VantrelTheme::useApplicationFont();
  const std::string bundleIdentifier = context.info.bundleIdentifier();
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const QString socketPath = QString::fromStdString(AppDelegatePresenter::instanceSocketPath(
      bundleIdentifier, static_cast<unsigned>(::getuid()),
      runtime != nullptr ? std::optional<std::string>(runtime) : std::nullopt));
  std::unique_ptr<InteractiveApplication> application(new InteractiveApplication());
  application->instance_ = std::make_unique<SingleInstance>(socketPath);
  auto* self = application.get();
  const bool first = application->instance_->listen([self](const AppDelegatePresenter::HandOver& handOver) {
    if (self->delegate_) self->delegate_->receiveHandOver(handOver);
  });
  if (!first) {
    const AppDelegatePresenter::HandOver handOver{context.arguments,
                                                  std::filesystem::current_path().string()};
    if (SingleInstance::handOver(socketPath, handOver)) {
      programLog().notice("VantrelMac handed its launch to the running instance");
      return nullptr;
    }
    programLog().error("VantrelMac could not reach the running instance; starting anyway");
  }

  application->motion_ = std::make_unique<DesktopMotionSetting>();
  auto updater = makeUpdater(context);
  application->updater_ = updater->controller();
  WindowControllerEnvironment windows;
  windows.bundleIdentifier = bundleIdentifier;
  windows.makeModel = productionModel(context, bundleIdentifier);
  windows.updater = updater;
  windows.versionText = QString::fromStdString(AppVersion::display(context.info.values()));
  windows.updateBox = [controller = updater->controller(), info = context.info.values()](QWidget* parent) {
    return static_cast<QWidget*>(new UpdateSettingsView(controller, info, parent));
  };
  VantrelMacWindowController::install(std::move(windows));

  AppDelegateEnvironment delegate;
  delegate.arguments = context.arguments;
  delegate.resourceDirectory = paths::bundleResourcesDirectory();
  delegate.updater = updater;
  delegate.quit = context.quit;
  application->delegate_ =
      std::make_unique<VantrelMacAppDelegate>(std::move(delegate), &VantrelMacWindowController::shared());
  application->delegate_->installQuitHooks();
  // The entry shows the window before the event loop; the launch callback runs on its first turn.
  VantrelMacWindowController::shared().show();
  // Files this launch was given are an open request, as they are when a later launch hands them
  // over (the session's autostart entry opens the automatic-login resource this way).
  const auto ownItems =
      AppDelegatePresenter::openItems({context.arguments, std::filesystem::current_path().string()});
  if (!ownItems.empty()) application->delegate_->openURLs(ownItems);
  QTimer::singleShot(0, application->delegate_.get(), [delegate = application->delegate_.get()] {
    delegate->applicationDidFinishLaunching();
  });
  return application;
}

void InteractiveApplication::endRemoteWork() {
  if (delegate_) delegate_->endRemoteWork();
}

bool InteractiveApplication::remoteWorkEnded() const { return !delegate_ || delegate_->remoteWorkEnded(); }

InteractiveApplication::~InteractiveApplication() {
  delegate_.reset();
  VantrelMacWindowController::release();
  motion_.reset();
  instance_.reset();
}

}  // namespace vantrel
