#include <gtest/gtest.h>

#include "Model/Status/QuitRouter.hpp"

#include <optional>

namespace vantrel {
namespace {

class ScriptedUpdater final : public UpdaterControlling {
 public:
  TerminateReply reply = TerminateReply::terminateNow;
  int asked = 0;
  std::function<void(bool)> deferred;
  // The final answer given before the reply returns (an updater that has decided at once).
  std::optional<bool> answerWhileReplying;

  void start() override {}
  void checkForUpdates() override {}
  bool canCheckForUpdates() const override { return true; }
  void consumeUpdateResume() override {}
  TerminateReply terminationReply() override {
    ++asked;
    if (answerWhileReplying) deferred(*answerWhileReplying);
    return reply;
  }
  void setDeferredTerminationHandler(std::function<void(bool)> handler) override {
    deferred = std::move(handler);
  }
};

struct QuitFixture : ::testing::Test {
  std::shared_ptr<ScriptedUpdater> updater = std::make_shared<ScriptedUpdater>();
  int quits = 0;
};

TEST_F(QuitFixture, NowQuitsLaterWaitsCancelStays) {
  QuitRouter router(updater, [this] { ++quits; });
  updater->reply = TerminateReply::terminateCancel;
  EXPECT_EQ(router.requestQuit(QuitSource::menu), TerminateReply::terminateCancel);
  EXPECT_EQ(quits, 0);
  updater->reply = TerminateReply::terminateLater;
  EXPECT_EQ(router.requestQuit(QuitSource::signal), TerminateReply::terminateLater);
  EXPECT_EQ(quits, 0);
  EXPECT_TRUE(router.waitingForUpdater());
  updater->deferred(true);
  EXPECT_EQ(quits, 1);
}

TEST_F(QuitFixture, EverySourceTakesTheSamePath) {
  for (const auto source :
       {QuitSource::menu, QuitSource::shortcut, QuitSource::signal, QuitSource::sessionManager}) {
    auto local = std::make_shared<ScriptedUpdater>();
    int count = 0;
    QuitRouter router(local, [&count] { ++count; });
    local->reply = TerminateReply::terminateLater;
    router.requestQuit(source);
    EXPECT_EQ(count, 0);
    local->reply = TerminateReply::terminateNow;
    local->deferred(false);  // the update failed: the program stays
    EXPECT_EQ(count, 0);
    router.requestQuit(source);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(local->asked, 2);
  }
}

TEST_F(QuitFixture, ARepeatedRequestWhileWaitingDoesNotAskAgainAndQuitsOnce) {
  QuitRouter router(updater, [this] { ++quits; });
  updater->reply = TerminateReply::terminateLater;
  router.requestQuit(QuitSource::menu);
  router.requestQuit(QuitSource::signal);
  EXPECT_EQ(updater->asked, 1);
  updater->deferred(true);
  updater->deferred(true);
  EXPECT_EQ(quits, 1);
  router.requestQuit(QuitSource::menu);
  EXPECT_EQ(quits, 1);
}

TEST_F(QuitFixture, AnAnswerGivenWhileTheUpdaterRepliesIsTaken) {
  QuitRouter router(updater, [this] { ++quits; });
  updater->reply = TerminateReply::terminateLater;
  updater->answerWhileReplying = false;
  EXPECT_EQ(router.requestQuit(QuitSource::signal), TerminateReply::terminateCancel);
  EXPECT_FALSE(router.waitingForUpdater());
  EXPECT_EQ(quits, 0);
  updater->answerWhileReplying = true;
  EXPECT_EQ(router.requestQuit(QuitSource::menu), TerminateReply::terminateNow);
  EXPECT_FALSE(router.waitingForUpdater());
  EXPECT_EQ(quits, 1);
  // An answer given inside a reply that is not "later" belongs to no waiting request.
  QuitRouter other(updater, [this] { ++quits; });
  updater->reply = TerminateReply::terminateCancel;
  EXPECT_EQ(other.requestQuit(QuitSource::menu), TerminateReply::terminateCancel);
  EXPECT_EQ(quits, 1);
}

// The user asked twice; the first answer keeps the program (the update failed), so the second
// request is asked anew rather than lost.
TEST_F(QuitFixture, ARequestMadeWhileWaitingIsAskedAgainWhenTheAnswerKeepsTheProgram) {
  QuitRouter router(updater, [this] { ++quits; });
  updater->reply = TerminateReply::terminateLater;
  router.requestQuit(QuitSource::menu);
  router.requestQuit(QuitSource::menu);
  router.requestQuit(QuitSource::signal);
  EXPECT_EQ(updater->asked, 1);
  updater->reply = TerminateReply::terminateNow;
  updater->deferred(false);
  EXPECT_EQ(updater->asked, 2);  // once for the three requests
  EXPECT_EQ(quits, 1);
  // Without a request made meanwhile, "no" keeps the program.
  auto single = std::make_shared<ScriptedUpdater>();
  QuitRouter alone(single, [this] { ++quits; });
  single->reply = TerminateReply::terminateLater;
  alone.requestQuit(QuitSource::menu);
  single->deferred(false);
  EXPECT_EQ(single->asked, 1);
  EXPECT_EQ(quits, 1);
}

TEST_F(QuitFixture, SessionAgentEndsWithoutAsking) {
  updater->reply = TerminateReply::terminateCancel;
  QuitRouter router(
      updater, [this] { ++quits; }, true);
  EXPECT_EQ(router.requestQuit(QuitSource::signal), TerminateReply::terminateNow);
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(updater->asked, 0);
}

}  // namespace
}  // namespace vantrel
