#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdlib>

// The project's headers before Qt's: Qt's `emit` macro breaks Asio's templates.
#include "Model/Update/MacUpdaterController.hpp"
#include "Model/Update/NonblockingUpdateUserDriver.hpp"
#include "Platform/Update/UpdateFrameworkEngine.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "UI/UpdateDialogs.hpp"
#include "UpdateFeedServer.hpp"
#include "XWindows.hpp"
#include "support/AsyncTest.hpp"
#include "support/QtTestApp.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>

// Xlib's macros (Success, None, Status) clash with the headers above: it comes last.
#include <X11/Xlib.h>

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Answer = testing::UpdateFeedServer::Answer;

constexpr const char* updateTitle = "VantrelMac 업데이트";
constexpr const char* downloadTitle = "VantrelMac 업데이트 다운로드";

template <typename Widget>
Widget* visibleTopLevel(const char* title) {
  for (auto* widget : QApplication::topLevelWidgets()) {
    auto* typed = qobject_cast<Widget*>(widget);
    if (typed && typed->isVisible() && typed->windowTitle() == QString::fromUtf8(title)) return typed;
  }
  return nullptr;
}

QAbstractButton* buttonOf(QWidget* window, const char* text) {
  if (!window) return nullptr;
  for (auto* button : window->findChildren<QAbstractButton*>()) {
    if (button->text() == QString::fromUtf8(text)) return button;
  }
  return nullptr;
}

// The application's updater (controller, non-blocking driver, Qt dialogs, Linux engine) on the X
// server, installed from a loopback feed whose download stalls halfway.
class UpdateDownloadWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* displayName = std::getenv("DISPLAY");
    display_ = displayName ? XOpenDisplay(displayName) : nullptr;
    if (!display_) GTEST_SKIP() << "no X display";
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    testing::uiApp();

    testing::makeInstallRoot(root_, "1", testing::updateInfo("1", keys_, server_.url("/appcast.xml")));
    const auto archive = testing::buildArchive(testing::updateInfo("2", keys_, server_.url("/appcast.xml")),
                                               testing::incompressibleBytes(512 * 1024));
    server_.set("/v2.tgz", Answer::stalledAfter(archive, 256 * 1024));
    const auto entry = testing::appcastEntry("2", server_.url("/v2.tgz"), archive, keys_);
    server_.set("/appcast.xml",
                Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), keys_.privateKey)));

    MacUpdaterController::Environment environment;
    environment.mainExecutor = io_.get_executor();
    environment.info = testing::updateInfo("1", keys_, server_.url("/appcast.xml"));
    environment.gate = UpdateActivityGate::create();
    environment.makeUserDriver = [this]() -> std::shared_ptr<StandardUserDriver> {
      presenter_ = std::make_shared<QtUpdateDialogPresenter>();
      return std::make_shared<NonblockingUpdateUserDriver>(presenter_);
    };
    environment.setDriverErrorHandler = [](StandardUserDriver& driver,
                                           std::function<void(const UpdaterError&)> handler) {
      if (auto* nonblocking = dynamic_cast<NonblockingUpdateUserDriver*>(&driver))
        nonblocking->onError = std::move(handler);
    };
    environment.makeUpdater = [this](std::shared_ptr<StandardUserDriver> driver,
                                     std::weak_ptr<UpdaterDelegate> delegate) {
      auto engine = LinuxUpdaterEnvironment::forRunningProgram(
          io_.get_executor(), testing::updateInfo("1", keys_, server_.url("/appcast.xml")), nullptr);
      engine.layout = update_install::Layout{root_};
      engine.settings->setBool(UpdaterSettings::automaticChecksKey, false);
      return LinuxUpdater::create(std::move(engine), std::move(driver), std::move(delegate));
    };
    environment.resumeURL = [this] {
      return std::optional(home_.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json");
    };
    controller_ = MacUpdaterController::create(std::move(environment));
    testing::callOn(io_, [&] { controller_->start(); });
    ASSERT_FALSE(controller_->published().hasError) << controller_->published().status;
  }

  void TearDown() override {
    controller_.reset();
    presenter_.reset();
    testing::processQueued();
    io_.restart();
    io_.run_for(std::chrono::milliseconds(50));
    if (display_) XCloseDisplay(display_);
  }

  // Serves the main executor and Qt's events, as the program's one main thread does, until
  // `done` (or the hang guard).
  bool pumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + testing::hangGuard;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (io_.stopped()) io_.restart();
      io_.run_for(std::chrono::milliseconds(2));
      QApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
  }

  // The windows of that title the X server shows.
  std::size_t onScreen(const char* title) {
    XSync(display_, False);
    return testing::windowsTitled(display_, title).size();
  }

  // For looking at the screen: VANTREL_UPDATE_SHOTS names a folder for its pictures.
  void shoot(const char* name) {
    const char* folder = std::getenv("VANTREL_UPDATE_SHOTS");
    if (!folder) return;
    QGuiApplication::primaryScreen()->grabWindow(0).save(
        QString::fromStdString((fs::path(folder) / name).string()));
  }

  ::Display* display_ = nullptr;
  testing::TemporaryHome home_;
  fs::path root_ = home_.root() / "install";
  testing::UpdateKeys keys_ = testing::UpdateKeys::generate();
  testing::UpdateFeedServer server_;
  asio::io_context io_;
  std::shared_ptr<QtUpdateDialogPresenter> presenter_;
  std::shared_ptr<MacUpdaterController> controller_;
};

