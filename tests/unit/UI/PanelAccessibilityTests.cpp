// What a screen reader finds in the connection panel: every control named, each name its own, each
// with the role it acts as. The tree is walked the way assistive technology walks it, through the
// accessible interfaces, not through the widgets.

#include <gtest/gtest.h>

// Before Qt: its macros clash with the coroutine support.
#include "ScriptedUpdaterBench.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/StatusWindowWidget.hpp"
#include "UI/UpdateSettingsView.hpp"
#include "UI/WindowChrome.hpp"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVariantAnimation>

#include <cstdio>
#include <map>
#include <set>

#include "support/FakeStatusModel.hpp"
#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

// The roles a user operates: what a screen reader lists as controls.
bool isControl(const QAccessibleInterface* node) {
  switch (node->role()) {
    case QAccessible::Button:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::EditableText:
    case QAccessible::ComboBox:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Link:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown: return true;
    default: return node->state().focusable;
  }
}

struct Spoken {
  QString name;
  QAccessible::Role role;
  QAccessibleInterface* node;
};

// The visible controls under `node`, in tree order.
void collectControls(QAccessibleInterface* node, std::vector<Spoken>& into) {
  for (int i = 0; i < node->childCount(); ++i) {
    QAccessibleInterface* child = node->child(i);
    if (child == nullptr || child->state().invisible) continue;
    if (isControl(child)) into.push_back({child->text(QAccessible::Name), child->role(), child});
    collectControls(child, into);
  }
}

std::string roleName(QAccessible::Role role) {
  switch (role) {
    case QAccessible::Button: return "button";
    case QAccessible::CheckBox: return "check box";
    case QAccessible::EditableText: return "text";
    case QAccessible::Client: return "pane";
    default: return "role " + std::to_string(role);
  }
}

std::string describe(const std::vector<Spoken>& controls) {
  std::string out;
  for (const Spoken& c : controls) {
    const QAccessible::State state = c.node->state();
    out += "  '" + c.name.toStdString() + "' " + roleName(c.role) + (state.checkable ? ", checkable" : "") +
           (state.expandable ? (state.expanded ? ", expanded" : ", collapsed") : "") + "\n";
  }
  return out;
}

struct PanelAccessibility : ::testing::Test, testing::StatusWindowBench, testing::ScriptedUpdaterBench {
  std::unique_ptr<StatusWindowWidget> window;

  void SetUp() override {
    testing::uiApp();
    makePresenter();
    makeController();
    window =
        std::make_unique<StatusWindowWidget>(*presenter, QStringLiteral("v1.0.0"), [this](QWidget* parent) {
          return static_cast<QWidget*>(new UpdateSettingsView(controller, info, parent));
        });
    window->show();
    testing::processQueued();
  }
  void TearDown() override {
    window.reset();
    presenter.reset();
    controller.reset();
  }
  // Closes the sheet, signs in and opens the direct-connection group of the window's own panel.
  void signInAndOpenTheWindowPanel() {
    presenter->closePanel(true);
    model->change([](StatusViewState& s) {
      s.isAccountAuthenticated = true;
      s.connectionState = DirectAuthState::authenticated;
    });
    // The panel comes on show once the window has grown to hold it whole.
    testing::processQueued();
    if (QVariantAnimation* animation = WindowContentResizer::runningAnimation(window.get()))
      animation->setCurrentTime(animation->duration());
    testing::processQueued();
    if (!window->showsConnectionPanel()) return;
    window->windowPanel()->disclosureButton()->click();
    testing::processQueued();
  }
};

