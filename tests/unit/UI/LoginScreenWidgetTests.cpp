#include <gtest/gtest.h>

#include "UI/AgentNoticePanel.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/StatusWindowWidget.hpp"
#include "UI/SymbolIcons.hpp"
#include "UI/VantrelTheme.hpp"

#include <QAccessible>
#include <QCheckBox>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QVariantAnimation>

#include "support/FakeStatusModel.hpp"
#include "support/HeldResize.hpp"
#include "support/ManualDelayScheduler.hpp"
#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

using testing::FakeStatusModel;
using testing::ManualDelayScheduler;

struct LoginWidgetFixture : ::testing::Test, testing::StatusWindowBench {
  std::unique_ptr<StatusWindowWidget> window;

  void SetUp() override {
    testing::uiApp();
    makePresenter();
    window = std::make_unique<StatusWindowWidget>(*presenter, QStringLiteral("v1.0.0"), UpdateBoxFactory{});
    window->show();
    QApplication::setActiveWindow(window.get());
    testing::processQueued();
  }
  void TearDown() override {
    window.reset();
    presenter.reset();
  }
  LoginScreenWidget& login() { return *window->loginScreen(); }
  QVariantAnimation* heldResize() { return testing::heldResize(window.get()); }
  // Runs a window resize to its end at once (its animation is driven by hand, not waited for).
  void finishResize() {
    testing::processQueued();
    if (QVariantAnimation* animation = WindowContentResizer::runningAnimation(window.get()))
      animation->setCurrentTime(animation->duration());
    testing::processQueued();
  }
};

