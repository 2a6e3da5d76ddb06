#include <gtest/gtest.h>

#include "UI/ConnectionPanelWidget.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/LoginScreenWidget.hpp"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>

#include "support/FakeStatusModel.hpp"
#include "support/ManualDelayScheduler.hpp"
#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

using testing::FakeStatusModel;
using testing::ManualDelayScheduler;

struct PanelFixture : ::testing::Test, testing::StatusWindowBench {
  std::unique_ptr<ConnectionPanelWidget> panel;
  int added = 0;

  void SetUp() override {
    testing::uiApp();
    makePresenter();
    panel = std::make_unique<ConnectionPanelWidget>(*presenter, false, UpdateBoxFactory{});
    presenter->addView([this](const StatusViewState& state) { panel->render(state); });
    panel->show();
    testing::processQueued();
  }
  void TearDown() override {
    panel.reset();
    presenter.reset();
  }
  void addLines(int n, const std::string& prefix = "line ") {
    model->change([&](StatusViewState& s) {
      for (int i = 0; i < n; ++i) {
        s.diagnosticLog.push_back({Uuid::random(), {}, prefix + std::to_string(added++)});
        if (s.diagnosticLog.size() > 300) s.diagnosticLog.erase(s.diagnosticLog.begin());
      }
      s.diagnosticLogScrollToken = Uuid::random();
    });
  }
  QStringList shownLines() const {
    QStringList lines;
    for (QTextBlock b = panel->logList()->document()->begin(); b.isValid(); b = b.next()) lines << b.text();
    if (lines.size() == 1 && lines.front().isEmpty()) lines.clear();
    return lines;
  }
};

TEST_F(PanelFixture, FixedSizeAndCloseButtonOfTheWindowPresentation) {
  EXPECT_EQ(panel->size(), QSize(620, 680));
  EXPECT_EQ(panel->closeButton()->text(), QStringLiteral("Login Screen"));
  presenter->openPanelSheet();
  QTest::mouseClick(panel->closeButton(), Qt::LeftButton);
  EXPECT_TRUE(presenter->showSettings());  // the window's button leaves the sheet flag alone
}

TEST_F(PanelFixture, ConnectAndDisconnectEnablingMatrix) {
  struct Case {
    DirectAuthState state;
    bool canConnect, canDisconnect, busy;
  };
  const Case cases[] = {
      {DirectAuthState::idle, true, false, false},
      {DirectAuthState::idle, false, false, true},  // busy with an idle state: Disconnect stays usable
      {DirectAuthState::authenticated, false, true, false},
      {DirectAuthState::disconnecting, false, true, false},
  };
  for (const auto& c : cases) {
    model->change([&](StatusViewState& s) {
      s.connectionState = c.state;
      s.canConnect = c.canConnect;
      s.canDisconnect = c.canDisconnect;
      s.isConnectionBusy = c.busy;
    });
    EXPECT_EQ(panel->connectButton()->isEnabled(), c.canConnect);
    EXPECT_EQ(panel->disconnectButton()->isEnabled(), c.canDisconnect || c.busy);
  }
  panel->disclosureButton()->click();
  testing::processQueued();
  QTest::mouseClick(panel->disconnectButton(), Qt::LeftButton);
  EXPECT_EQ(model->count("disconnect"), 1);
}

TEST_F(PanelFixture, DisclosureStartsCollapsedAndOpensTheForm) {
  EXPECT_FALSE(panel->disclosureContent()->isVisible());
  QTest::mouseClick(panel->disclosureButton(), Qt::LeftButton);
  EXPECT_TRUE(panel->disclosureContent()->isVisible());
  QTest::keyClicks(panel->hostField(), "10.1.2.3");
  EXPECT_EQ(model->current.managerHost, "10.1.2.3");
  EXPECT_EQ(model->count("persistConnectionSettings"), 8);
  const auto* host = dynamic_cast<const HintLineEdit*>(panel->hostField());
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->hint(), QStringLiteral("Manager host"));
  QTest::mouseClick(panel->disclosureButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->disclosureContent()->isVisible());
}

TEST_F(PanelFixture, OpeningTheDisclosureScrollsTheFormIntoView) {
  // A tall update box pushes the group down to the bottom of the column, as the real one does.
  const UpdateBoxFactory tallBox = [](QWidget* parent) {
    auto* box = new QWidget(parent);
    box->setFixedHeight(330);
    return box;
  };
  panel = std::make_unique<ConnectionPanelWidget>(*presenter, false, tallBox);
  panel->show();
  testing::processQueued();
  QScrollArea* scroll = panel->scrollArea();
  ASSERT_EQ(scroll->verticalScrollBar()->value(), 0);
  QTest::mouseClick(panel->disclosureButton(), Qt::LeftButton);
  testing::processQueued();
  // The whole form lies inside the visible part of the column.
  const QWidget* form = panel->disclosureContent();
  const QRect inView(form->mapTo(scroll->viewport(), QPoint(0, 0)), form->size());
  EXPECT_TRUE(scroll->viewport()->rect().contains(inView))
      << inView.top() << ".." << inView.bottom() << " in 0.." << scroll->viewport()->height();
  EXPECT_GT(scroll->verticalScrollBar()->value(), 0);
  // Closing leaves the reader where they are.
  const int position = scroll->verticalScrollBar()->value();
  QTest::mouseClick(panel->disclosureButton(), Qt::LeftButton);
  testing::processQueued();
  EXPECT_LE(scroll->verticalScrollBar()->value(), position);
}

