// The login screen's scenes: the screen in a given state at rest, and a Tab walk through it.

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>

#include "ShotWindows.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/StatusWindowWidget.hpp"

namespace vantrel::shots {

namespace {

// The name a screen reader gives the control.
std::string spokenName(const QWidget* control) {
  QString name = control->accessibleName();
  if (name.isEmpty()) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) name = button->text();
  }
  return name.toStdString();
}

}  // namespace

bool loginShot(const std::filesystem::path& folder, const std::string& name, StatusViewState state) {
  auto model = std::make_shared<ShotModel>(std::move(state));
  auto controller = makeController(model);
  controller->show();
  auto* window = controller->mainWindow();
  // The login screen at rest with no control focused, as the other scenes compare it (it opens with
  // the focus in a field).
  settle(window);
  if (QWidget* opened = QApplication::focusWidget()) opened->clearFocus();
  nlohmann::json probes;
  probes["loginButton"] = rectJson(within(window->loginScreen()->loginButton(), window));
  probes["statusMessage"] = rectJson(within(window->loginScreen()->statusMessageLabel(), window));
  LoginScreenWidget* login = window->loginScreen();
  if (const QLabel* caption = login->captionOf(login->setupNameField())) {
    probes["setupNameCaption"] = rectJson(within(caption, window));
  }
  return writeShot(folder, name, window, probes);
}

// Tabs through the login screen: one picture with nothing focused, then one per Tab, each naming
// the focused control and its rectangle.
bool focusShots(const std::filesystem::path& folder) {
  auto model = std::make_shared<ShotModel>(shots::failedLogin());
  auto controller = makeController(model);
  controller->show();
  StatusWindowWidget* window = controller->mainWindow();
  waitUntilActive(window);
  settle(window);
  // The screen opens with the focus in a field; the walk starts from no focus at all, so that the
  // first Tab shows where the chain begins.
  if (QWidget* opened = QApplication::focusWidget()) opened->clearFocus();
  settle(window);
  bool ok = writeShot(folder, "login-focus-0", window, {{"focused", nullptr}});
  for (int step = 1; step <= 12; ++step) {
    QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : window;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
    settle(window);
    const QWidget* focused = QApplication::focusWidget();
    nlohmann::json probes;
    if (focused != nullptr) {
      probes["focused"] = rectJson(within(focused, window));
      probes["name"] = spokenName(focused);
    }
    for (const FocusRing* ring : window->findChildren<FocusRing*>()) {
      if (ring->isVisible()) probes["ring"] = rectJson(ring->geometry());
    }
    // Every other control the focus can reach: the ring must leave them as they were.
    probes["others"] = nlohmann::json::array();
    for (const QWidget* control : window->findChildren<QWidget*>()) {
      if (control != focused && control->isVisible() && (control->focusPolicy() & Qt::TabFocus) != 0) {
        probes["others"].push_back(rectJson(within(control, window)));
      }
    }
    ok = writeShot(folder, "login-focus-" + std::to_string(step), window, probes) && ok;
  }
  return ok;
}
}  // namespace vantrel::shots
