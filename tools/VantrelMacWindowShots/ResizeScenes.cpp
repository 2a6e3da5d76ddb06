// The status window's animated resizes: frames held half way for the stills, and grow and shrink
// cycles for a screen recording under a window manager.

#include <cstdio>

#include "ShotWindows.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/StatusWindowWidget.hpp"
#include "UI/WindowChrome.hpp"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QVariantAnimation>

namespace vantrel::shots {

namespace {

// The signed-in scene before its sign-in is known: the login screen, about to grow to the panel.
StatusViewState beforeSignIn() {
  StatusViewState state = signedIn();
  state.isAccountAuthenticated = false;
  return state;
}

// The resize running on `window` held half way: the frame a user sees in the middle of it.
bool holdResizeHalfWay(QWidget* window) {
  QElapsedTimer guard;
  guard.start();
  QVariantAnimation* animation = nullptr;
  while (animation == nullptr && guard.elapsed() < 3000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    animation = WindowContentResizer::runningAnimation(window);
  }
  if (animation == nullptr) {
    std::fprintf(stderr, "no resize runs\n");
    return false;
  }
  animation->pause();
  animation->setCurrentTime(animation->duration() / 2);
  // The window takes the size once the window system has given it.
  const QSize half = animation->currentValue().toRect().size();
  guard.restart();
  while (window->size() != half && guard.elapsed() < 3000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  settle(window);
  return true;
}

}  // namespace

// One frame half way through each animated resize: the sign-in grow (the model announcing its
// steps one after another) and the shrink back to the login screen with a control focused.
bool resizeShots(const std::filesystem::path& folder) {
  const QByteArray motion = qgetenv("VANTREL_REDUCED_MOTION");
  bool ok = true;
  {
    qputenv("VANTREL_REDUCED_MOTION", "0");
    auto model = std::make_shared<ShotModel>(shots::busyLogin());
    auto controller = makeController(model);
    controller->show();
    StatusWindowWidget* window = controller->mainWindow();
    settle(window);
    // No control focused, as the login screen at rest it is compared with.
    if (QWidget* opened = QApplication::focusWidget()) opened->clearFocus();
    const std::string busyStatus = model->state().accountLoginStatus;
    model->change([&busyStatus](StatusViewState& s) {
      s = shots::signedInConnecting();
      s.accountLoginStatus = busyStatus;
    });
    model->change([](StatusViewState& s) { s = shots::signedInConnecting(); });
    ok = holdResizeHalfWay(window) && ok;
    LoginScreenWidget* login = window->loginScreen();
    nlohmann::json probes;
    probes["page"] = rectJson(within(login, window));
    probes["statusMessage"] = login->statusMessage().toStdString();
    ok = writeArea(folder, "login-grow-middle", window->geometry(), probes) && ok;
  }
  {
    // Signed in: the window turns to the panel at once, then goes back to the login screen.
    qputenv("VANTREL_REDUCED_MOTION", "1");
    auto model = std::make_shared<ShotModel>(beforeSignIn());
    auto controller = makeController(model);
    controller->show();
    StatusWindowWidget* window = controller->mainWindow();
    model->change([](StatusViewState& s) { s = shots::signedIn(); });
    settle(window);
    qputenv("VANTREL_REDUCED_MOTION", "0");
    controller->presenter()->closePanel(false);
    QApplication::processEvents();
    waitUntilActive(window);
    QWidget* focused = window->loginScreen()->permissionsFooterButton();
    focused->setFocus(Qt::TabFocusReason);
    ok = holdResizeHalfWay(window) && ok;
    nlohmann::json probes;
    probes["page"] = rectJson(within(window->loginScreen(), window));
    probes["focused"] = rectJson(within(focused, window));
    for (const FocusRing* ring : window->findChildren<FocusRing*>()) {
      if (ring->isVisible()) probes["ring"] = rectJson(ring->geometry());
    }
    ok = writeArea(folder, "login-shrink-middle", window->geometry(), probes) && ok;
  }
  qputenv("VANTREL_REDUCED_MOTION", motion);
  return ok;
}

// Sign-in grows and panel-close shrinks, one every `pause` ms, animated whatever the desktop asks;
// each step is announced on stdout as it starts, with the milliseconds since the first.
int resizeCycles(int count, int pause) {
  qputenv("VANTREL_REDUCED_MOTION", "0");
  auto model = std::make_shared<ShotModel>(beforeSignIn());
  auto controller = makeController(model);
  controller->show();
  settle(controller->mainWindow());
  QElapsedTimer clock;
  int step = 0;
  QTimer timer;
  timer.setInterval(pause);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (step == 2 * count) {
      QApplication::quit();
      return;
    }
    if (step == 0) clock.start();
    const bool grow = step % 2 == 0;
    std::printf("%lld %s %d\n", static_cast<long long>(clock.elapsed()), grow ? "grow" : "shrink",
                step / 2 + 1);
    std::fflush(stdout);
    if (grow) {
      model->change([](StatusViewState& s) { s.isAccountAuthenticated = false; });
      model->change([](StatusViewState& s) { s = shots::signedIn(); });
    } else {
      controller->presenter()->closePanel(false);
    }
    ++step;
  });
  timer.start();
  return QApplication::exec();
}

}  // namespace vantrel::shots
