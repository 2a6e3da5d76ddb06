// The connection panel with the updater's own "앱 업데이트" box, over the real controller and
// the scripted engine.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "Model/Update/MacUpdaterController.hpp"
// Before Qt: its macros clash with the coroutine support.
#include "ScriptedUpdaterBench.hpp"
#include "UI/ConnectionPanelWidget.hpp"
#include "UI/UpdateSettingsView.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "support/AsyncTest.hpp"
#include "support/FakeStatusModel.hpp"
#include "support/FakeUpdater.hpp"
#include "support/QtTestApp.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

struct UpdateBoxInPanel : ::testing::Test, testing::StatusWindowBench, testing::ScriptedUpdaterBench {
  std::unique_ptr<ConnectionPanelWidget> panel;

  void SetUp() override {
    testing::uiApp();
    makePresenter();
    makeController();
    panel = std::make_unique<ConnectionPanelWidget>(*presenter, false, [this](QWidget* parent) {
      return new UpdateSettingsView(controller, info, parent);
    });
    panel->show();
    testing::processQueued();
  }
  void TearDown() override {
    panel.reset();
    presenter.reset();
  }
  void advance(std::chrono::milliseconds by) {
    clock.advance(by);
    for (int round = 0; round < 4; ++round) {
      if (io.stopped()) io.restart();
      io.run_for(std::chrono::milliseconds(3));
    }
  }
  UpdateSettingsView* box() const { return panel->findChild<UpdateSettingsView*>(); }
};

TEST_F(UpdateBoxInPanel, TheBoxSitsInThePanelAndFollowsTheController) {
  ASSERT_NE(box(), nullptr);
  EXPECT_EQ(box()->title(), QString::fromUtf8("앱 업데이트"));
  EXPECT_TRUE(box()->isVisibleTo(panel.get()));
  EXPECT_FALSE(box()->checkButton()->isEnabled());  // the updater has not started
  const auto labels = box()->findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
    return label->text() == QString::fromUtf8("현재 버전 v1.41");
  }));

  testing::callOn(io, [&] { return controller->start(); });
  advance(0ms);
  EXPECT_TRUE(box()->checkButton()->isEnabled());
  EXPECT_TRUE(box()->busyNote()->isHidden());

  // An update waiting for remote work names that work in the box.
  auto lease = gate->acquire(UpdateActivityGate::Kind::remoteScreen);
  EXPECT_TRUE(controller->shouldPostponeRelaunch(testing::FakeUpdater::item("42"), InstallBlock([] {})));
  advance(500ms);
  EXPECT_FALSE(box()->busyNote()->isHidden());
  EXPECT_TRUE(box()->busyNote()->text().contains(QString::fromUtf8("원격 화면")));
  EXPECT_EQ(box()->statusLabel()->text(), QString::fromUtf8("작업이 끝나면 업데이트를 설치합니다"));

  testing::callOn(io, [&] {
    return box()->checkButton()->click();
  });  // asks to install now: no new check while a block is kept
  EXPECT_EQ(fake->checks, 0);
  lease->end();
  advance(1s);
  EXPECT_TRUE(box()->busyNote()->isHidden());
  EXPECT_EQ(box()->statusLabel()->text(), QString::fromUtf8("업데이트 설치 후 다시 연결합니다"));
}

}  // namespace
}  // namespace vantrel
