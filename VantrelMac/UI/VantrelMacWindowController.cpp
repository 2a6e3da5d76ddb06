#include "VantrelMacWindowController.hpp"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include "Model/Status/DiagnosticLog.hpp"
#include "SymbolIcons.hpp"

namespace vantrel {

namespace {

std::unique_ptr<VantrelMacWindowController>& sharedSlot() {
  static std::unique_ptr<VantrelMacWindowController> controller;
  return controller;
}

class SystemTrayStatusItem final : public StatusItem {
 public:
  bool isAvailable() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }
  void install(QMenu* menu) override {
    tray_ = std::make_unique<QSystemTrayIcon>();
    // Trays do not tint their icons to the panel: the mark carries its own contrast.
    tray_->setIcon(SymbolIcons::trayIcon());
    tray_->setToolTip(QStringLiteral("VantrelMac \u2014 원격 프로그램 실행중"));
    tray_->setContextMenu(menu);
    openMenuOnLeftClick(*tray_, menu);
    tray_->show();
  }

 private:
  std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace

void openMenuOnLeftClick(QSystemTrayIcon& tray, QMenu* menu) {
  QPointer<QMenu> guard(menu);
  QObject::connect(&tray, &QSystemTrayIcon::activated, menu,
                   [guard](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger && guard) guard->popup(QCursor::pos());
                   });
}

std::unique_ptr<StatusItem> makeSystemTrayStatusItem() { return std::make_unique<SystemTrayStatusItem>(); }

void QtDelayScheduler::schedule(std::chrono::milliseconds delay, std::function<void()> block) {
  QTimer::singleShot(delay, qApp, std::move(block));
}

VantrelMacWindowController::VantrelMacWindowController(WindowControllerEnvironment environment)
    : environment_(std::move(environment)) {}

VantrelMacWindowController::~VantrelMacWindowController() {
  *alive_ = false;
  delete notice_.data();
  // The window goes before the presenter it renders from.
  window_.reset();
  presenter_.reset();
}

VantrelMacWindowController& VantrelMacWindowController::shared() {
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_unique<VantrelMacWindowController>(WindowControllerEnvironment{});
  return *slot;
}

void VantrelMacWindowController::install(WindowControllerEnvironment environment) {
  sharedSlot() = std::make_unique<VantrelMacWindowController>(std::move(environment));
}

void VantrelMacWindowController::release() { sharedSlot().reset(); }

void VantrelMacWindowController::show() {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  programLog().notice("VantrelMac primary window requested");
  if (window_) {
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
    if (environment_.activateApplication) environment_.activateApplication();
    return;
  }
  if (!environment_.makeModel) {
    programLog().fault("VantrelMac status window has no model to show: the program did not install one");
    return;
  }
  model_ = environment_.makeModel();
  ++modelsBuilt_;
  presenter_ = std::make_unique<StatusWindowPresenter>(model_, *this, *environment_.scheduler);
  window_ =
      std::make_unique<StatusWindowWidget>(*presenter_, environment_.versionText, environment_.updateBox);
  window_->setWindowTitle(QString::fromStdString(windowTitle(environment_.bundleIdentifier)));
  window_->setWindowIcon(SymbolIcons::applicationIcon());
  window_->setCloseHandler([this] { windowShouldClose(); });
  buildMenu();
  // Without a tray, its menu ("종료" above all) would be out of reach: the window offers it.
  if (!trayAvailable()) {
    programLog().notice("VantrelMac menu offered in the window: the desktop offers no system tray");
    window_->offerApplicationMenu(menu_.get());
  }
  // Centre on the primary screen, then show.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    window_->move(area.center() - QPoint(window_->width() / 2, window_->height() / 2));
  }
  window_->show();
  window_->raise();
  window_->activateWindow();
  model_->start();
  if (environment_.activateApplication) environment_.activateApplication();
}

void VantrelMacWindowController::buildMenu() {
  menu_ = std::make_unique<QMenu>();
  QAction* logWindow = menu_->addAction(QStringLiteral("로그창 보기"));
  QObject::connect(logWindow, &QAction::triggered, [this] { showConnectionWindow(); });
  QAction* settings = menu_->addAction(QStringLiteral("환경설정"));
  settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  QObject::connect(settings, &QAction::triggered, [this] { showConnectionWindow(); });
  QAction* update = menu_->addAction(QStringLiteral("업데이트 확인\u2026"));
  std::weak_ptr<UpdaterControlling> updater = environment_.updater;
  QObject::connect(update, &QAction::triggered, [updater] {
    if (const auto strong = updater.lock()) strong->checkForUpdates();
  });
  QObject::connect(menu_.get(), &QMenu::aboutToShow, [this, update] {
    update->setEnabled(environment_.updater && environment_.updater->canCheckForUpdates());
  });
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("종료"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  QObject::connect(quit, &QAction::triggered, [this] { terminateApplication(); });
  // Trays do not route shortcuts: the window carries the two with keys itself.
  for (QAction* action : {settings, quit}) {
    auto* windowAction = new QAction(action->text(), window_.get());
    windowAction->setShortcut(action->shortcut());
    windowAction->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(windowAction, &QAction::triggered, action, &QAction::trigger);
    window_->addAction(windowAction);
  }
}

bool VantrelMacWindowController::trayAvailable() {
  if (statusItem_) return statusItem_->isAvailable();
  if (!probe_) probe_ = environment_.makeStatusItem();
  return probe_ && probe_->isAvailable();
}

void VantrelMacWindowController::installStatusItemIfNeeded() {
  if (statusItem_ || !menu_) return;
  if (!trayAvailable()) {
    programLog().notice("VantrelMac status item not installed: the desktop offers no system tray");
    return;
  }
  statusItem_ = std::move(probe_);
  statusItem_->install(menu_.get());
}

void VantrelMacWindowController::orderOutMainWindow() {
  if (!window_) return;
  if (trayAvailable()) {
    window_->hide();
  } else {
    // Without a tray a hidden window could never come back: keep it on the task bar instead.
    programLog().notice("VantrelMac window minimised instead of hidden: the desktop offers no system tray");
    window_->showMinimized();
  }
}

void VantrelMacWindowController::windowShouldClose() {
  orderOutMainWindow();
  installStatusItemIfNeeded();
}

void VantrelMacWindowController::terminateApplication() {
  if (environment_.terminateApplication) environment_.terminateApplication();
}

void VantrelMacWindowController::showAgentNoticeIfNeeded() {
  const auto number = noticeGate_.show(environment_.scheduler->now());
  if (!number) return;
  auto* panel = new AgentNoticePanel();
  if (notice_) {
    notice_->hide();
    notice_->deleteLater();
  }
  notice_ = panel;
  panel->placeOnScreen();
  panel->show();
  QPointer<AgentNoticePanel> weakPanel(panel);
  std::weak_ptr<bool> alive = alive_;
  const std::uint64_t id = *number;
  environment_.scheduler->schedule(AgentNoticeGate::visibleFor, [this, weakPanel, alive, id] {
    if (weakPanel) {
      weakPanel->hide();
      weakPanel->deleteLater();
    }
    const auto flag = alive.lock();
    if (!flag || !*flag) return;
    if (noticeGate_.hideFired(id)) notice_ = nullptr;
  });
}

}  // namespace vantrel