TEST_F(LoginWidgetFixture, FreshWindowHasTheLoginButtonDisabledAtReducedOpacity) {
  EXPECT_EQ(window->size(), QSize(430, 285));
  EXPECT_FALSE(login().loginButton()->isEnabled());
  EXPECT_DOUBLE_EQ(login().loginButton()->opacity(), 0.62);
  EXPECT_TRUE(login().passwordField()->text().isEmpty());
  EXPECT_EQ(login().passwordField()->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(login().autoLoginBox()->isChecked());
  EXPECT_EQ(login().loginButton()->text(), QStringLiteral("LOG IN"));
}

TEST_F(LoginWidgetFixture, TypingEnablesTheButtonAndBlanksDoNot) {
  QTest::keyClicks(login().accountField(), "   ");
  QTest::keyClicks(login().passwordField(), "b");
  EXPECT_FALSE(login().loginButton()->isEnabled());
  QTest::mouseClick(login().loginButton(), Qt::LeftButton);
  EXPECT_EQ(model->count("loginAndConnect"), 0);
  login().accountField()->clear();
  QTest::keyClicks(login().accountField(), "a");
  EXPECT_TRUE(login().loginButton()->isEnabled());
  QTest::mouseClick(login().loginButton(), Qt::LeftButton);
  EXPECT_EQ(model->count("loginAndConnect"), 1);
  EXPECT_DOUBLE_EQ(login().loginButton()->opacity(), 1.0);
  EXPECT_EQ(model->current.accountID, "a");
  EXPECT_EQ(model->current.accountPassword, "b");
}

TEST_F(LoginWidgetFixture, ReturnMovesFocusOrSubmitsOrDoesNothing) {
  login().accountField()->setFocus();
  QTest::keyClick(login().accountField(), Qt::Key_Return);
  EXPECT_TRUE(login().passwordField()->hasFocus());
  // Return in PASSWORD with an empty ID is ignored.
  QTest::keyClick(login().passwordField(), Qt::Key_Return);
  EXPECT_EQ(model->count("loginAndConnect"), 0);
  QTest::keyClicks(login().accountField(), "acct");
  QTest::keyClicks(login().passwordField(), "pw");
  QTest::keyClick(login().passwordField(), Qt::Key_Return);
  EXPECT_EQ(model->count("loginAndConnect"), 1);
  login().setupNameField()->setFocus();
  QTest::keyClick(login().setupNameField(), Qt::Key_Return);
  EXPECT_TRUE(login().setupNameField()->hasFocus());
  login().clientNumberField()->setFocus();
  QTest::keyClick(login().clientNumberField(), Qt::Key_Return);
  EXPECT_TRUE(login().clientNumberField()->hasFocus());
  EXPECT_EQ(model->count("loginAndConnect"), 1);
}

// The sign-in is rejected the way the model does it: busy first, then the error with the
// password cleared.
void rejectSignIn(FakeStatusModel& model) {
  model.change([](StatusViewState& s) {
    s.isAccountLoginBusy = true;
    s.canAccountLogin = false;
  });
  model.change([](StatusViewState& s) {
    s.isAccountLoginBusy = false;
    s.accountPassword.clear();
    s.accountLoginError = "Account ID or password is incorrect.";
  });
}

// However LOG IN was pressed, the focus waits in the emptied PASSWORD after a rejection: the
// retyped password lands there, and its space presses nothing.
TEST_F(LoginWidgetFixture, ARejectedSignInLeavesTheFocusInPasswordHoweverLogInWasPressed) {
  enum class Press { click, space, returnInPassword };
  for (const Press press : {Press::click, Press::space, Press::returnInPassword}) {
    SCOPED_TRACE(static_cast<int>(press));
    login().accountField()->setText(QString());
    QTest::keyClicks(login().accountField(), "demo");
    QTest::keyClicks(login().passwordField(), "my pass");
    const int before = model->count("loginAndConnect");
    if (press == Press::click) {
      QTest::mouseClick(login().loginButton(), Qt::LeftButton);
      ASSERT_TRUE(login().loginButton()->hasFocus());  // a click takes the focus, as on screen
    } else if (press == Press::space) {
      login().loginButton()->setFocus(Qt::TabFocusReason);
      QTest::keyClick(login().loginButton(), Qt::Key_Space);
    } else {
      QTest::keyClick(login().passwordField(), Qt::Key_Return);
    }
    ASSERT_EQ(model->count("loginAndConnect"), before + 1);
    rejectSignIn(*model);
    testing::processQueued();
    EXPECT_EQ(QApplication::focusWidget(), login().passwordField());
    EXPECT_TRUE(login().passwordField()->text().isEmpty());
    QTest::keyClicks(QApplication::focusWidget(), "my pass");
    EXPECT_EQ(login().passwordField()->text(), QStringLiteral("my pass"));
    EXPECT_EQ(model->current.accountPassword, "my pass");
    EXPECT_FALSE(presenter->showSettings());
    EXPECT_FALSE(window->sheet()->isVisible());
  }
}

// The form names what the program uses on this computer, not a Mac's facilities.
TEST_F(LoginWidgetFixture, TheFormSpeaksOfThisComputerAndItsEncryptedLoginFile) {
  EXPECT_EQ(login().setupNameField()->placeholderText(), QStringLiteral("This computer"));
  EXPECT_EQ(
      login().autoLoginBox()->toolTip(),
      QStringLiteral("Save an encrypted login file in your home folder for automatic sign-in. No password "
                     "prompt; files readable as your user can be decrypted."));
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    for (const QString& text : {widget->toolTip(), widget->accessibleName()}) {
      EXPECT_FALSE(text.contains(QStringLiteral("Keychain"))) << text.toStdString();
      EXPECT_FALSE(text.contains(QStringLiteral("This Mac"))) << text.toStdString();
    }
  }
}

TEST_F(LoginWidgetFixture, BusyLoginShowsTheSpinnerAndStaysOpaqueButDisabled) {
  model->change([](StatusViewState& s) {
    s.isAccountLoginBusy = true;
    s.canAccountLogin = false;
    s.accountLoginStatus = "Signing in";
  });
  EXPECT_FALSE(login().loginButton()->isEnabled());
  EXPECT_DOUBLE_EQ(login().loginButton()->opacity(), 1.0);
  EXPECT_TRUE(login().loginButton()->showsSpinner());
  EXPECT_EQ(login().loginButton()->text(), QStringLiteral("LOGGING\nIN"));
  EXPECT_EQ(login().statusMessage(), QStringLiteral("Signing in"));
}