TEST_F(PanelFixture, TheLogListHasNoBorderAndSpacesItsEntries) {
  addLines(3);
  EXPECT_EQ(panel->logList()->frameShape(), QFrame::NoFrame);
  for (QTextBlock b = panel->logList()->document()->begin(); b.isValid(); b = b.next()) {
    EXPECT_EQ(b.blockFormat().bottomMargin(), ConnectionPanelWidget::logLineSpacing)
        << b.text().toStdString();
  }
  // Entries added later are spaced the same way.
  addLines(2);
  const QTextBlock last = panel->logList()->document()->lastBlock();
  EXPECT_EQ(last.blockFormat().bottomMargin(), ConnectionPanelWidget::logLineSpacing);
  EXPECT_EQ(shownLines().size(), 5);
}

TEST_F(PanelFixture, CopyAndClear) {
  EXPECT_FALSE(panel->copyButton()->isEnabled());
  EXPECT_FALSE(panel->clearButton()->isEnabled());
  addLines(3);
  EXPECT_TRUE(panel->copyButton()->isEnabled());
  QTest::mouseClick(panel->copyButton(), Qt::LeftButton);
  EXPECT_EQ(model->count("copyDiagnosticLog"), 1);
  const Uuid token = model->current.diagnosticLogScrollToken;
  QTest::mouseClick(panel->clearButton(), Qt::LeftButton);
  EXPECT_TRUE(model->current.diagnosticLog.empty());
  EXPECT_NE(model->current.diagnosticLogScrollToken, token);
  EXPECT_TRUE(shownLines().isEmpty());
  EXPECT_FALSE(panel->clearButton()->isEnabled());
  addLines(1, "after ");
  ASSERT_EQ(shownLines().size(), 1);
  EXPECT_TRUE(shownLines().front().endsWith(QStringLiteral("  after 3")));
}

TEST_F(PanelFixture, TheLogListDoesNotMoveByItself) {
  addLines(300);
  QScrollBar* bar = panel->logList()->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 100);
  bar->setValue(bar->maximum() / 2);
  const int position = bar->value();
  addLines(5, "new ");
  EXPECT_EQ(bar->value(), position);
  const QStringList lines = shownLines();
  ASSERT_EQ(lines.size(), 300);
  EXPECT_TRUE(lines.front().endsWith(QStringLiteral("  line 5")));
  EXPECT_TRUE(lines.back().endsWith(QStringLiteral("  new 304")));
  // At the top it stays at the top.
  bar->setValue(0);
  addLines(1);
  EXPECT_EQ(bar->value(), 0);
}

TEST_F(PanelFixture, PermissionRowsAndTheirButtons) {
  model->change([](StatusViewState& s) { s.permissions = {true, false}; });
  EXPECT_EQ(panel->screenRecordingRow().detail->text(), QStringLiteral("Granted"));
  EXPECT_EQ(panel->accessibilityRow().detail->text(), QStringLiteral("Required for remote control"));
  // Granted or not, both buttons stay usable.
  for (const auto* row : {&panel->screenRecordingRow(), &panel->accessibilityRow()}) {
    EXPECT_TRUE(row->request->isEnabled());
    EXPECT_TRUE(row->open->isEnabled());
    EXPECT_EQ(row->request->text(), QStringLiteral("Request\u2026"));
  }
  QTest::mouseClick(panel->screenRecordingRow().request, Qt::LeftButton);
  QTest::mouseClick(panel->screenRecordingRow().open, Qt::LeftButton);
  QTest::mouseClick(panel->accessibilityRow().request, Qt::LeftButton);
  QTest::mouseClick(panel->accessibilityRow().open, Qt::LeftButton);
  EXPECT_EQ(model->count("requestScreenRecording"), 1);
  EXPECT_EQ(model->count("openScreenRecordingSettings"), 1);
  EXPECT_EQ(model->count("requestAccessibility"), 1);
  EXPECT_EQ(model->count("openAccessibilitySettings"), 1);
}

// A grant's answer shows under that grant only, whole (wrapped, never cut), in the row's caption
// look; before any button was pressed there is none.
TEST_F(PanelFixture, APermissionAnswerShowsUnderItsGrantWhole) {
  const auto& screen = panel->screenRecordingRow();
  const auto& access = panel->accessibilityRow();
  EXPECT_FALSE(screen.note->isVisible());
  EXPECT_FALSE(access.note->isVisible());
  const std::string answer =
      "This Wayland desktop offers no service the agent can use. Choose an X11 session at the login screen.";
  model->change([&](StatusViewState& s) { s.accessibilityNote = answer; });
  testing::processQueued();
  EXPECT_FALSE(screen.note->isVisible());
  ASSERT_TRUE(access.note->isVisible());
  EXPECT_EQ(access.note->text(), QString::fromStdString(answer));
  EXPECT_TRUE(access.note->wordWrap());
  EXPECT_EQ(access.note->font(), access.detail->font());
  // Below the row's texts and buttons, and inside the panel's width.
  const QRect note(access.note->mapTo(panel.get(), QPoint(0, 0)), access.note->size());
  const QRect button(access.open->mapTo(panel.get(), QPoint(0, 0)), access.open->size());
  EXPECT_GE(note.top(), button.bottom());
  EXPECT_LE(note.right(), panel->width());
  EXPECT_GE(access.note->height(), access.note->heightForWidth(access.note->width()));
  model->change([&](StatusViewState& s) {
    s.screenRecordingNote = "This desktop needs no permission for this; there is nothing to set.";
  });
  testing::processQueued();
  EXPECT_TRUE(screen.note->isVisible());
}

}  // namespace
}  // namespace vantrel
