#include "VantrelMacAppDelegate.hpp"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSessionManager>
#include <QTimer>

#include "Model/Status/DiagnosticLog.hpp"
#include "VantrelMacWindowController.hpp"

namespace vantrel {

VantrelMacAppDelegate::VantrelMacAppDelegate(AppDelegateEnvironment environment,
                                             VantrelMacWindowController* controller, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), controller_(controller) {
  quitRouter_ = std::make_unique<QuitRouter>(environment_.updater, environment_.quit, isSessionAgent());
  if (controller_ != nullptr) controller_->setTerminateHandler([this] { requestQuit(QuitSource::menu); });
}

VantrelMacAppDelegate::~VantrelMacAppDelegate() = default;

bool VantrelMacAppDelegate::isSessionAgent() const {
  return AppDelegatePresenter::isSessionAgent(environment_.arguments);
}

void VantrelMacAppDelegate::applicationDidFinishLaunching() {
  if (isSessionAgent()) {
    if (environment_.startSessionAgent) environment_.startSessionAgent();
    return;
  }
  controller_->show();
  if (environment_.updater) {
    environment_.updater->start();
    std::weak_ptr<UpdaterControlling> updater = environment_.updater;
    QTimer::singleShot(0, this, [updater] {
      if (const auto strong = updater.lock()) strong->consumeUpdateResume();
    });
  }
}

bool VantrelMacAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
  const auto answer = AppDelegatePresenter::reopen(isSessionAgent(), hasVisibleWindows);
  if (answer.show) controller_->show();
  return answer.answer;
}

void VantrelMacAppDelegate::openURLs(const std::vector<std::string>& urls) {
  const auto outcome =
      AppDelegatePresenter::openRequest(urls, isSessionAgent(), environment_.resourceDirectory);
  if (outcome == AppDelegatePresenter::OpenOutcome::ignored) {
    programLog().notice("{}", AppDelegatePresenter::ignoredOpenResourceLine);
    return;
  }
  controller_->show();
  if (const auto model = controller_->mainModel()) model->requestStartupAutomaticLogin();
}

void VantrelMacAppDelegate::receiveHandOver(const AppDelegatePresenter::HandOver& handOver) {
  const auto* window = controller_->mainWindow();
  applicationShouldHandleReopen(window != nullptr && window->isVisible() && !window->isMinimized());
  const auto items = AppDelegatePresenter::openItems(handOver);
  if (!items.empty()) openURLs(items);
}

TerminateReply VantrelMacAppDelegate::requestQuit(QuitSource source) {
  return quitRouter_->requestQuit(source);
}

void VantrelMacAppDelegate::stopModelOnce() {
  if (modelStopped_) return;
  modelStopped_ = true;
  // Hiding the window is not stopping: the model stops here, once, when the program ends.
  if (const auto model = controller_->mainModel()) model->stop();
}

bool VantrelMacAppDelegate::remoteWorkEnded() const {
  const auto model = controller_ != nullptr ? controller_->mainModel() : nullptr;
  return !model || !model->hasClosingSessions();
}

void VantrelMacAppDelegate::installQuitHooks() {
  signals_ = new QuitSignals([this](int) { requestQuit(QuitSource::signal); }, this);
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    QObject::connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
      if (requestQuit(QuitSource::sessionManager) != TerminateReply::terminateNow &&
          manager.allowsInteraction()) {
        manager.cancel();
      }
    });
  }
  if (auto* app = QCoreApplication::instance()) {
    QObject::connect(app, &QCoreApplication::aboutToQuit, this, [this] { stopModelOnce(); });
  }
}

}  // namespace vantrel
