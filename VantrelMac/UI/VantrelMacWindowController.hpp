#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "AgentNoticePanel.hpp"
#include "ConnectionPanelWidget.hpp"
#include "Model/Status/QuitRouter.hpp"
#include "Model/Status/StatusViewPort.hpp"
#include "Model/Status/WindowPresenter.hpp"
#include "StatusWindowWidget.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace vantrel {

// The status-bar item. The desktop's tray may be missing (a bare X server, some desktops); the
// controller then keeps the window reachable by minimising it instead of hiding it.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  virtual bool isAvailable() const = 0;
  virtual void install(QMenu* menu) = 0;
};

std::unique_ptr<StatusItem> makeSystemTrayStatusItem();

// A left click on the tray item opens its menu too, as a click on a menu-bar item does (a right
// click opens it through the tray's own context menu).
void openMenuOnLeftClick(QSystemTrayIcon& tray, QMenu* menu);

// Runs delayed blocks on the Qt event loop.
class QtDelayScheduler final : public DelayScheduler {
 public:
  void schedule(std::chrono::milliseconds delay, std::function<void()> block) override;
};

struct WindowControllerEnvironment {
  std::string bundleIdentifier{defaultBundleIdentifier};
  // Builds the collaborators and the status model, in that order; called once, by the first show().
  std::function<std::shared_ptr<StatusViewPort>()> makeModel;
  std::shared_ptr<UpdaterControlling> updater = std::make_shared<StandInUpdaterController>();
  std::function<std::unique_ptr<StatusItem>()> makeStatusItem = makeSystemTrayStatusItem;
  std::shared_ptr<DelayScheduler> scheduler = std::make_shared<QtDelayScheduler>();
  QString versionText;                         // the version line of the login footer
  UpdateBoxFactory updateBox;                  // the update box of the connection panel
  std::function<void()> terminateApplication;  // the "종료" item: the one quit path
  std::function<void()> activateApplication;   // bring the application forward
};

// The interactive application's one status window, its model, its status item and the notice.
class VantrelMacWindowController final : public StatusWindowHost {
 public:
  explicit VantrelMacWindowController(WindowControllerEnvironment environment);
  ~VantrelMacWindowController() override;

  // The process's controller; `install` gives it its environment before the first show().
  static VantrelMacWindowController& shared();
  static void install(WindowControllerEnvironment environment);
  // Destroys the process's controller (its window, model and status item) before the program's
  // application object goes.
  static void release();

  // Builds the window and the model on the first call; later calls bring the window forward.
  void show();
  void installStatusItemIfNeeded() override;
  void orderOutMainWindow() override;
  void showAgentNoticeIfNeeded() override;
  // The close button: hide (tray present) or minimise (no tray), never close.
  void windowShouldClose();
  void showConnectionWindow() { show(); }
  void terminateApplication();
  void setTerminateHandler(std::function<void()> handler) {
    environment_.terminateApplication = std::move(handler);
  }

  StatusWindowWidget* mainWindow() const { return window_.get(); }
  std::shared_ptr<StatusViewPort> mainModel() const { return model_; }
  StatusWindowPresenter* presenter() const { return presenter_.get(); }
  QMenu* statusMenu() const { return menu_.get(); }
  bool statusItemInstalled() const { return statusItem_ != nullptr; }
  AgentNoticePanel* agentNoticePanel() const { return notice_; }
  const AgentNoticeGate& noticeGate() const { return noticeGate_; }
  int modelsBuilt() const { return modelsBuilt_; }

 private:
  void buildMenu();
  bool trayAvailable();

  WindowControllerEnvironment environment_;
  std::shared_ptr<StatusViewPort> model_;
  std::unique_ptr<StatusWindowPresenter> presenter_;
  std::unique_ptr<StatusWindowWidget> window_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<StatusItem> statusItem_;
  std::unique_ptr<StatusItem> probe_;  // asked about the tray before anything is installed
  QPointer<AgentNoticePanel> notice_;
  AgentNoticeGate noticeGate_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int modelsBuilt_ = 0;
};

}  // namespace vantrel