TEST_F(LoginWidgetFixture, ErrorShowsTheYellowWarning) {
  model->change([](StatusViewState& s) { s.accountLoginError = "Password must not be empty."; });
  EXPECT_EQ(login().statusSymbolLabel()->symbol(), StatusSymbol::exclamationmarkTriangleFill);
  EXPECT_EQ(login().statusSymbolLabel()->colour(), QColor(255, 204, 0));
  EXPECT_EQ(login().statusMessageLabel()->text(), QStringLiteral("Password must not be empty."));
}

// A screen reader hears the status line once: its whole text as the name, cut or not, and no
// description. The tooltip shows the whole text only while the line is cut, also when a change of
// width cuts it or lets it show whole.
TEST_F(LoginWidgetFixture, TheStatusLineIsReadWholeOnceAndHasATooltipOnlyWhileCut) {
  ElidedLabel* line = login().statusMessageLabel();
  QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(line);
  ASSERT_NE(spoken, nullptr);
  // The tooltip shown when the pointer rests on the line; "" when none is.
  const auto hovered = [line] {
    // Gone at once: QToolTip::hideText lets a shown tip linger for a moment.
    for (QWidget* shown : QApplication::topLevelWidgets()) {
      if (shown->objectName() == QLatin1String("qtooltip_label")) shown->hide();
    }
    QHelpEvent rest(QEvent::ToolTip, line->rect().center(), line->mapToGlobal(line->rect().center()));
    QApplication::sendEvent(line, &rest);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
  };
  struct Look {
    const char* what;
    bool cut;
  };
  const QString full =
      QStringLiteral("The login server could not be reached: ") + QString(120, QLatin1Char('x'));
  const auto expectRead = [&](const Look& look, const QString& whole) {
    SCOPED_TRACE(look.what);
    EXPECT_EQ(line->text() != whole, look.cut) << line->text().toStdString();
    EXPECT_EQ(line->text().endsWith(QChar(0x2026)), look.cut);
    EXPECT_EQ(spoken->text(QAccessible::Name).toStdString(), whole.toStdString());
    EXPECT_EQ(spoken->text(QAccessible::Description).toStdString(), "");
    EXPECT_EQ(hovered().toStdString(), look.cut ? whole.toStdString() : "");
  };

  model->change([](StatusViewState& s) { s.accountLoginError = "Not signed in"; });
  expectRead({"short, whole", false}, QStringLiteral("Not signed in"));
  model->change([&full](StatusViewState& s) { s.accountLoginError = full.toStdString(); });
  expectRead({"long, cut", true}, full);
  // The same text on a line wide enough for it, then on a narrow one again.
  line->resize(QFontMetrics(line->font()).horizontalAdvance(full) + 40, line->height());
  expectRead({"long on a wide line, whole", false}, full);
  line->resize(120, line->height());
  expectRead({"long on a narrow line, cut", true}, full);
  QToolTip::hideText();
}

TEST_F(LoginWidgetFixture, EditsPersistButPasswordAndProgrammaticChangesDoNot) {
  QTest::keyClicks(login().passwordField(), "secret");
  EXPECT_EQ(model->count("persistAccountLoginSettings"), 0);
  model->change([](StatusViewState& s) { s.accountID = "loaded"; });
  EXPECT_EQ(login().accountField()->text(), QStringLiteral("loaded"));
  EXPECT_EQ(model->count("persistAccountLoginSettings"), 0);
  QTest::keyClicks(login().setupNameField(), "x");
  QTest::keyClicks(login().clientNumberField(), "3");
  QTest::mouseClick(login().autoLoginBox(), Qt::LeftButton);
  EXPECT_EQ(model->count("persistAccountLoginSettings"), 3);
  EXPECT_FALSE(model->current.rememberAccountID);
}

