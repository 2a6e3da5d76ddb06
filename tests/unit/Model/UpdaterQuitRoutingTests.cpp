// The application's quit path over the real updater controller and the scripted engine: the
// router asks the controller, and a "later" answer is settled by the controller's own reply.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <asio/io_context.hpp>

#include "Model/Status/QuitRouter.hpp"
#include "Model/Update/MacUpdaterController.hpp"
#include "Model/Update/UpdaterControllerAdapter.hpp"
#include "Support/SystemLog.hpp"
#include "support/AsyncTest.hpp"
#include "support/FakeUpdater.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = UpdateActivityGate::Kind;
using testing::FakeUpdater;

class UpdaterQuitRoutingTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  testing::UpdateKeys keys = testing::UpdateKeys::generate();
  std::shared_ptr<FakeUpdater> fake = std::make_shared<FakeUpdater>();
  fs::path resumeURL = home.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json";
  std::shared_ptr<UpdaterControllerAdapter> adapter = std::make_shared<UpdaterControllerAdapter>();
  int quits = 0;
  std::unique_ptr<QuitRouter> router;

  void SetUp() override {
    MacUpdaterController::Environment environment;
    environment.mainExecutor = io.get_executor();
    environment.info = testing::updateInfo("41", keys, "https://updates.example/appcast.xml", false);
    environment.gate = gate;
    environment.makeUpdater = [this](std::shared_ptr<StandardUserDriver>,
                                     std::weak_ptr<UpdaterDelegate> delegate) {
      fake->setDelegate(delegate);
      return fake;
    };
    environment.resumeURL = [this] { return std::optional(resumeURL); };
    environment.runOffMain = [](std::function<void()> work) { work(); };
    environment.replyToTermination = adapter->terminationReplyHook();
    environment.now = [] { return UpdateDate(std::chrono::seconds(1'800'000'000)); };
    adapter->attach(MacUpdaterController::create(std::move(environment)));
    router = std::make_unique<QuitRouter>(adapter, [this] { ++quits; });
  }
  void advance(std::chrono::milliseconds by) {
    clock.advance(by);
    for (int round = 0; round < 4; ++round) {
      if (io.stopped()) io.restart();
      io.run_for(std::chrono::milliseconds(3));
    }
  }
  MacUpdaterController& controller() { return *adapter->controller(); }
};

TEST_F(UpdaterQuitRoutingTest, TheMenuItemFollowsTheController) {
  EXPECT_FALSE(adapter->canCheckForUpdates());  // not started
  testing::callOn(io, [&] { return adapter->start(); });
  advance(0ms);
  EXPECT_TRUE(adapter->canCheckForUpdates());
  testing::callOn(io, [&] { return adapter->checkForUpdates(); });
  EXPECT_EQ(fake->checks, 1);
  EXPECT_EQ(controller().published().status, "새 버전 확인 중…");
}

TEST_F(UpdaterQuitRoutingTest, NothingPendingQuitsAtOnce) {
  testing::callOn(io, [&] { return adapter->start(); });
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::menu); }),
            TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);
}

TEST_F(UpdaterQuitRoutingTest, LaterKeepsTheProgramUntilTheInstallationIsAdmitted) {
  testing::callOn(io, [&] { return adapter->start(); });
  auto lease = gate->acquire(Kind::remoteScreen);
  controller().willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::shortcut); }),
            TerminateReply::terminateLater);
  EXPECT_TRUE(router->waitingForUpdater());
  // A second request while the answer is owed neither quits nor asks the controller again.
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::signal); }),
            TerminateReply::terminateLater);
  advance(2s);
  EXPECT_EQ(quits, 0);  // the screen is still shared
  lease->end();
  advance(500ms);
  EXPECT_EQ(quits, 0);  // inside the quiet time
  advance(500ms);
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(router->waitingForUpdater());
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::menu); }),
            TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);  // ending twice is not asked of the loop
}

// Nothing holds the update back: the quit waits only for the admission, which follows the reply.
TEST_F(UpdaterQuitRoutingTest, WithNoRemoteWorkTheQuitIsAdmittedAndTheProgramEnds) {
  testing::callOn(io, [&] { return adapter->start(); });
  fake->emitInstallOnQuit(FakeUpdater::item("42"));
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::signal); }),
            TerminateReply::terminateLater);
  advance(0ms);
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(router->waitingForUpdater());
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  EXPECT_EQ(fake->installs, 0);  // the engine installs it on the way out
}

