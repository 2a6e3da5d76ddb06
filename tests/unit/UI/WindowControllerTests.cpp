#include <gtest/gtest.h>

#include "Support/SystemLog.hpp"
#include "UI/VantrelMacAppDelegate.hpp"
#include "UI/VantrelMacWindowController.hpp"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>

#include "support/FakeStatusModel.hpp"
#include "support/ManualDelayScheduler.hpp"
#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeStatusModel;
using testing::ManualDelayScheduler;

class FakeStatusItem final : public StatusItem {
 public:
  FakeStatusItem(bool available, int& installs) : available_(available), installs_(installs) {}
  bool isAvailable() const override { return available_; }
  void install(QMenu*) override { ++installs_; }

 private:
  bool available_;
  int& installs_;
};

class ScriptedUpdater final : public UpdaterControlling {
 public:
  TerminateReply reply = TerminateReply::terminateNow;
  int started = 0, resumed = 0, checks = 0;
  std::function<void(bool)> deferred;
  void start() override { ++started; }
  void checkForUpdates() override { ++checks; }
  bool canCheckForUpdates() const override { return true; }
  void consumeUpdateResume() override { ++resumed; }
  TerminateReply terminationReply() override { return reply; }
  void setDeferredTerminationHandler(std::function<void(bool)> handler) override {
    deferred = std::move(handler);
  }
};

struct ControllerFixture : ::testing::Test {
  ManualClock clock;
  std::shared_ptr<ManualDelayScheduler> scheduler = std::make_shared<ManualDelayScheduler>(clock);
  std::shared_ptr<FakeStatusModel> model = std::make_shared<FakeStatusModel>();
  std::shared_ptr<ScriptedUpdater> updater = std::make_shared<ScriptedUpdater>();
  int installs = 0;
  int terminations = 0;
  bool trayAvailable = true;
  std::unique_ptr<VantrelMacWindowController> controller;

  void make(std::string bundle = "local.vantrel.VantrelMac") {
    testing::uiApp();
    WindowControllerEnvironment environment;
    environment.bundleIdentifier = std::move(bundle);
    environment.makeModel = [this] { return model; };
    environment.updater = updater;
    environment.makeStatusItem = [this] { return std::make_unique<FakeStatusItem>(trayAvailable, installs); };
    environment.scheduler = scheduler;
    environment.versionText = QStringLiteral("v1.0.0");
    environment.terminateApplication = [this] { ++terminations; };
    controller = std::make_unique<VantrelMacWindowController>(std::move(environment));
  }
  void TearDown() override { controller.reset(); }
};

TEST_F(ControllerFixture, ThreeShowsBuildOneWindowAndOneModel) {
  make();
  controller->show();
  auto* window = controller->mainWindow();
  controller->show();
  controller->show();
  EXPECT_EQ(controller->mainWindow(), window);
  EXPECT_EQ(controller->modelsBuilt(), 1);
  EXPECT_EQ(controller->mainModel(), model);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("VantrelMac"));
  EXPECT_EQ(window->size(), QSize(430, 285));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_EQ(model->count("start"), 2);  // show() and the view's appearance; the model runs it once
}

TEST_F(ControllerFixture, CloseHidesAndInstallsTheTrayOnce) {
  make();
  controller->show();
  controller->mainWindow()->close();
  EXPECT_FALSE(controller->mainWindow()->isVisible());
  EXPECT_TRUE(controller->statusItemInstalled());
  EXPECT_EQ(installs, 1);
  controller->show();
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  controller->mainWindow()->close();
  EXPECT_EQ(installs, 1);
  EXPECT_EQ(model->count("stop"), 0);  // hiding is not stopping
}

TEST_F(ControllerFixture, WithoutATrayCloseMinimisesAndLogsWhy) {
  trayAvailable = false;
  make();
  MemoryLogSink log;
  controller->show();
  controller->mainWindow()->close();
  EXPECT_TRUE(controller->mainWindow()->isMinimized());
  EXPECT_FALSE(controller->statusItemInstalled());
  EXPECT_EQ(installs, 0);
  EXPECT_TRUE(log.contains("no system tray"));
}

std::vector<QToolButton*> windowMenuButtons(StatusWindowWidget* window) {
  return {window->loginScreen()->menuButton(), window->windowPanel()->menuButton(),
          window->sheet()->panel()->menuButton()};
}

