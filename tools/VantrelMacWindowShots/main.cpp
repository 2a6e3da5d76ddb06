// Renders the status windows on the X server named by DISPLAY and writes one PNG per scene into
// the folder given as the argument, with a JSON file beside each naming the rectangles that the
// display test probes. With --bench-start it prints the time from process start to the shown
// window; with --idle <seconds> it shows and hides the window and prints the CPU share it used
// while hidden; with --resize-cycles <count> it shows the status window and lets it grow to the
// panel (a sign-in) and shrink back to the login screen (the panel closed) that many times,
// animated, for a screen recording under a window manager. The "-real" forms run the tray
// application over the real status model (as the program's interactive mode does) instead of a
// still scene.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Model/Settings/InfoDictionary.hpp"
#include "Model/Update/MacUpdaterController.hpp"
#include "Model/Update/UpdaterControllerAdapter.hpp"
#include "Platform/Qt/QtMainExecutor.hpp"
#include "ProcessTimes.hpp"
#include "ShotModel.hpp"
#include "ShotWindows.hpp"
#include "Support/Async.hpp"
#include "UI/InteractiveApplication.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/SymbolIcons.hpp"
#include "UI/UpdateDialogs.hpp"
#include "UI/UpdateSettingsView.hpp"
#include "UI/VantrelMacWindowController.hpp"
#include "UI/VantrelTheme.hpp"
#include "Update/UpdateConfiguration.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVariantAnimation>
#include <QWindow>

namespace {

using namespace vantrel;
using shots::ShotModel;
using namespace shots;

// Keeps delayed blocks without running them, so that a scene stays as it was set up.
class HeldScheduler final : public DelayScheduler {
 public:
  void schedule(std::chrono::milliseconds, std::function<void()> block) override {
    held_.push_back(std::move(block));
  }

 private:
  std::vector<std::function<void()>> held_;
};

class ShotStatusItem final : public StatusItem {
 public:
  bool isAvailable() const override { return true; }
  void install(QMenu*) override {}
};

// An updater that starts, allows a check and never finds anything: the update box shows its idle
// state.
class ShotUpdater final : public Updater {
 public:
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void setSendsSystemProfile(bool) override {}
  std::optional<UpdaterError> startUpdater() override { return std::nullopt; }
  bool automaticallyChecksForUpdates() const override { return automatic_; }
  void setAutomaticallyChecksForUpdates(bool value) override { automatic_ = value; }
  bool canCheckForUpdates() const override { return true; }
  void checkForUpdates() override {}
  void applicationWillTerminate() override {}