TEST_F(PanelAccessibility, EveryControlOfTheSheetAndTheWindowPanelIsNamedUniquelyWithItsRole) {
  presenter->openPanelSheet();
  testing::processQueued();
  ASSERT_TRUE(window->sheet()->isVisible());
  window->sheet()->panel()->disclosureButton()->click();
  testing::processQueued();

  QAccessibleInterface* sheet = QAccessible::queryAccessibleInterface(window->sheet());
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(sheet->role(), QAccessible::Dialog);
  EXPECT_EQ(sheet->text(QAccessible::Name).toStdString(), "VantrelMac Connection");

  const std::vector<std::pair<QString, QAccessible::Role>> expected{
      {QStringLiteral("Done"), QAccessible::Button},
      {QStringLiteral("Connection panel contents"), QAccessible::Client},
      {QString::fromUtf8("업데이트 확인…"), QAccessible::Button},
      {QString::fromUtf8("새 버전 자동 확인"), QAccessible::CheckBox},
      {QStringLiteral("Request Screen Recording"), QAccessible::Button},
      {QStringLiteral("Open Settings for Screen Recording"), QAccessible::Button},
      {QStringLiteral("Request Accessibility"), QAccessible::Button},
      {QStringLiteral("Open Settings for Accessibility"), QAccessible::Button},
      {QStringLiteral("Refresh"), QAccessible::Button},
      {QStringLiteral("Direct connection diagnostics"), QAccessible::Button},
      {QStringLiteral("Manager host"), QAccessible::EditableText},
      {QStringLiteral("Port"), QAccessible::EditableText},
      {QStringLiteral("Manager slot"), QAccessible::EditableText},
      {QStringLiteral("User ID"), QAccessible::EditableText},
      {QStringLiteral("Connect"), QAccessible::Button},
      {QStringLiteral("Disconnect"), QAccessible::Button},
      {QStringLiteral("Copy"), QAccessible::Button},
      {QStringLiteral("Clear"), QAccessible::Button},
      {QStringLiteral("Diagnostic Log"), QAccessible::EditableText},
  };
  std::vector<Spoken> controls;
  collectControls(sheet, controls);
  std::printf("the sheet '%s' as a screen reader finds it:\n%s",
              sheet->text(QAccessible::Name).toStdString().c_str(), describe(controls).c_str());
  std::set<QString> names;
  for (const Spoken& control : controls) {
    EXPECT_FALSE(control.name.isEmpty()) << "an unnamed control of role " << control.role << "\n"
                                         << describe(controls);
    EXPECT_TRUE(names.insert(control.name).second)
        << "two controls named '" << control.name.toStdString() << "'\n"
        << describe(controls);
  }
  std::map<QString, QAccessible::Role> found;
  for (const Spoken& control : controls) found[control.name] = control.role;
  for (const auto& [name, role] : expected) {
    ASSERT_TRUE(found.contains(name)) << "no control named '" << name.toStdString() << "'\n"
                                      << describe(controls);
    EXPECT_EQ(found[name], role) << name.toStdString();
  }
  EXPECT_EQ(controls.size(), expected.size()) << describe(controls);

  // The window's own panel, once signed in, is named the same way, with its own close button.
  signInAndOpenTheWindowPanel();
  ASSERT_TRUE(window->showsConnectionPanel());
  std::vector<Spoken> windowControls;
  collectControls(QAccessible::queryAccessibleInterface(window->windowPanel()), windowControls);
  std::set<QString> windowNames;
  for (const Spoken& control : windowControls) {
    if (control.name.isEmpty() || !windowNames.insert(control.name).second) {
      ADD_FAILURE() << "unnamed or repeated: '" << control.name.toStdString() << "'";
    }
  }
  EXPECT_TRUE(windowNames.contains(QStringLiteral("Login Screen")));
  EXPECT_EQ(windowControls.size(), controls.size()) << describe(windowControls);
}

TEST_F(PanelAccessibility, TheDirectFieldsAreNamedByTheirCaptionsWhichAreTheirBuddies) {
  ConnectionPanelWidget* panel = window->windowPanel();
  const std::pair<QLineEdit*, const char*> fields[] = {{panel->hostField(), "Manager host"},
                                                       {panel->portField(), "Port"},
                                                       {panel->slotField(), "Manager slot"},
                                                       {panel->userIDField(), "User ID"}};
  for (const auto& [field, title] : fields) {
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(field);
    ASSERT_NE(spoken, nullptr);
    EXPECT_EQ(spoken->text(QAccessible::Name).toStdString(), title);
    // The caption is the field's label: a screen reader relates the two.
    const auto labels = spoken->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1) << title;
    EXPECT_EQ(labels.front().first->text(QAccessible::Name).toStdString(), title);
    const auto* caption = qobject_cast<QLabel*>(labels.front().first->object());
    ASSERT_NE(caption, nullptr) << title;
    EXPECT_EQ(caption->buddy(), field) << title;
  }
}

// A screen reader reads a control's name, then its description: a description that only repeats
// the name is heard twice.
TEST_F(PanelAccessibility, NoControlIsDescribedByItsOwnName) {
  const auto expectNoRepeat = [](QWidget* root, const char* where) {
    std::vector<Spoken> controls;
    collectControls(QAccessible::queryAccessibleInterface(root), controls);
    ASSERT_FALSE(controls.empty()) << where;
    for (const Spoken& control : controls) {
      const QString description = control.node->text(QAccessible::Description).trimmed();
      EXPECT_NE(description.compare(control.name.trimmed(), Qt::CaseInsensitive), 0)
          << where << ": '" << control.name.toStdString() << "' is described as '"
          << description.toStdString() << "'";
    }
  };
  expectNoRepeat(window.get(), "login window");
  presenter->openPanelSheet();
  testing::processQueued();
  window->sheet()->panel()->disclosureButton()->click();
  testing::processQueued();
  expectNoRepeat(window->sheet(), "sheet");
  signInAndOpenTheWindowPanel();
  ASSERT_TRUE(window->showsConnectionPanel());
  expectNoRepeat(window.get(), "window panel");
  // A hint that differs from the name still describes its field.
  QAccessibleInterface* id = QAccessible::queryAccessibleInterface(window->loginScreen()->accountField());
  EXPECT_EQ(id->text(QAccessible::Description), QStringLiteral("Account ID"));
}