// Without a tray the tray's menu is in the window: a button in each presentation (and the sheet),
// named for screen readers, on the Tab walk after the gear, opened by Space, holding the very
// items of the tray's menu.
TEST_F(ControllerFixture, WithoutATrayTheWindowOffersTheTrayMenuToMouseAndKeyboard) {
  trayAvailable = false;
  make();
  MemoryLogSink log;
  controller->show();
  auto* window = controller->mainWindow();
  for (QToolButton* button : windowMenuButtons(window)) {
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isHidden());
    EXPECT_EQ(button->menu(), controller->statusMenu());
    EXPECT_EQ(button->accessibleName(), QStringLiteral("VantrelMac menu"));
    EXPECT_EQ(button->focusPolicy(), Qt::StrongFocus);
  }
  EXPECT_TRUE(log.contains("menu offered in the window"));
  QStringList texts;
  for (QAction* action : controller->statusMenu()->actions())
    if (!action->isSeparator()) texts << action->text();
  EXPECT_EQ(texts, (QStringList{QStringLiteral("로그창 보기"), QStringLiteral("환경설정"),
                                QStringLiteral("업데이트 확인\u2026"), QStringLiteral("종료")}));

  QApplication::setActiveWindow(window);
  QToolButton* button = window->loginScreen()->menuButton();
  window->loginScreen()->gearButton()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), button);
  auto opened = std::make_shared<bool>(false);
  QTimer::singleShot(0, controller->statusMenu(), [opened, menu = controller->statusMenu()] {
    *opened = QApplication::activePopupWidget() == menu;
    menu->close();
  });
  QTest::keyClick(button, Qt::Key_Space);
  testing::processQueued();
  EXPECT_TRUE(*opened);

  ASSERT_NE(button->menu(), nullptr);
  for (QAction* action : button->menu()->actions())
    if (action->text() == QStringLiteral("종료")) action->trigger();
  EXPECT_EQ(terminations, 1);
}

TEST_F(ControllerFixture, WithATrayTheWindowKeepsNoMenuButton) {
  make();
  MemoryLogSink log;
  controller->show();
  for (QToolButton* button : windowMenuButtons(controller->mainWindow())) {
    EXPECT_TRUE(button->isHidden());
    EXPECT_EQ(button->menu(), nullptr);
  }
  EXPECT_FALSE(log.contains("menu offered in the window"));
}

TEST(TrayItem, ALeftClickOpensTheMenuOtherClicksLeaveItToTheTray) {
  testing::uiApp();
  QSystemTrayIcon tray;
  QMenu menu;
  menu.addAction(QStringLiteral("로그창 보기"));
  openMenuOnLeftClick(tray, &menu);
  emit tray.activated(QSystemTrayIcon::Context);
  emit tray.activated(QSystemTrayIcon::DoubleClick);
  EXPECT_FALSE(menu.isVisible());
  emit tray.activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(menu.isVisible());
  menu.hide();
}

TEST_F(ControllerFixture, MenuTextsOrderAndActions) {
  make();
  controller->show();
  const auto actions = controller->statusMenu()->actions();
  ASSERT_EQ(actions.size(), 5);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("로그창 보기"));
  EXPECT_EQ(actions[1]->text(), QStringLiteral("환경설정"));
  EXPECT_EQ(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
  EXPECT_EQ(actions[2]->text(), QStringLiteral("업데이트 확인\u2026"));
  EXPECT_TRUE(actions[3]->isSeparator());
  EXPECT_EQ(actions[4]->text(), QStringLiteral("종료"));
  EXPECT_EQ(actions[4]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  controller->mainWindow()->hide();
  actions[0]->trigger();
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  actions[2]->trigger();
  EXPECT_EQ(updater->checks, 1);
  actions[4]->trigger();
  EXPECT_EQ(terminations, 1);
}

TEST_F(ControllerFixture, SignInHidesTheWindowInstallsTheTrayAndShowsTheNoticeOnce) {
  make();
  controller->show();
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
  });
  scheduler->advance(200ms);
  EXPECT_FALSE(controller->mainWindow()->isVisible());
  EXPECT_EQ(installs, 1);
  AgentNoticePanel* notice = controller->agentNoticePanel();
  ASSERT_NE(notice, nullptr);
  EXPECT_TRUE(notice->isVisible());
  EXPECT_EQ(notice->size(), QSize(350, 92));
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(notice->pos(), QPoint(available.right() + 1 - 18 - 350, available.bottom() + 1 - 18 - 92));
  EXPECT_EQ(notice->titleLabel()->text(), QStringLiteral("VantrelMac Client"));
  EXPECT_EQ(notice->messageLabel()->text(), QStringLiteral("Vantrel Agent\n원격 프로그램 실행중"));

  // A reconnect 5 s later presents again, but the notice is rate-limited.
  scheduler->advance(5s);
  model->change([](StatusViewState& s) { s.connectionState = DirectAuthState::connecting; });
  scheduler->advance(200ms);
  EXPECT_EQ(controller->agentNoticePanel(), nullptr);  // the first hid after 3.5 s
  EXPECT_EQ(installs, 1);
}

TEST_F(ControllerFixture, AnOldNoticeHideLeavesTheNewerPanel) {
  make();
  controller->show();
  controller->showAgentNoticeIfNeeded();
  auto* first = controller->agentNoticePanel();
  scheduler->advance(3s);
  controller->showAgentNoticeIfNeeded();  // within 10 s: nothing
  EXPECT_EQ(controller->agentNoticePanel(), first);
  scheduler->advance(1s);  // 4 s: the first hid
  EXPECT_EQ(controller->agentNoticePanel(), nullptr);
  scheduler->advance(6s);  // exactly 10 s after the first
  controller->showAgentNoticeIfNeeded();
  ASSERT_NE(controller->agentNoticePanel(), nullptr);
  scheduler->advance(3499ms);
  EXPECT_NE(controller->agentNoticePanel(), nullptr);
  scheduler->advance(1ms);
  EXPECT_EQ(controller->agentNoticePanel(), nullptr);
}