 private:
  bool automatic_ = true;
};

const UpdateInfo shotInfo{{"CFBundleIdentifier", "local.vantrel.VantrelMac"},
                          {"CFBundleShortVersionString", "1.0.0"},
                          {"CFBundleVersion", "1"},
                          {"SUFeedURL", "https://updates.example/appcast.xml"},
                          {"SUPublicEDKey", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="},
                          {"SURequireSignedFeed", true},
                          {"SUVerifyUpdateBeforeExtraction", true}};

std::shared_ptr<UpdaterControllerAdapter> shotUpdater(Executor executor, UpdateInfo info = shotInfo) {
  auto adapter = std::make_shared<UpdaterControllerAdapter>();
  MacUpdaterController::Environment environment;
  environment.mainExecutor = std::move(executor);
  environment.info = std::move(info);
  environment.gate = UpdateActivityGate::create();
  environment.makeUpdater = [](std::shared_ptr<StandardUserDriver>, std::weak_ptr<UpdaterDelegate>) {
    return std::make_shared<ShotUpdater>();
  };
  environment.resumeURL = [] { return std::optional<std::filesystem::path>(); };
  environment.replyToTermination = adapter->terminationReplyHook();
  adapter->attach(MacUpdaterController::create(std::move(environment)));
  adapter->start();
  return adapter;
}

}  // namespace

namespace {
std::shared_ptr<HeldScheduler> held;
std::shared_ptr<UpdaterControllerAdapter> updater;
}  // namespace

namespace vantrel::shots {

// Lets the window system show and paint what was just changed, for a bounded time.
void settle(QWidget* window) {
  QElapsedTimer guard;
  guard.start();
  while (guard.elapsed() < 3000) {
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (window == nullptr || (window->windowHandle() != nullptr && window->windowHandle()->isExposed()))
      break;
  }
  for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

nlohmann::json rectJson(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

QRect within(const QWidget* child, const QWidget* window) {
  return QRect(child->mapTo(window, QPoint(0, 0)), child->size());
}

bool writeArea(const std::filesystem::path& folder, const std::string& name, const QRect& area,
               nlohmann::json probes) {
  const QPixmap image =
      QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  const auto png = folder / (name + ".png");
  if (!image.save(QString::fromStdString(png.string()), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", png.c_str());
    return false;
  }
  probes["window"] = rectJson(QRect(0, 0, area.width(), area.height()));
  std::ofstream(folder / (name + ".json")) << probes.dump(2) << "\n";
  std::printf("%s\n", png.c_str());
  return true;
}

// The labels of `root` drawn in a colour other than the window text (captions, values, hints),
// each with its rectangle in `window`, its text and that colour; only those wholly inside `area`.
nlohmann::json secondaryTexts(const QWidget* root, const QWidget* window, const QRect& area) {
  nlohmann::json found = nlohmann::json::array();
  for (const QLabel* label : root->findChildren<QLabel*>()) {
    if (!label->isVisibleTo(window) || label->text().isEmpty()) continue;
    const QColor ink = label->palette().color(label->foregroundRole());
    const QColor text = label->parentWidget()->palette().color(QPalette::WindowText);
    const QRect rect = within(label, window);
    if (ink == text || !area.contains(rect)) continue;
    found.push_back({{"rect", rectJson(rect)},
                     {"text", label->text().toStdString()},
                     {"colour", {ink.red(), ink.green(), ink.blue()}}});
  }
  return found;
}

bool writeShot(const std::filesystem::path& folder, const std::string& name, QWidget* window,
               nlohmann::json probes) {
  settle(window);
  return writeArea(folder, name, window->geometry(), std::move(probes));
}

std::unique_ptr<VantrelMacWindowController> makeController(const std::shared_ptr<ShotModel>& model) {
  WindowControllerEnvironment environment;
  environment.makeModel = [model] { return model; };
  environment.makeStatusItem = [] { return std::make_unique<ShotStatusItem>(); };
  environment.scheduler = held;
  environment.versionText = QString::fromStdString(AppVersion::display(shotInfo));
  environment.updater = updater;
  environment.updateBox = [controller = updater->controller()](QWidget* parent) {
    return static_cast<QWidget*>(new UpdateSettingsView(controller, shotInfo, parent));
  };
  return std::make_unique<VantrelMacWindowController>(std::move(environment));
}

// Lets the window become the active one, for a bounded time: only there does a control have the
// focus.
void waitUntilActive(QWidget* window) {
  QElapsedTimer guard;
  guard.start();
  while (!window->isActiveWindow() && guard.elapsed() < 3000)
    QApplication::processEvents(QEventLoop::AllEvents, 50);
}

}  // namespace vantrel::shots

namespace {

bool panelShot(const std::filesystem::path& folder, const std::string& name, StatusViewState state,
               bool sheet, bool openDisclosure = false, bool showLog = false) {
  StatusViewState before = state;
  if (!sheet) before.isAccountAuthenticated = false;
  auto model = std::make_shared<ShotModel>(before);
  auto controller = makeController(model);
  controller->show();
  QWidget* shown = controller->mainWindow();
  if (sheet) {
    controller->presenter()->openPanelSheet();
    shown = controller->mainWindow()->sheet();
  } else {
    model->change([&state](StatusViewState& s) { s = state; });
  }
  settle(shown);
  ConnectionPanelWidget* panel =
      sheet ? controller->mainWindow()->sheet()->panel() : controller->mainWindow()->windowPanel();
  nlohmann::json probes;
  if (openDisclosure) {
    panel->disclosureButton()->click();
    settle(shown);
    probes["directForm"] = rectJson(within(panel->disclosureContent(), shown));
    probes["scrollViewport"] = rectJson(within(panel->scrollArea()->viewport(), shown));
  }
  probes["disclosure"] = rectJson(within(panel->disclosureButton(), shown));
  if (showLog) {
    panel->scrollArea()->ensureWidgetVisible(panel->logList(), 0, 0);
    settle(shown);
  }
  probes["secondary"] = secondaryTexts(panel, shown, within(panel->scrollArea()->viewport(), shown));
  probes["log"] = rectJson(within(panel->logList(), shown));
  probes["logViewport"] = rectJson(within(panel->logList()->viewport(), shown));
  return writeShot(folder, name, shown, probes);
}

bool noticeShot(const std::filesystem::path& folder) {
  auto model = std::make_shared<ShotModel>(shots::signedIn());
  auto controller = makeController(model);
  controller->show();
  controller->mainWindow()->hide();
  controller->showAgentNoticeIfNeeded();
  AgentNoticePanel* notice = controller->agentNoticePanel();
  if (notice == nullptr) return false;
  nlohmann::json probes;
  probes["message"] = rectJson(within(notice->messageLabel(), notice));
  probes["title"] = rectJson(within(notice->titleLabel(), notice));
  probes["translucent"] = notice->isTranslucent();
  probes["screenPosition"] = {notice->x(), notice->y()};
  return writeShot(folder, "notice", notice, probes);
}

// A notice of the updater: its titled window and the alert that hangs from it, in one picture.
bool updateNoticeShot(const std::filesystem::path& folder, const std::string& name, const std::string& title,
                      const std::string& text, UpdateDialogPresenting::NoticeStyle style) {
  QtUpdateDialogPresenter presenter;
  presenter.showNotice(title, text, style, [] {});
  QWidget* host = presenter.noticeWindow();
  if (host == nullptr || presenter.openDialogs().empty()) return false;
  QWidget* alert = presenter.openDialogs().front();
  settle(host);
  settle(alert);
  const QRect area = host->geometry().united(alert->geometry());
  nlohmann::json probes;
  probes["host"] = rectJson(host->geometry().translated(-area.topLeft()));
  probes["hostTitle"] = host->windowTitle().toStdString();
  probes["alert"] = rectJson(alert->geometry().translated(-area.topLeft()));
  probes["alertModality"] = static_cast<int>(alert->windowModality());
  return writeArea(folder, name, area, probes);
}

// The update box on its own, with the symbols of its status line and badge.
bool updateBoxShot(const std::filesystem::path& folder, const std::string& name, UpdateInfo info) {
  QtMainLoop loop;
  auto adapter = shotUpdater(loop.anyExecutor(), info);
  bool ok = false;
  {
    UpdateSettingsView view(adapter->controller(), info);
    view.setFixedWidth(556);
    view.move(100, 100);
    view.show();
    settle(&view);
    nlohmann::json probes;
    probes["statusIcon"] = rectJson(within(view.statusIcon(), &view));
    probes["statusText"] = rectJson(within(view.statusLabel(), &view));
    probes["hint"] = rectJson(within(view.hint(), &view));
    probes["hintPixelSize"] = view.hint()->font().pixelSize();
    probes["busyNotePixelSize"] = view.busyNote()->font().pixelSize();
    probes["badgePixelSize"] = view.rehearsalBadge()->font().pixelSize();
    if (view.rehearsalBadge()->isVisibleTo(&view)) {
      probes["rehearsalIcon"] = rectJson(within(view.rehearsalIcon(), &view));
    }
    probes["secondary"] = secondaryTexts(&view, &view, view.rect());
    const QColor text = view.palette().color(QPalette::WindowText);
    probes["textColour"] = {text.red(), text.green(), text.blue()};
    ok = writeShot(folder, name, &view, probes);
  }
  adapter.reset();
  return ok;
}

// The tray mark at 22 px on a light and a dark panel, side by side (no tray on the private server).
bool trayMarkShot(const std::filesystem::path& folder) {
  QImage picture(88, 44, QImage::Format_RGB32);
  QPainter painter(&picture);
  painter.fillRect(QRect(0, 0, 44, 44), QColor(0xDC, 0xDA, 0xD5));
  painter.fillRect(QRect(44, 0, 44, 44), QColor(0x2B, 0x2B, 0x2B));
  painter.drawImage(11, 11, SymbolIcons::trayImage(22));
  painter.drawImage(55, 11, SymbolIcons::trayImage(22));
  painter.end();
  const auto png = folder / "tray-mark.png";
  std::printf("%s\n", png.c_str());
  return picture.save(QString::fromStdString(png.string()), "PNG");
}

bool backdropShot(const std::filesystem::path& folder) {
  LoginBackdrop backdrop;
  backdrop.setFixedSize(430, 285);
  backdrop.move(100, 100);
  backdrop.show();
  return writeShot(folder, "backdrop", &backdrop, {});
}

// Runs `body` with the program's interactive application over the real model, then the event
// loop until `body` asks it to end.
int withRealApplication(int argc, char** argv, const std::function<void(QtMainLoop&)>& body) {
  const InfoDictionary info{{"CFBundleIdentifier", "local.vantrel.VantrelMac.bench"}};
  int code = 0;
  {
    QtMainLoop loop;
    Runtime runtime(loop.anyExecutor());
    std::vector<std::string> arguments(argv, argv + argc);
    arguments.resize(1);
    auto application = InteractiveApplication::start({arguments, info, loop.anyExecutor(), runtime.executor(),
                                                      nullptr, nullptr, [&loop] { loop.requestQuit(0); }});
    if (!application) return 1;
    body(loop);
    code = QApplication::exec();
    application.reset();
    runtime.stop();
  }
  return code;
}

QWidget* statusWindow() { return VantrelMacWindowController::shared().mainWindow(); }

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  VantrelTheme::useApplicationFont();
  // Stills show where a resize ends, not a frame of its animation.
  if (qEnvironmentVariableIsEmpty("VANTREL_REDUCED_MOTION")) qputenv("VANTREL_REDUCED_MOTION", "1");
  held = std::make_shared<HeldScheduler>();
  // The still scenes' update box runs on a main loop of its own; the "-real" forms make theirs.
  std::optional<QtMainLoop> shotLoop;
  struct ReleaseUpdater {
    ~ReleaseUpdater() { updater.reset(); }  // before the loop it runs on
  } releaseUpdater;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!mode.ends_with("-real")) {
    shotLoop.emplace();
    updater = shotUpdater(shotLoop->anyExecutor());
  }
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--bench-start") {
    auto model = std::make_shared<ShotModel>(shots::emptyLogin());
    auto controller = makeController(model);
    controller->show();
    settle(controller->mainWindow());
    std::printf("start-to-shown-ms %.1f\n", shots::secondsSinceProcessStart() * 1000.0);
    return 0;
  }
  if (first == "--bench-start-real") {
    return withRealApplication(1, argv, [](QtMainLoop& loop) {
      settle(statusWindow());
      std::printf("start-to-shown-ms %.1f\n", shots::secondsSinceProcessStart() * 1000.0);
      loop.requestQuit(0);
    });
  }
  if (first == "--shot-real" && argc > 2) {
    const std::filesystem::path folder(argv[2]);
    std::filesystem::create_directories(folder);
    bool ok = false;
    withRealApplication(1, argv, [&](QtMainLoop& loop) {
      ok = writeShot(folder, "real-login", statusWindow(), {});
      loop.requestQuit(0);
    });
    return ok ? 0 : 1;
  }
  if (first == "--idle-real" && argc > 2) {
    const int seconds = std::stoi(argv[2]);
    double cpuBefore = 0;
    QElapsedTimer wall;
    const int code = withRealApplication(1, argv, [&](QtMainLoop& loop) {
      settle(statusWindow());
      statusWindow()->hide();
      settle(nullptr);
      cpuBefore = shots::cpuSeconds();
      wall.start();
      QTimer::singleShot(seconds * 1000, [&loop] { loop.requestQuit(0); });
    });
    shots::printIdle(cpuBefore, static_cast<double>(wall.elapsed()) / 1000.0);
    return code;
  }
  if (first == "--idle" && argc > 2) {
    const int seconds = std::stoi(argv[2]);
    auto model = std::make_shared<ShotModel>(shots::signedIn());
    auto controller = makeController(model);
    controller->show();
    settle(controller->mainWindow());
    controller->mainWindow()->hide();
    settle(nullptr);
    const double cpuBefore = shots::cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    QApplication::exec();
    shots::printIdle(cpuBefore, static_cast<double>(wall.elapsed()) / 1000.0);
    return 0;
  }
  if (first == "--resize-cycles" && argc > 2) {
    return resizeCycles(std::stoi(argv[2]), argc > 3 ? std::stoi(argv[3]) : 800);
  }
  if (first.empty() || first.front() == '-') {
    std::fprintf(
        stderr,
        "usage: %s <folder> | --shot-real <folder> | --bench-start[-real] | --idle[-real] <seconds> | "
        "--resize-cycles <count> [<pause ms>]\n",
        argv[0]);
    return 2;
  }
  const std::filesystem::path folder(first);
  std::filesystem::create_directories(folder);
  bool ok = loginShot(folder, "login-empty", shots::emptyLogin());
  ok = loginShot(folder, "login-busy", shots::busyLogin()) && ok;
  ok = loginShot(folder, "login-error", shots::failedLogin()) && ok;
  ok = loginShot(folder, "login-signed-in", shots::signedIn()) && ok;
  ok = panelShot(folder, "panel-window", shots::withLog(shots::signedIn(), 12), false) && ok;
  ok = panelShot(folder, "panel-sheet", shots::withLog(shots::emptyLogin(), 4), true) && ok;
  ok = panelShot(folder, "panel-log-full", shots::withLog(shots::signedIn(), 300), false, false, true) && ok;
  ok = panelShot(folder, "panel-direct-form", shots::withLog(shots::signedIn(), 12), false, true) && ok;
  ok = noticeShot(folder) && ok;
  ok = focusShots(folder) && ok;
  ok = loginShot(folder, "login-connecting", shots::signedInConnecting()) && ok;
  ok = resizeShots(folder) && ok;
  ok = updateNoticeShot(
           folder, "update-error", "업데이트를 설치하지 못했습니다",
           "현재 앱은 계속 실행됩니다. 연결·저장 공간을 확인하거나 배포 담당자에게 문의해 주세요.\n\n" +
               updater_errors::description(updater_errors::feedFailed),
           UpdateDialogPresenting::NoticeStyle::warning) &&
       ok;
  ok = updateNoticeShot(folder, "update-installed", "업데이트 설치가 완료되었습니다",
                        "다음 실행부터 새 버전을 사용합니다.",
                        UpdateDialogPresenting::NoticeStyle::informational) &&
       ok;
  UpdateInfo rehearsal = shotInfo;
  rehearsal["VNUpdateLocalRehearsal"] = true;
  ok = updateBoxShot(folder, "update-box", rehearsal) && ok;
  UpdateInfo unconfigured = shotInfo;
  unconfigured.erase("SUFeedURL");
  ok = updateBoxShot(folder, "update-box-error", unconfigured) && ok;
  ok = backdropShot(folder) && ok;
  ok = trayMarkShot(folder) && ok;
  return ok ? 0 : 1;
}