TEST_F(UpdateDownloadWindow, CancelledDownloadLeavesNoUpdateWindowOnScreen) {
  testing::callOn(io_, [&] { controller_->checkForUpdates(); });
  ASSERT_TRUE(pumpUntil([&] { return buttonOf(visibleTopLevel<QMessageBox>(updateTitle), "설치"); }));
  buttonOf(visibleTopLevel<QMessageBox>(updateTitle), "설치")->click();

  // The download stalls halfway: its window shows it, with its own "취소".
  ASSERT_TRUE(pumpUntil([&] { return onScreen(downloadTitle) == 1; })) << controller_->published().status;
  auto* progress = visibleTopLevel<QProgressDialog>(downloadTitle);
  ASSERT_NE(progress, nullptr);
  EXPECT_GT(progress->value(), 0);
  EXPECT_EQ(controller_->published().status, "새 버전 다운로드 중…");
  shoot("download-before-cancel.png");
  auto* cancel = buttonOf(progress, "취소");
  ASSERT_NE(cancel, nullptr);
  cancel->click();

  // The updater goes idle and nothing of the update is left on the X server.
  EXPECT_TRUE(pumpUntil([&] {
    return controller_->published().status == "자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요";
  })) << controller_->published().status;
  EXPECT_TRUE(pumpUntil([&] { return onScreen(downloadTitle) == 0 && onScreen(updateTitle) == 0; }))
      << onScreen(downloadTitle) << " download window(s), " << onScreen(updateTitle) << " update window(s)";
  EXPECT_TRUE(presenter_->openDialogs().empty());
  EXPECT_FALSE(controller_->published().hasError);
  EXPECT_EQ(fs::read_symlink(root_ / "current"), "versions/1");
  shoot("download-after-cancel.png");

  // A new check may start, and its download window comes up again and answers its "취소".
  testing::callOn(io_, [&] { controller_->checkForUpdates(); });
  ASSERT_TRUE(pumpUntil([&] { return buttonOf(visibleTopLevel<QMessageBox>(updateTitle), "설치"); }));
  buttonOf(visibleTopLevel<QMessageBox>(updateTitle), "설치")->click();
  ASSERT_TRUE(pumpUntil([&] { return onScreen(downloadTitle) == 1; }));
  buttonOf(visibleTopLevel<QProgressDialog>(downloadTitle), "취소")->click();
  EXPECT_TRUE(pumpUntil([&] {
    return controller_->published().status == "자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요";
  })) << controller_->published().status;
  EXPECT_TRUE(pumpUntil([&] { return onScreen(downloadTitle) == 0 && onScreen(updateTitle) == 0; }));
  EXPECT_EQ(server_.requests("/v2.tgz"), 2);
}

}  // namespace
}  // namespace vantrel