// The hint that is kept from assistive technology looks exactly like the toolkit's placeholder.
TEST_F(PanelAccessibility, AFieldsUnspokenHintIsDrawnAsAPlaceholderIs) {
  presenter->openPanelSheet();
  testing::processQueued();
  ConnectionPanelWidget* panel = window->sheet()->panel();
  panel->disclosureButton()->click();
  testing::processQueued();
  const std::vector<QLineEdit*> fields{window->loginScreen()->passwordField(), panel->hostField(),
                                       panel->portField(), panel->slotField(), panel->userIDField()};
  for (QLineEdit* field : fields) {
    auto* hinted = dynamic_cast<HintLineEdit*>(field);
    ASSERT_NE(hinted, nullptr) << field->accessibleName().toStdString();
    EXPECT_TRUE(field->placeholderText().isEmpty());
    // The same field as the toolkit makes it, with the hint as its placeholder, beside it.
    QLineEdit stock(field->parentWidget());
    stock.setStyleSheet(field->styleSheet());
    stock.setFont(field->font());
    stock.setEchoMode(field->echoMode());
    stock.setPlaceholderText(hinted->hint());
    stock.setGeometry(field->geometry());
    stock.show();
    const QString typed = field->text();
    field->clear();
    testing::processQueued();
    const QImage drawn = field->grab().toImage();
    const QImage expected = stock.grab().toImage();
    ASSERT_EQ(drawn.size(), expected.size());
    EXPECT_TRUE(drawn == expected) << hinted->hint().toStdString() << " drawn unlike a placeholder";
    // Typing hides it, as it hides a placeholder.
    field->setText(QStringLiteral("x"));
    stock.setText(QStringLiteral("x"));
    EXPECT_TRUE(field->grab().toImage() == stock.grab().toImage()) << hinted->hint().toStdString();
    field->setText(typed);
  }
}

TEST_F(PanelAccessibility, TheDisclosureIsAButtonThatExpandsAndSaysWhetherItIs) {
  DisclosureButton* disclosure = window->windowPanel()->disclosureButton();
  QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(disclosure);
  ASSERT_NE(spoken, nullptr);
  EXPECT_EQ(spoken->role(), QAccessible::Button);
  EXPECT_EQ(spoken->text(QAccessible::Name).toStdString(), "Direct connection diagnostics");
  struct Step {
    bool open;
  };
  for (const Step step : {Step{false}, Step{true}, Step{false}}) {
    if (disclosure->isChecked() != step.open) {
      // Pressed the way assistive technology presses it.
      QAccessibleActionInterface* actions = spoken->actionInterface();
      ASSERT_NE(actions, nullptr);
      ASSERT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
      actions->doAction(QAccessibleActionInterface::pressAction());
      testing::processQueued();
    }
    EXPECT_EQ(window->windowPanel()->disclosureContent()->isVisibleTo(window->windowPanel()), step.open);
    const QAccessible::State state = spoken->state();
    EXPECT_TRUE(state.expandable);
    EXPECT_EQ(state.expanded, step.open);
    EXPECT_EQ(state.collapsed, !step.open);
    // Not a check box or toggle: nothing to tick.
    EXPECT_FALSE(state.checkable);
    EXPECT_FALSE(state.checked);
  }
}

TEST_F(PanelAccessibility, LogInIsNamedByWhatItReads) {
  struct Case {
    const char* what;
    bool busy;
    bool authenticated;
    const char* name;
  };
  const Case cases[] = {
      {"signed out", false, false, "LOG IN"},
      {"signing in", true, false, "LOGGING IN"},
      {"signed in", false, true, "LOG IN AGAIN"},
      {"signed out again", false, false, "LOG IN"},
  };
  LoginButton* button = window->loginScreen()->loginButton();
  for (const Case& c : cases) {
    StatusViewState state = model->state();
    state.isAccountLoginBusy = c.busy;
    state.isAccountAuthenticated = c.authenticated;
    window->loginScreen()->render(state);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name).toStdString(), c.name)
        << c.what;
  }
}

}  // namespace
}  // namespace vantrel