TEST_F(LoginWidgetFixture, FiveWaysIntoTheSheetAndOutAgain) {
  model->change([](StatusViewState& s) { s.permissions = {true, true}; });
  EXPECT_FALSE(login().permissionLink()->isVisible()) << "the link shows only while a grant is missing";
  model->change([](StatusViewState& s) { s.permissions = {true, false}; });
  ASSERT_TRUE(login().permissionLink()->isVisible());
  const std::vector<QAbstractButton*> ways = {login().gearButton(), login().questionButton(),
                                              login().permissionLink(), login().permissionsFooterButton(),
                                              login().connectionLogFooterButton()};
  for (QAbstractButton* way : ways) {
    QTest::mouseClick(way, Qt::LeftButton);
    EXPECT_TRUE(window->sheet()->isVisible()) << way->text().toStdString();
    EXPECT_EQ(window->sheet()->panel()->closeButton()->text(), QStringLiteral("Done"));
    QTest::mouseClick(window->sheet()->panel()->closeButton(), Qt::LeftButton);
    EXPECT_FALSE(window->sheet()->isVisible());
  }
  // Escape closes the sheet like its button.
  QTest::mouseClick(login().gearButton(), Qt::LeftButton);
  ASSERT_TRUE(window->sheet()->isVisible());
  QTest::keyClick(window->sheet()->panel()->closeButton(), Qt::Key_Escape);
  EXPECT_FALSE(window->sheet()->isVisible());
  EXPECT_FALSE(presenter->showSettings());
}

TEST_F(LoginWidgetFixture, ThePageOnShowStaysWholeWhileTheWindowChangesSize) {
  const testing::ReducedMotion moving("0");
  window->move(300, 200);
  testing::processQueued();
  // The page on screen, and where it lies in the window.
  const auto shown = [&]() -> QWidget* {
    return window->showsConnectionPanel() ? static_cast<QWidget*>(window->windowPanel())
                                          : static_cast<QWidget*>(window->loginScreen());
  };
  const auto expectWholeThroughout = [&](const char* change, QWidget* endPage, QSize end) {
    QVariantAnimation* animation = heldResize();
    ASSERT_NE(animation, nullptr) << change;
    for (const int step : {1, 2, 3, 4, 5, 6, 7}) {
      animation->setCurrentTime(animation->duration() * step / 8);
      testing::processQueued(1);
      QWidget* page = shown();
      const QRect onWindow(page->mapTo(window.get(), QPoint(0, 0)), page->size());
      // Nothing of the page is cut at the window's edge, and it is laid out at its own size.
      EXPECT_TRUE(window->rect().contains(onWindow))
          << change << " at " << step << "/8: page " << onWindow.x() << "," << onWindow.y() << " "
          << onWindow.width() << "x" << onWindow.height() << " in " << window->width() << "x"
          << window->height();
      EXPECT_EQ(page->size(), page->minimumSize()) << change;
      // Centred, as the window keeps its centre.
      EXPECT_LE((onWindow.center() - window->rect().center()).manhattanLength(), 2)
          << change << " at " << step;
    }
    animation->setCurrentTime(animation->duration());
    testing::processQueued();
    // At the end the new page fills the window.
    EXPECT_EQ(shown(), endPage) << change;
    EXPECT_EQ(window->size(), end) << change;
    EXPECT_EQ(QRect(endPage->mapTo(window.get(), QPoint(0, 0)), endPage->size()), window->rect()) << change;
  };
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
  });
  expectWholeThroughout("grow to the panel", window->windowPanel(), QSize(620, 680));
  QTest::keyClick(window->windowPanel()->closeButton(), Qt::Key_Escape);
  expectWholeThroughout("shrink to the login screen", window->loginScreen(), QSize(430, 285));
}

// The rectangle the ring of `control` covers in its window: just outside the control.
QRect ringAround(const QWidget* control) {
  const int out = FocusRing::gap + FocusRing::width;
  return QRect(control->mapTo(control->window(), QPoint(0, 0)), control->size())
      .adjusted(-out, -out, out, out);
}

// The ring that is on show (null when none is).
FocusRing* shownRing(const QWidget* window) {
  for (FocusRing* ring : window->findChildren<FocusRing*>()) {
    if (ring->isVisible()) return ring;
  }
  return nullptr;
}

