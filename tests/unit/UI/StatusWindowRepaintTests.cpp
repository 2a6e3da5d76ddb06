#include <gtest/gtest.h>

#include "UI/StatusWindowWidget.hpp"

#include <QEvent>

#include "support/FakeStatusModel.hpp"
#include "support/QtTestApp.hpp"

// The status model announces every assignment, also of a value it already holds, and its polls
// do that twice a second: an announcement that changes nothing must not repaint the window.

namespace vantrel {
namespace {

// Counts the paint events of every widget of the application.
class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

struct RepaintFixture : ::testing::Test, testing::StatusWindowBench {
  // The turn to the connection panel resizes at once, so its labels are on screen to be painted.
  testing::ReducedMotion still{"1"};
  std::unique_ptr<StatusWindowWidget> window;
  PaintCounter counter;

  void SetUp() override {
    testing::uiApp();
    makePresenter();
    window = std::make_unique<StatusWindowWidget>(*presenter, QStringLiteral("v1.0.0"), UpdateBoxFactory{});
    window->show();
    testing::processQueued();
    qApp->installEventFilter(&counter);
  }
  void TearDown() override {
    qApp->removeEventFilter(&counter);
    window.reset();
    presenter.reset();
  }
  // The paints caused by `act`, once Qt has handled everything it queued.
  template <typename F>
  int paintsDuring(F&& act) {
    testing::processQueued();
    counter.paints = 0;
    act();
    testing::processQueued();
    return counter.paints;
  }
  void unchangedPolls() {
    for (int i = 0; i < 4; ++i) model->publish();
  }
};

TEST_F(RepaintFixture, UnchangedAnnouncementsDoNotRepaintTheLoginScreen) {
  model->change([](StatusViewState& s) {
    s.accountID = "someone";
    s.connectionState = DirectAuthState::connecting;
    s.connectionStateLabel = "Connecting";
  });
  EXPECT_EQ(paintsDuring([&] { unchangedPolls(); }), 0);
  // The counter sees paints at all: a visible change repaints.
  EXPECT_GT(paintsDuring([&] {
              model->change([](StatusViewState& s) {
                s.connectionState = DirectAuthState::failed;
                s.connectionStateLabel = "Failed";
                s.accountLoginStatus = "Sign-in failed";
              });
            }),
            0);
  EXPECT_EQ(paintsDuring([&] { unchangedPolls(); }), 0);
}

TEST_F(RepaintFixture, UnchangedAnnouncementsDoNotRepaintTheConnectionPanel) {
  // Signed in: the window turns to the connection panel.
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
    s.connectionStateLabel = "Connected to Manager";
    s.diagnosticLog.push_back({Uuid::random(), {}, "VantrelMac diagnostic: connected"});
    s.diagnosticLogScrollToken = Uuid::random();
  });
  testing::processQueued();
  ASSERT_TRUE(window->showsConnectionPanel());
  EXPECT_EQ(paintsDuring([&] { unchangedPolls(); }), 0);
  EXPECT_GT(paintsDuring([&] {
              model->change([](StatusViewState& s) { s.managerConnectionsLabel = "1/1 managers"; });
            }),
            0);
  EXPECT_EQ(paintsDuring([&] { unchangedPolls(); }), 0);
}

}  // namespace
}  // namespace vantrel