TEST_F(UpdaterQuitRoutingTest, AFailedCycleAnswersNoAndTheProgramStays) {
  testing::callOn(io, [&] { return adapter->start(); });
  auto lease = gate->acquire(Kind::fileTransfer);
  controller().willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::menu); }),
            TerminateReply::terminateLater);
  fake->emitAbort(UpdaterError("VantrelMac.UpdateEngine", 1005, "download failed"));
  EXPECT_FALSE(router->waitingForUpdater());
  EXPECT_EQ(quits, 0);
  // The next request is answered afresh, and nothing holds it back any more.
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::menu); }),
            TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);
  lease->end();
}

// The preparation that saves a resume record fails and answers "no" while a second quit waits:
// that quit is asked anew and must find no preparation still counted as running, else it waits
// with nothing left to answer it.
TEST_F(UpdaterQuitRoutingTest, AQuitRepeatedWhileAFailedSaveAnswersNoEndsTheProgram) {
  testing::callOn(io, [&] { return adapter->start(); });
  fs::create_directories(resumeURL.parent_path());
  ::chmod(resumeURL.parent_path().c_str(), 0755);  // the store refuses a folder others can read
  auto lease = gate->acquire(Kind::remoteScreen);
  controller().willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  testing::callOn(io, [&] { return adapter->checkForUpdates(); });  // a preparation with a resume record
  advance(0ms);
  // The engine offers the same update for the quit again: the quit waits for that preparation.
  controller().willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::menu); }),
            TerminateReply::terminateLater);
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::signal); }),
            TerminateReply::terminateLater);
  MemoryLogSink sink;
  lease->end();
  // Admitted, the record cannot be saved: "no". The repeated quit's own preparation saves none.
  advance(1s);
  advance(1s);
  EXPECT_TRUE(sink.contains("VantrelMac updater failure"));
  EXPECT_FALSE(fs::exists(resumeURL));
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(router->waitingForUpdater());
  EXPECT_TRUE(gate->snapshot().installationCommitted);
}

TEST_F(UpdaterQuitRoutingTest, AKeptRelaunchBlockCancelsTheQuit) {
  testing::callOn(io, [&] { return adapter->start(); });
  auto lease = gate->acquire(Kind::remoteInput);
  int installs = 0;
  EXPECT_TRUE(
      controller().shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([&] { ++installs; })));
  EXPECT_EQ(testing::callOn(io, [&] { return router->requestQuit(QuitSource::sessionManager); }),
            TerminateReply::terminateCancel);
  EXPECT_FALSE(router->waitingForUpdater());
  lease->end();
  advance(1s);
  EXPECT_EQ(installs, 1);  // the update installs and relaunches by itself
  EXPECT_EQ(quits, 0);
}

TEST_F(UpdaterQuitRoutingTest, ASessionAgentNeverAsksTheUpdater) {
  testing::callOn(io, [&] { return adapter->start(); });
  auto lease = gate->acquire(Kind::remoteScreen);
  controller().willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  QuitRouter agent(
      adapter, [this] { ++quits; }, true);
  EXPECT_EQ(testing::callOn(io, [&] { return agent.requestQuit(QuitSource::signal); }),
            TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(gate->snapshot().installationCommitted);
}

TEST(UpdaterControllerAdapterTest, WithoutAControllerTheProgramQuitsAndOffersNoCheck) {
  UpdaterControllerAdapter adapter;
  EXPECT_FALSE(adapter.canCheckForUpdates());
  EXPECT_EQ(adapter.terminationReply(), TerminateReply::terminateNow);
  adapter.terminationReplyHook()(true);  // no handler yet: dropped
  std::vector<bool> replies;
  adapter.setDeferredTerminationHandler([&](bool terminate) { replies.push_back(terminate); });
  const auto hook = adapter.terminationReplyHook();
  hook(false);
  hook(true);
  EXPECT_EQ(replies, (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace vantrel