TEST_F(LoginWidgetFixture, TheFocusRingStaysOnItsControlWhileTheWindowChangesSize) {
  const testing::ReducedMotion moving("0");
  window->move(300, 200);
  testing::processQueued();
  QWidget* focused = login().permissionsFooterButton();
  // Each frame of a resize: the ring is around its control, and it is drawn there.
  const auto expectRingOnItsControl = [&](const char* change, int step) {
    FocusRing* ring = shownRing(window.get());
    ASSERT_NE(ring, nullptr) << change << " at " << step;
    EXPECT_EQ(ring->control(), focused);
    EXPECT_EQ(ring->geometry(), ringAround(focused))
        << change << " at " << step << "/8: ring at " << ring->geometry().x() << "," << ring->geometry().y()
        << ", control's ring belongs at " << ringAround(focused).x() << "," << ringAround(focused).y();
    const QImage frame = window->grab().toImage();
    const QRect around = ringAround(focused);
    // The middle of the ring's top and bottom strokes, in the window's picture.
    for (const QPoint stroke : {QPoint(around.center().x(), around.top() + FocusRing::width / 2),
                                QPoint(around.center().x(), around.bottom() - FocusRing::width / 2)}) {
      const QColor seen = frame.pixelColor(stroke * frame.devicePixelRatio());
      EXPECT_EQ(seen.name(), loginFocusRingColour().name())
          << change << " at " << step << ": pixel " << stroke.x() << "," << stroke.y();
    }
  };
  focused->setFocus(Qt::TabFocusReason);
  testing::processQueued();
  expectRingOnItsControl("at rest", 0);
  // Signed in: the window grows with the login page on show, centred in it.
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
  });
  QVariantAnimation* grow = heldResize();
  ASSERT_NE(grow, nullptr);
  for (const int step : {1, 3, 5, 7}) {
    grow->setCurrentTime(grow->duration() * step / 8);
    testing::processQueued(1);
    ASSERT_FALSE(window->showsConnectionPanel());
    expectRingOnItsControl("grow", step);
  }
  grow->setCurrentTime(grow->duration());
  testing::processQueued();
  ASSERT_TRUE(window->showsConnectionPanel());
  // Back to the login screen: the page comes at once, the window shrinks around it.
  QTest::keyClick(window->windowPanel()->closeButton(), Qt::Key_Escape);
  QVariantAnimation* shrink = heldResize();
  ASSERT_NE(shrink, nullptr);
  shrink->setCurrentTime(shrink->duration() / 8);
  testing::processQueued(1);
  focused->setFocus(Qt::TabFocusReason);
  testing::processQueued(1);
  for (const int step : {2, 4, 6}) {
    shrink->setCurrentTime(shrink->duration() * step / 8);
    testing::processQueued(1);
    expectRingOnItsControl("shrink", step);
  }
  shrink->setCurrentTime(shrink->duration());
  testing::processQueued();
  expectRingOnItsControl("after the shrink", 8);
}

TEST_F(LoginWidgetFixture, TheLoginPageShowsOneStateWhileTheWindowGrowsToThePanel) {
  const testing::ReducedMotion moving("0");
  window->move(300, 200);
  model->change([](StatusViewState& s) {
    s.isAccountLoginBusy = true;
    s.accountLoginStatus = "Signing in\u2026";
  });
  testing::processQueued();
  // The model announces each step of a sign-in: signed in first, its status line a moment later,
  // in the same turn of the event loop.
  model->change([](StatusViewState& s) {
    s.isAccountLoginBusy = false;
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::connecting;
  });
  model->change(
      [](StatusViewState& s) { s.accountLoginStatus = "Signed in \u2014 connecting through server route"; });
  QVariantAnimation* grow = heldResize();
  ASSERT_NE(grow, nullptr);
  // Every part of the page on show says what the model says now.
  const auto expectTheModelsState = [&](const char* moment) {
    ASSERT_FALSE(window->showsConnectionPanel()) << moment;
    const LoginScreenLook look = LoginScreenPresenter::look(model->current);
    EXPECT_EQ(login().statusMessage().toStdString(), look.statusMessage) << moment;
    EXPECT_EQ(login().connectionDotLabel()->text().toStdString(), look.connectionDotText) << moment;
    EXPECT_EQ(login().loginButton()->text().toStdString(), look.buttonTitle) << moment;
    EXPECT_EQ(login().loginButton()->showsSpinner(), look.buttonShowsSpinner) << moment;
    EXPECT_EQ(login().statusSymbolLabel()->symbol(), look.statusSymbol) << moment;
  };
  grow->setCurrentTime(grow->duration() / 4);
  testing::processQueued(1);
  expectTheModelsState("a quarter into the grow");
  // The manager answers while the window still grows.
  model->change([](StatusViewState& s) {
    s.connectionState = DirectAuthState::authenticated;
    s.managerConnectionsLabel = "1/1 managers";
  });
  grow->setCurrentTime(grow->duration() / 2);
  testing::processQueued(1);
  expectTheModelsState("half way through the grow");
  EXPECT_EQ(login().statusMessage(), QStringLiteral("Signed in \u2022 1/1 managers"));
  grow->setCurrentTime(grow->duration());
  testing::processQueued();
  EXPECT_TRUE(window->showsConnectionPanel());
}

