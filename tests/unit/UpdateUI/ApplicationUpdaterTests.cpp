#include <gtest/gtest.h>

#include <asio/io_context.hpp>

// The project's headers before Qt's: Qt's `emit` macro breaks Asio's templates.
#include "UI/UpdateApplication.hpp"
#include "support/AsyncTest.hpp"
#include "support/QtTestApp.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"
namespace vantrel {
namespace {

TEST(ApplicationUpdater, StartsTheEngineFromTheProgramInformation) {
  testing::uiApp();
  testing::TemporaryHome home;
  asio::io_context io;
  InMemoryUserDefaults defaults;
  defaults.setBool("SUEnableAutomaticChecks", false);
  const auto keys = testing::UpdateKeys::generate();
  ApplicationUpdaterHooks hooks;
  hooks.mainExecutor = io.get_executor();
  hooks.info = InfoDictionary(testing::updateInfo("7", keys, "https://updates.example/appcast.xml", false));
  hooks.defaults = &defaults;
  const auto controller = makeApplicationUpdater(hooks);
  testing::callOn(io, [&] { return controller->start(); });
  EXPECT_FALSE(controller->published().hasError) << controller->published().status;
  EXPECT_EQ(controller->published().status, "자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요");
  EXPECT_EQ(controller->feedURLString(), "https://updates.example/appcast.xml");
  testing::callOn(io, [&] { return controller->setAutomaticChecks(true); });
  EXPECT_EQ(defaults.value("SUEnableAutomaticChecks"),
            UserDefaults::Value(true));  // kept in the settings store

  hooks.info = InfoDictionary();  // a program without its information file
  const auto unconfigured = makeApplicationUpdater(hooks);
  testing::callOn(io, [&] { return unconfigured->start(); });
  EXPECT_TRUE(unconfigured->published().hasError);
}

}  // namespace
}  // namespace vantrel