struct DelegateFixture : ControllerFixture {
  int quits = 0;
  std::unique_ptr<VantrelMacAppDelegate> delegate;
  std::filesystem::path resources = "/opt/vantrel/share/VantrelMac";

  void makeDelegate(std::vector<std::string> arguments = {"VantrelMac"}) {
    make();
    AppDelegateEnvironment environment;
    environment.arguments = std::move(arguments);
    environment.resourceDirectory = resources;
    environment.updater = updater;
    environment.quit = [this] { ++quits; };
    delegate = std::make_unique<VantrelMacAppDelegate>(std::move(environment), controller.get());
  }
  void TearDown() override {
    delegate.reset();
    ControllerFixture::TearDown();
  }
};

TEST_F(DelegateFixture, LaunchShowsStartsTheUpdaterAndConsumesTheResume) {
  makeDelegate();
  delegate->applicationDidFinishLaunching();
  testing::processQueued();
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  EXPECT_EQ(updater->started, 1);
  EXPECT_EQ(updater->resumed, 1);
}

TEST_F(DelegateFixture, QuitRoutingFollowsTheUpdater) {
  makeDelegate();
  delegate->applicationDidFinishLaunching();
  updater->reply = TerminateReply::terminateLater;
  controller->statusMenu()->actions().back()->trigger();
  EXPECT_EQ(quits, 0);
  updater->deferred(true);
  EXPECT_EQ(quits, 1);
}

// "종료" in the window's menu (no tray) asks the same way out as the tray's: the updater answers.
TEST_F(DelegateFixture, QuitFromTheWindowMenuFollowsTheUpdaterToo) {
  trayAvailable = false;
  makeDelegate();
  delegate->applicationDidFinishLaunching();
  updater->reply = TerminateReply::terminateLater;
  QMenu* menu = controller->mainWindow()->windowPanel()->menuButton()->menu();
  ASSERT_NE(menu, nullptr);
  menu->actions().back()->trigger();
  EXPECT_EQ(quits, 0);
  EXPECT_TRUE(delegate->quitRouter().waitingForUpdater());
  updater->deferred(true);
  EXPECT_EQ(quits, 1);
}

TEST_F(DelegateFixture, SigtermTakesTheSamePath) {
  makeDelegate();
  delegate->installQuitHooks();
  updater->reply = TerminateReply::terminateLater;
  std::raise(SIGTERM);
  testing::processQueued();
  EXPECT_EQ(quits, 0);
  EXPECT_TRUE(delegate->quitRouter().waitingForUpdater());
  updater->deferred(false);
  updater->reply = TerminateReply::terminateNow;
  std::raise(SIGINT);
  testing::processQueued();
  EXPECT_EQ(quits, 1);
}

TEST_F(DelegateFixture, TheModelStopsOnceAtQuitAndNotBefore) {
  makeDelegate();
  delegate->installQuitHooks();
  delegate->applicationDidFinishLaunching();
  controller->mainWindow()->close();
  EXPECT_EQ(model->count("stop"), 0);
  // Two runs of the event loop that end: the model stops at the first end only.
  for (int i = 0; i < 2; ++i) {
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
  }
  EXPECT_EQ(model->count("stop"), 1);
}

TEST_F(DelegateFixture, OpenRequestAcceptsTheStartupResourceOnly) {
  makeDelegate();
  MemoryLogSink log;
  delegate->openURLs({"file:///opt/vantrel/share/VantrelMac/AutomaticLogin.vantrelstartup"});
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  EXPECT_EQ(model->count("requestStartupAutomaticLogin"), 1);
  delegate->openURLs({"file:///tmp/other.txt"});
  EXPECT_EQ(model->count("requestStartupAutomaticLogin"), 1);
  EXPECT_TRUE(log.contains("VantrelMac ignored unsupported open resource"));
}

TEST_F(DelegateFixture, SessionAgentIgnoresOpenRequestsAndReopens) {
  makeDelegate({"VantrelMac", "--session-agent"});
  MemoryLogSink log;
  delegate->openURLs({"file:///opt/vantrel/share/VantrelMac/AutomaticLogin.vantrelstartup"});
  EXPECT_TRUE(log.contains("VantrelMac ignored unsupported open resource"));
  EXPECT_EQ(controller->mainWindow(), nullptr);
  EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
  EXPECT_EQ(controller->mainWindow(), nullptr);
  updater->reply = TerminateReply::terminateCancel;
  EXPECT_EQ(delegate->requestQuit(QuitSource::signal), TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);
}

}  // namespace
}  // namespace vantrel