// The offscreen screen (800 x 800) is too narrow for the panel around the login window's centre:
// the panel opens inside the screen's area, and closing it brings the login window back around the
// panel's centre, where it fits.
TEST_F(LoginWidgetFixture, SignInSwitchesToThePanelAt620By680InsideTheScreenAndBackAroundItsCentre) {
  window->move(300, 200);
  testing::processQueued();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
  });
  finishResize();
  EXPECT_TRUE(window->showsConnectionPanel());
  EXPECT_EQ(window->size(), QSize(620, 680));
  EXPECT_EQ(window->minimumSize(), QSize(620, 680));
  EXPECT_EQ(window->maximumSize(), QSize(620, 680));
  const QRect panel = window->frameGeometry();
  EXPECT_TRUE(area.contains(panel)) << panel.x() << "," << panel.y() << " " << panel.width() << "x"
                                    << panel.height();
  EXPECT_EQ(panel.right(), area.right());  // moved left only as far as needed
  const QPoint centre = panel.center();
  EXPECT_EQ(window->windowPanel()->closeButton()->text(), QStringLiteral("Login Screen"));
  QTest::keyClick(window->windowPanel()->closeButton(), Qt::Key_Escape);
  finishResize();
  EXPECT_FALSE(window->showsConnectionPanel());
  EXPECT_EQ(window->size(), QSize(430, 285));
  EXPECT_LE((window->frameGeometry().center() - centre).manhattanLength(), 2);
  // Signed in with the manager up: the status line and the button say so.
  EXPECT_EQ(login().statusMessage(), QStringLiteral("Signed in \u2022 0/1 managers"));
  EXPECT_EQ(login().loginButton()->text(), QStringLiteral("LOG IN\nAGAIN"));
}

TEST_F(LoginWidgetFixture, CaptionsNameTheirFieldsAndTheLogoIsHiddenFromAssistiveTechnology) {
  const std::pair<QLineEdit*, const char*> rows[] = {{login().accountField(), "ID"},
                                                     {login().passwordField(), "PASSWORD"},
                                                     {login().setupNameField(), "SETUP NAME"},
                                                     {login().clientNumberField(), "CLIENT NUM"}};
  for (const auto& [field, title] : rows) {
    const QLabel* caption = login().captionOf(field);
    ASSERT_NE(caption, nullptr) << title;
    EXPECT_EQ(caption->text(), QString::fromUtf8(title));
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(field);
    ASSERT_NE(spoken, nullptr);
    EXPECT_EQ(spoken->text(QAccessible::Name), QString::fromUtf8(title));
  }
  for (QWidget* control : std::initializer_list<QWidget*>{login().gearButton(), login().autoLoginBox(),
                                                          login().loginButton(), login().questionButton()}) {
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty());
  }
  QAccessibleInterface* logo = QAccessible::queryAccessibleInterface(login().logo());
  ASSERT_NE(logo, nullptr);
  EXPECT_TRUE(logo->state().invisible);
  EXPECT_TRUE(logo->text(QAccessible::Name).isEmpty());
  EXPECT_EQ(login().logo()->focusPolicy(), Qt::NoFocus);
}

