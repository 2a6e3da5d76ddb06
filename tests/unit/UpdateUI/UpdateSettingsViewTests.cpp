#include <gtest/gtest.h>

#include <asio/io_context.hpp>

// The project's headers before Qt's: Qt's `emit` macro breaks Asio's templates.
#include "UI/UpdateSettingsView.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeUpdater.hpp"
#include "support/QtTestApp.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace vantrel {
namespace {

TEST(UpdateSettingsViewTest, SwitchAsksTheControllerAndMirrorsIt) {
  testing::uiApp();
  testing::TemporaryHome home;
  asio::io_context io;
  auto fake = std::make_shared<testing::FakeUpdater>();
  MacUpdaterController::Environment environment;
  environment.mainExecutor = io.get_executor();
  const auto keys = testing::UpdateKeys::generate();
  environment.info = testing::updateInfo("3", keys, "https://updates.example/appcast.xml", true);
  environment.gate = UpdateActivityGate::create();
  environment.makeUpdater = [fake](std::shared_ptr<StandardUserDriver>,
                                   std::weak_ptr<UpdaterDelegate> delegate) {
    fake->setDelegate(delegate);
    return fake;
  };
  auto controller = MacUpdaterController::create(environment);
  testing::callOn(io, [&] { return controller->start(); });
  UpdateSettingsView view(controller, environment.info);
  view.resize(420, 260);
  EXPECT_EQ(view.title(), QString::fromUtf8("앱 업데이트"));
  EXPECT_TRUE(view.automaticSwitch()->isChecked());
  EXPECT_FALSE(view.rehearsalBadge()->isHidden());
  EXPECT_GE(view.statusLabel()->minimumHeight(), 34);
  // Caption and callout sizes for the secondary texts; the status line centred in its row and
  // marked with the project's own symbol, not a stock icon.
  EXPECT_EQ(view.hint()->font().pixelSize(), 10);
  EXPECT_EQ(view.rehearsalBadge()->font().pixelSize(), 10);
  EXPECT_EQ(view.busyNote()->font().pixelSize(), 12);
  EXPECT_TRUE(view.statusLabel()->alignment() & Qt::AlignVCenter);
  EXPECT_EQ(view.statusSymbol(), StatusSymbol::arrowDownCircle);
  EXPECT_FALSE(view.statusIcon()->pixmap().isNull());
  EXPECT_FALSE(view.rehearsalIcon()->pixmap().isNull());

  fake->acceptsAutomaticChecks = false;  // a store that keeps the old value
  testing::callOn(io, [&] { return view.automaticSwitch()->click(); });
  EXPECT_EQ(std::count(fake->calls.begin(), fake->calls.end(), "setAutomaticallyChecksForUpdates NO"), 1);
  EXPECT_TRUE(view.automaticSwitch()->isChecked());

  fake->acceptsAutomaticChecks = true;
  testing::callOn(io, [&] { return view.automaticSwitch()->click(); });
  EXPECT_FALSE(view.automaticSwitch()->isChecked());
  EXPECT_EQ(view.statusLabel()->text(),
            QString::fromUtf8("자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요"));

  view.checkButton()->setEnabled(true);
  testing::callOn(io, [&] { return view.checkButton()->click(); });
  EXPECT_EQ(fake->checks, 1);
  if (const char* folder = std::getenv("VANTREL_UPDATE_SCREENSHOTS")) {
    view.grab().save(QString::fromUtf8(folder) + "/update-settings.png");
  }
}

}  // namespace
}  // namespace vantrel