TEST_F(LoginWidgetFixture, TabFollowsTheReadingOrderAndTheFocusedControlWearsARing) {
  std::vector<QWidget*> order{login().gearButton(),
                              login().autoLoginBox(),
                              login().accountField(),
                              login().passwordField(),
                              login().setupNameField(),
                              login().clientNumberField(),
                              login().questionButton(),
                              login().permissionLink(),
                              login().permissionsFooterButton(),
                              login().connectionLogFooterButton()};
  // The LOG IN button is disabled while the form is empty: not a stop then. The permission link
  // is one only while it is shown.
  ASSERT_FALSE(login().loginButton()->isEnabled());
  if (!login().permissionLink()->isVisible()) std::erase(order, login().permissionLink());
  QWidget* at = order.front();
  for (std::size_t i = 1; i < order.size(); ++i) {
    at = at->nextInFocusChain();
    while (!(at->focusPolicy() & Qt::TabFocus) || !at->isVisible() || !at->isEnabled())
      at = at->nextInFocusChain();
    EXPECT_EQ(at, order[i]) << i;
  }
  for (QWidget* control : order) {
    control->setFocus(Qt::TabFocusReason);
    testing::processQueued();
    FocusRing* shown = nullptr;
    for (FocusRing* ring : window->findChildren<FocusRing*>()) {
      if (ring->isVisible()) {
        EXPECT_EQ(shown, nullptr) << "one ring at a time: "
                                  << ring->control()->accessibleName().toStdString();
        shown = ring;
      }
    }
    ASSERT_NE(shown, nullptr) << control->accessibleName().toStdString();
    EXPECT_EQ(shown->control(), control);
    // Around the control, just outside it; CLIENT NUM and "?" touch, and there each ring keeps
    // to its own control.
    const QRect around(control->mapTo(window.get(), QPoint(0, 0)), control->size());
    const int out = FocusRing::gap + FocusRing::width;
    const QMargins reach = control == login().clientNumberField() ? QMargins(out, out, 0, out)
                           : control == login().questionButton()  ? QMargins(0, out, out, out)
                                                                  : QMargins(out, out, out, out);
    EXPECT_EQ(shown->geometry(), around.marginsAdded(reach)) << control->accessibleName().toStdString();
    for (QWidget* other : order) {
      if (other == control || !other->isVisible()) continue;
      const QRect theirs(other->mapTo(window.get(), QPoint(0, 0)), other->size());
      EXPECT_FALSE(shown->geometry().intersects(theirs))
          << control->accessibleName().toStdString() << " ring over "
          << other->accessibleName().toStdString();
    }
  }
  window->setFocus();
  testing::processQueued();
  for (FocusRing* ring : window->findChildren<FocusRing*>()) EXPECT_FALSE(ring->isVisible());
}

// `view` (showing the application icon `side` pixels square, centred) painted into an image of
// `scale` device pixels per pixel matches the artwork drawn straight at that density: no 1×
// rendering blown up, with its soft edges.
void expectArtworkDrawnAtDensity(QWidget* view, int side, qreal scale) {
  QImage painted(view->size() * scale, QImage::Format_ARGB32_Premultiplied);
  painted.setDevicePixelRatio(scale);
  painted.fill(Qt::transparent);
  view->render(&painted, QPoint(), QRegion(), QWidget::DrawChildren);
  QImage reference(painted.size(), QImage::Format_ARGB32_Premultiplied);
  reference.fill(Qt::transparent);
  {
    QPainter painter(&reference);
    painter.setRenderHint(QPainter::Antialiasing);
    QSvgRenderer artwork(QStringLiteral(":/VantrelMac/VantrelMacIcon.svg"));
    ASSERT_TRUE(artwork.isValid());
    const QPoint at((view->width() - side) / 2, (view->height() - side) / 2);  // whole pixels
    const QPointF corner(at.x() * scale, at.y() * scale);
    artwork.render(&painter, QRectF(corner, QSizeF(side, side) * scale));
  }
  int worst = 0;
  int differing = 0;
  for (int y = 0; y < reference.height(); ++y) {
    for (int x = 0; x < reference.width(); ++x) {
      const QRgb a = painted.pixel(x, y);
      const QRgb b = reference.pixel(x, y);
      const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
      worst = std::max(worst, d);
      differing += d > 24;
    }
  }
  EXPECT_LE(worst, 24) << side << " px at " << scale << "x: " << differing
                       << " pixels differ by more than 24";
}

TEST_F(LoginWidgetFixture, TheLogoAndTheNoticeIconAreDrawnAtTheDevicePixelRatio) {
  (void)SymbolIcons::applicationIcon();  // makes the artwork's resource available
  AgentNoticePanel notice(false, nullptr);
  // Beside the application's name, the artwork is decoration that screen readers skip.
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(notice.iconLabel())->state().invisible);
  for (const qreal scale : {1.0, 2.0, 3.0}) {
    expectArtworkDrawnAtDensity(login().logo(), 44, scale);
    expectArtworkDrawnAtDensity(notice.iconLabel(), 28, scale);
  }
}

TEST(CaptionFont, ATooWideCaptionIsTightenedUntilItFits) {
  testing::uiApp();
  const QFont font = VantrelTheme::font(11, QFont::DemiBold);
  const QString title = QStringLiteral("SETUP NAME");
  const double natural = QFontMetricsF(font).horizontalAdvance(title);
  // A column a little narrower than the text: the letters come closer until it fits.
  const int narrow = static_cast<int>(std::floor(natural)) - 2;
  const QFont fitted = fittedCaptionFont(font, title, narrow);
  EXPECT_LE(QFontMetricsF(fitted).horizontalAdvance(title), narrow);
  EXPECT_LT(fitted.letterSpacing(), 0);
  EXPECT_EQ(fitted.pixelSize(), 11);  // the size stays
  // A text that fits is left alone.
  EXPECT_EQ(fittedCaptionFont(font, QStringLiteral("ID"), captionColumnWidth).letterSpacing(), 0);
  // Never more than a pixel per letter, however narrow the column.
  EXPECT_GE(fittedCaptionFont(font, title, 10).letterSpacing(), -1.05);
}

TEST_F(LoginWidgetFixture, AppearingStartsTheModelAndRefreshesWithoutStopping) {
  EXPECT_EQ(model->count("start"), 1);
  EXPECT_EQ(model->count("refreshDisplays"), 1);
  window->hide();
  window->show();
  EXPECT_EQ(model->count("stop"), 0);
  EXPECT_EQ(model->count("refreshDisplays"), 2);
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST(LoginWidgetFresh, AutoLoginReflectsTheSavedSwitchAndThePasswordIsNeverPrefilled) {
  testing::uiApp();
  testing::StatusWindowBench bench;
  bench.model->current.rememberAccountID = false;
  bench.model->current.accountID = "saved";
  StatusWindowWidget window(bench.makePresenter(), QStringLiteral("v1.0.0"), UpdateBoxFactory{});
  window.show();
  EXPECT_FALSE(window.loginScreen()->autoLoginBox()->isChecked());
  EXPECT_EQ(window.loginScreen()->accountField()->text(), QStringLiteral("saved"));
  EXPECT_TRUE(window.loginScreen()->passwordField()->text().isEmpty());
  EXPECT_FALSE(window.loginScreen()->loginButton()->isEnabled());
}

// The login window opens with the focus in its first empty field, ready for typing: ID on a
// fresh install, PASSWORD when the ID was remembered. The first Tab still walks from there.
TEST(LoginWidgetFresh, TheWindowOpensWithTheFocusInTheFirstEmptyField) {
  testing::uiApp();
  for (const std::string saved : {"", "saved"}) {
    testing::StatusWindowBench bench;
    bench.model->current.accountID = saved;
    StatusWindowWidget window(bench.makePresenter(), QStringLiteral("v1.0.0"), UpdateBoxFactory{});
    window.show();
    QApplication::setActiveWindow(&window);
    testing::processQueued();
    QLineEdit* expected =
        saved.empty() ? window.loginScreen()->accountField() : window.loginScreen()->passwordField();
    EXPECT_EQ(QApplication::focusWidget(), expected) << saved;
    EXPECT_EQ(window.loginScreen()->firstEmptyField(), expected) << saved;
    QTest::keyClicks(QApplication::focusWidget(), "x");
    EXPECT_EQ(expected->text(), QStringLiteral("x"));
  }
}

}  // namespace
}  // namespace vantrel
