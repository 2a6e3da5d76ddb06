#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "Platform/Update/UpdateFrameworkEngine.hpp"
#include "Platform/Update/UpdateFrameworkRelaunch.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Support/Blocking.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/SystemLog.hpp"
#include "UpdateFeedServer.hpp"
#include "support/AsyncTest.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Answer = testing::UpdateFeedServer::Answer;

// Answers the dialogs as scripted and records what was shown.
class ScriptedDriver : public StandardUserDriver {
 public:
  UpdateFoundChoice foundChoice = UpdateFoundChoice::install;
  ReadyToInstallChoice readyChoice = ReadyToInstallChoice::installAndRelaunch;
  std::vector<std::string> shown;

  void showUpdateFound(const AppcastItem& item, std::function<void(UpdateFoundChoice)> reply) override {
    shown.push_back("found " + item.versionString);
    reply(foundChoice);
  }
  // The last progress shown and its "cancel".
  std::uint64_t received = 0;
  std::function<void()> cancelDownload;
  int dismissals = 0;

  void showDownloadProgress(std::uint64_t done, std::uint64_t, std::function<void()> cancel) override {
    received = done;
    cancelDownload = std::move(cancel);
  }
  void dismissUpdateInstallation() override { ++dismissals; }
  void showReadyToInstall(const AppcastItem& item, std::function<void(ReadyToInstallChoice)> reply) override {
    shown.push_back("ready " + item.versionString);
    reply(readyChoice);
  }
  // The errors reported to the user, as the driver got them.
  std::vector<UpdaterError> errors;
  void showUpdaterError(const UpdaterError& error, std::function<void()> ack) override {
    shown.push_back("error " + std::to_string(error.code()));
    errors.push_back(error);
    ack();
  }
  void showUpdateNotFound(const UpdaterError&, std::function<void()> ack) override {
    shown.push_back("not found");
    ack();
  }
  void showUpdateInstalledAndRelaunched(bool relaunched, std::function<void()> ack) override {
    shown.push_back(relaunched ? "relaunched" : "installed");
    ack();
  }
};

class RecordingDelegate : public UpdaterDelegate {
 public:
  std::string feed;
  std::optional<UpdaterError> refusal;
  bool postpone = false;
  InstallBlock kept;
  std::vector<std::string> calls;
  bool finished = false;

  std::optional<std::string> feedURLString() override { return feed; }
  std::optional<UpdaterError> shouldProceedWithUpdate(const AppcastItem& item, UpdateCheck) override {
    calls.push_back("proceed " + item.versionString);
    return refusal;
  }
  void didFindValidUpdate(const AppcastItem& item) override {
    calls.push_back("found " + item.versionString);
  }
  void willDownloadUpdate(const AppcastItem&) override { calls.push_back("download"); }
  void willExtractUpdate(const AppcastItem&) override { calls.push_back("extract"); }
  void didExtractUpdate(const AppcastItem&) override { calls.push_back("extracted"); }
  void willInstallUpdate(const AppcastItem&) override { calls.push_back("install"); }
  bool shouldPostponeRelaunch(const AppcastItem&, InstallBlock block) override {
    calls.push_back("postpone?");
    if (postpone) kept = block;
    return postpone;
  }
  bool willInstallUpdateOnQuit(const AppcastItem&, InstallBlock block) override {
    calls.push_back("on quit");
    kept = block;
    return true;
  }
  void didAbortWithError(const UpdaterError& error) override {
    calls.push_back("abort " + std::to_string(error.code()));
  }
  void didFinishUpdateCycle(UpdateCheck, const std::optional<UpdaterError>& error) override {
    calls.push_back(error ? "finish " + std::to_string(error->code()) : "finish");
    finished = true;
  }
};

// Keeps every thread of a blocking pool busy until `release()` (or its end), so that work queued
// meanwhile waits: more holds than the pool has threads, each waiting on one latch.
class PoolHold {
 public:
  explicit PoolHold(BlockingPool& pool) {
    for (int i = 0; i < holds; ++i) {
      pool.post([state = state_] {
        std::unique_lock lock(state->mutex);
        ++state->holding;
        state->changed.notify_all();
        state->changed.wait(lock, [&] { return state->released; });
      });
    }
  }
  ~PoolHold() { release(); }
  PoolHold(const PoolHold&) = delete;
  PoolHold& operator=(const PoolHold&) = delete;

  // True once a pool thread has taken a hold (and every job queued later stands behind them).
  bool engaged() {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, testing::hangGuard, [&] { return state_->holding > 0; });
  }
  void release() {
    {
      std::lock_guard lock(state_->mutex);
      state_->released = true;
    }
    state_->changed.notify_all();
  }

 private:
  static constexpr int holds = 8;  // the pool of a plain context has 2 threads
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    int holding = 0;
    bool released = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class UpdateEngineTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  testing::UpdateFeedServer server;
  testing::UpdateKeys keys = testing::UpdateKeys::generate();
  asio::io_context io;
  fs::path root = home.root() / "install";
  std::shared_ptr<ScriptedDriver> driver = std::make_shared<ScriptedDriver>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  int terminations = 0;
  // The engine's calendar: far from the real date, so nothing depends on when the test runs.
  std::chrono::system_clock::time_point today{std::chrono::seconds(1'000'000'000)};

  void SetUp() override {
    update_relaunch::clearRequest();
    testing::makeInstallRoot(root, "1", info("1"));
    delegate->feed = server.url("/appcast.xml");
  }
  void TearDown() override {
    // A worker the engine started keeps the context at work until it has handed its outcome
    // over; the context is destroyed only after the last one let go of it.
    io.restart();
    io.run_for(testing::hangGuard);
    update_relaunch::clearRequest();
  }

  UpdateInfo info(const std::string& build) {
    return testing::updateInfo(build, keys, server.url("/appcast.xml"));
  }

  // Build 2 downloaded and left, with "later", to the install at quit.
  std::shared_ptr<LinuxUpdater> downloadedForQuit() {
    publish(keys, keys);
    driver->readyChoice = ReadyToInstallChoice::later;
    auto updater = makeUpdater();
    onMain([&] { updater->checkForUpdates(); });
    runUntilFinished([&] { return static_cast<bool>(delegate->kept); });
    return updater;
  }
  std::shared_ptr<LinuxUpdater> makeUpdater(bool installable = true) {
    auto environment = LinuxUpdaterEnvironment::forRunningProgram(io.get_executor(), info("1"), nullptr);
    environment.layout = installable ? std::optional(update_install::Layout{root}) : std::nullopt;
    environment.settings->setBool(UpdaterSettings::automaticChecksKey, false);
    environment.requestTermination = [this] { ++terminations; };
    environment.now = [this] { return today; };
    auto updater = LinuxUpdater::create(std::move(environment), driver, delegate);
    EXPECT_FALSE(onMain([&] { return updater->startUpdater(); }));
    return updater;
  }

  // Calls into the engine from the main executor, as the program does.
  template <typename F>
  std::invoke_result_t<F&> onMain(F f) {
    return testing::callOn(io, std::move(f));
  }
  // Runs the main executor until no work is left (the install and the removals on the pool
  // included).
  void finishWork() {
    io.restart();
    io.run_for(testing::hangGuard);
  }
  // An updater on a context of its own whose feed check is in flight: the server sends 16 bytes and
  // then nothing, with the rate floor and the deadline ten minutes away.
  std::shared_ptr<LinuxUpdater> feedInFlightOn(asio::io_context& context) {
    server.set("/appcast.xml", Answer::stalled(std::string(4096, 'x')));
    auto environment = LinuxUpdaterEnvironment::forRunningProgram(context.get_executor(), info("1"), nullptr);
    environment.settings->setBool(UpdaterSettings::automaticChecksKey, false);
    environment.transferPolicy.lowSpeedTime = std::chrono::minutes(10);
    environment.transferPolicy.feedDeadline = std::chrono::minutes(10);
    auto updater = LinuxUpdater::create(std::move(environment), driver, delegate);
    EXPECT_FALSE(testing::callOn(context, [&] { return updater->startUpdater(); }));
    testing::callOn(context, [&] { updater->checkForUpdates(); });
    for (int round = 0; round < 4000 && server.requests("/appcast.xml") == 0; ++round) {
      context.restart();
      context.run_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(server.requests("/appcast.xml"), 1);
    return updater;
  }

  // Publishes build 2 (its archive signed with `archiveKeys`) in a feed signed with `feedKeys`.
  std::string publish(const testing::UpdateKeys& feedKeys, const testing::UpdateKeys& archiveKeys,
                      const std::string& program = "#!/bin/sh\necho build 2\n") {
    auto archive = testing::buildArchive(info("2"), program);
    server.set("/v2.tgz", Answer::ok(archive));
    const auto entry = testing::appcastEntry("2", server.url("/v2.tgz"), archive, archiveKeys);
    server.set("/appcast.xml",
               Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), feedKeys.privateKey)));
    return archive;
  }

  void forgetCycle() {
    delegate->calls.clear();
    delegate->finished = false;
  }

  void runUntilFinished(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (io.stopped()) io.restart();
      io.run_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(done()) << "the update cycle did not end";
  }
};

TEST_F(UpdateEngineTest, RelaunchRouteInstallsOnlyWhenTheBlockIsInvoked) {
  publish(keys, keys);
  delegate->postpone = true;
  auto updater = makeUpdater();
  EXPECT_TRUE(updater->canCheckForUpdates());
  onMain([&] { updater->checkForUpdates(); });
  EXPECT_FALSE(updater->canCheckForUpdates());
  runUntilFinished([&] { return static_cast<bool>(delegate->kept); });
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"proceed 2", "found 2", "download", "extract",
                                                       "extracted", "postpone?"}));
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");  // nothing installed yet
  EXPECT_FALSE(update_relaunch::requestedProgram());

  delegate->kept();
  delegate->kept();  // a second invocation does nothing
  finishWork();
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_EQ(testing::readText(root / "current/VantrelMac"), "#!/bin/sh\necho build 2\n");
  EXPECT_TRUE(fs::exists(root / "versions/1/VantrelMac"));
  EXPECT_EQ(update_relaunch::requestedProgram(), root / "current/VantrelMac");
  EXPECT_EQ(terminations, 1);
  EXPECT_EQ(std::count(delegate->calls.begin(), delegate->calls.end(), "install"), 1);
  // The download left no file and its folder is private.
  const auto downloads = home.path() / ".local/share/local.vantrel.VantrelMac/Update/Downloads";
  EXPECT_TRUE(fs::is_empty(downloads));
  struct stat info {};
  ASSERT_EQ(::stat(downloads.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  // Its parent also holds the resume record, which is written only into a 0700 folder.
  ASSERT_EQ(::stat(downloads.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
}

TEST_F(UpdateEngineTest, InstallOnQuitWithoutRelaunch) {
  publish(keys, keys);
  driver->readyChoice = ReadyToInstallChoice::later;
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return static_cast<bool>(delegate->kept); });
  EXPECT_EQ(delegate->calls.back(), "on quit");
  EXPECT_FALSE(updater->canCheckForUpdates());  // the session waits for the quit
  onMain([&] { updater->applicationWillTerminate(); });
  finishWork();
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_FALSE(update_relaunch::requestedProgram());
  EXPECT_EQ(terminations, 0);
}

// At quit the program lets its updater go right after telling it: the install still runs to its
// end, says so, and leaves no staged build.
TEST_F(UpdateEngineTest, AnInstallAtQuitOutlivesItsUpdaterAndIsLogged) {
  MemoryLogSink sink;
  auto updater = downloadedForQuit();
  onMain([&] {
    updater->applicationWillTerminate();
    updater.reset();
  });
  finishWork();
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_TRUE(sink.contains("VantrelMac update installed build 2 at quit"));
  for (const auto& entry : fs::directory_iterator(root / "versions"))
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

// An install at quit that fails opens no notice (the program is ending); the log says why.
TEST_F(UpdateEngineTest, AnInstallAtQuitThatFailsOpensNoNotice) {
  MemoryLogSink sink;
  auto updater = downloadedForQuit();
  // Meanwhile build 2 became the current version by other means: installing it again is refused.
  fs::copy(root / "versions/1", root / "versions/2", fs::copy_options::recursive);
  fs::remove(root / "current");
  fs::create_directory_symlink("versions/2", root / "current");
  onMain([&] { updater->applicationWillTerminate(); });
  finishWork();
  EXPECT_EQ(driver->shown, (std::vector<std::string>{"found 2", "ready 2"}));
  EXPECT_TRUE(sink.contains("VantrelMac update failed"));
  EXPECT_FALSE(sink.contains("installed build 2"));
}

// ---- work in flight on the blocking pool ----

TEST_F(UpdateEngineTest, TheInstallRunsOffTheMainExecutor) {
  publish(keys, keys);
  delegate->postpone = true;
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return static_cast<bool>(delegate->kept); });
  // Every thread of the blocking pool waits behind a hold, so the install, queued after them,
  // cannot begin until the test lets it: what is seen before that is what the main executor did
  // by itself, whatever the threads' speed.
  PoolHold hold(blockingPoolOf(io.get_executor()));
  ASSERT_TRUE(hold.engaged());
  onMain([&] {
    ASSERT_TRUE(runsOnThisThread(io.get_executor()));
    delegate->kept();
    // The block has returned to the main executor without touching the install layout.
    EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
    EXPECT_EQ(terminations, 0);
  });
  // Nor does the main executor do it meanwhile: it waits for the pool.
  io.restart();
  io.poll();
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
  EXPECT_EQ(terminations, 0);
  hold.release();
  finishWork();
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_EQ(update_relaunch::requestedProgram(), root / "current/VantrelMac");
  EXPECT_EQ(terminations, 1);
}

TEST_F(UpdateEngineTest, AnUpdaterGoneWhileItsFeedIsInFlightIsNeverCalledBack) {
  server.set("/appcast.xml", Answer::stalled(std::string(4096, 'x')));  // 16 bytes, then nothing
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return server.requests("/appcast.xml") == 1; });
  const std::weak_ptr<LinuxUpdater> weak = updater;
  updater.reset();  // cancels the transfer; the pool ends it and finds nobody to hand it to
  EXPECT_TRUE(weak.expired());
  finishWork();
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_TRUE(driver->shown.empty());
}

TEST_F(UpdateEngineTest, AContextDestroyedAfterItsUpdaterWithAFeedInFlightEndsCleanly) {
  auto context = std::make_unique<asio::io_context>();
  auto updater = feedInFlightOn(*context);
  updater.reset();
  // Never run again: its pool is stopped in its shutdown, and the completion posted meanwhile is
  // destroyed with it, unrun.
  context.reset();
  EXPECT_TRUE(delegate->calls.empty());
}

TEST_F(UpdateEngineTest, AContextDestroyedUnderALiveUpdaterEndsItsTransferAtTheStopOfItsPool) {
  auto context = std::make_unique<asio::io_context>();
  const auto updater = feedInFlightOn(*context);
  // Nobody cancelled the transfer: the stop of the context's pool ends it, where the shutdown
  // would otherwise wait for the stalled transfer's rate floor or deadline (ten minutes).
  const auto before = std::chrono::steady_clock::now();
  context.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, testing::hangGuard);
  EXPECT_TRUE(delegate->calls.empty());
}

TEST_F(UpdateEngineTest, AQuitDuringTheDownloadEndsItWithoutInstallingOrReporting) {
  const auto archive = publish(keys, keys);
  server.set("/v2.tgz", Answer::stalled(archive));
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return server.requests("/v2.tgz") == 1; });
  onMain([&] { updater->applicationWillTerminate(); });
  finishWork();
  EXPECT_EQ(delegate->calls.back(), "finish " + std::to_string(updater_errors::cancelled));
  EXPECT_EQ(driver->shown, std::vector<std::string>{"found 2"});
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
  EXPECT_TRUE(fs::is_empty(home.path() / ".local/share/local.vantrel.VantrelMac/Update/Downloads"));
}

TEST_F(UpdateEngineTest, ACancelledDownloadEndsItsCycleAndDismissesItsWindows) {
  const auto archive = publish(keys, keys, testing::incompressibleBytes(512 * 1024));
  server.set("/v2.tgz", Answer::stalledAfter(archive, 256 * 1024));
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return static_cast<bool>(driver->cancelDownload); });
  EXPECT_GT(driver->received, 0u);
  EXPECT_EQ(driver->dismissals, 0);  // the progress window is up
  onMain([&] { driver->cancelDownload(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(delegate->calls.back(), "finish " + std::to_string(updater_errors::cancelled));
  EXPECT_EQ(driver->shown, std::vector<std::string>{"found 2"});  // a cancel is no failure to report
  EXPECT_EQ(driver->dismissals, 1);
  EXPECT_TRUE(updater->canCheckForUpdates());

  // Every other end of a cycle dismisses them too: "later", and a failure.
  driver->foundChoice = UpdateFoundChoice::later;
  forgetCycle();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(driver->dismissals, 2);
  delegate->refusal = UpdaterError("VantrelMac.Update", 1, "refused");
  forgetCycle();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(driver->dismissals, 3);
}

TEST_F(UpdateEngineTest, NoNewerBuild) {
  const auto entry = testing::appcastEntry("1", server.url("/v1.tgz"), "x", keys);
  server.set("/appcast.xml",
             Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), keys.privateKey)));
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(driver->shown, std::vector<std::string>{"not found"});
  EXPECT_EQ(delegate->calls, std::vector<std::string>{"finish " + std::to_string(updater_errors::noUpdate)});
  EXPECT_TRUE(updater->canCheckForUpdates());

  forgetCycle();
  onMain([&] { updater->checkInBackground(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(driver->shown.size(), 1u);  // a background check says nothing
}

// ---- the schedule of background checks ----

struct IntervalCase {
  nlohmann::json interval;  // null: absent
  bool rehearsal;
  long long expected;
};

class CheckInterval : public UpdateEngineTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(CheckInterval, HasAFloorOfAnHourOrTenSecondsInARehearsalAndACapOfAYear) {
  auto information = info("1");
  information["VNUpdateLocalRehearsal"] = GetParam().rehearsal;
  if (!GetParam().interval.is_null()) information["SUScheduledCheckInterval"] = GetParam().interval;
  auto environment = LinuxUpdaterEnvironment::forRunningProgram(io.get_executor(), information, nullptr);
  const auto updater = LinuxUpdater::create(std::move(environment), driver, delegate);
  EXPECT_EQ(updater->checkInterval(), std::chrono::seconds(GetParam().expected)) << GetParam().interval;
}

INSTANTIATE_TEST_SUITE_P(
    UpdateEngine, CheckInterval,
    ::testing::Values(IntervalCase{nullptr, false, 86400}, IntervalCase{3600, false, 3600},
                      IntervalCase{3599, false, 86400}, IntervalCase{10, false, 86400},
                      IntervalCase{10, true, 10}, IntervalCase{9, true, 86400},
                      IntervalCase{31536000, false, 31536000}, IntervalCase{31536001, false, 86400},
                      IntervalCase{"7200", false, 86400}, IntervalCase{7200.5, false, 7200}));

// Background checks on the manual clock: the first one 30 s after start (or after the interval
// when that is shorter), later ones at the last check plus the interval. (The feed is served over
// loopback HTTP, which only a rehearsal build accepts; the schedule is the same for every build.)
class CheckSchedule : public UpdateEngineTest {
 protected:
  ManualClock clock;

  void SetUp() override {
    UpdateEngineTest::SetUp();
    const auto entry = testing::appcastEntry("1", server.url("/v1.tgz"), "x", keys);
    server.set("/appcast.xml",
               Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), keys.privateKey)));
  }
  std::shared_ptr<LinuxUpdater> updater;
  std::shared_ptr<UpdaterSettings> settings;
  int checks = 0;

  // The next scheduled check is a wait that keeps the context at work: end it, so that the base
  // teardown sees the context run out of work at once instead of at its hang guard.
  void TearDown() override {
    if (updater) onMain([&] { updater->setAutomaticallyChecksForUpdates(false); });
    updater.reset();
    UpdateEngineTest::TearDown();
  }

  void start(UpdateInfo information, std::optional<double> lastCheck) {
    auto environment =
        LinuxUpdaterEnvironment::forRunningProgram(io.get_executor(), std::move(information), nullptr);
    environment.settings->setBool(UpdaterSettings::automaticChecksKey, true);
    if (lastCheck) environment.settings->setDouble(UpdaterSettings::lastCheckTimeKey, *lastCheck);
    environment.now = [this] { return today; };
    settings = environment.settings;
    updater = LinuxUpdater::create(std::move(environment), driver, delegate);
    EXPECT_FALSE(onMain([&] { return updater->startUpdater(); }));
  }
  // Moves the clock in steps; true when a check began within `by` (it is then run to its end and
  // its feed request counted). A running check is what keeps the updater from starting another.
  bool checkedWithin(std::chrono::seconds by, std::chrono::seconds step = std::chrono::seconds(1)) {
    // A check has begun once the updater is busy with it (or, on a fast loopback, already done).
    const auto began = [&] { return !updater->canCheckForUpdates() || delegate->finished; };
    for (std::chrono::seconds moved{0}; moved < by; moved += step) {
      clock.advance(step);
      // The reactor notices moved time at its next wake-up: a last step gets longer to do so.
      const bool last = moved + step >= by;
      for (int round = 0; round < (last ? 40 : 1) && !began(); ++round) {
        io.run_for(std::chrono::milliseconds(2));
        if (io.stopped()) io.restart();
      }
      if (began()) {
        runUntilFinished([&] { return delegate->finished; });
        forgetCycle();
        ++checks;
        EXPECT_EQ(server.requests("/appcast.xml"), checks);
        return true;
      }
    }
    return false;
  }
  double secondsToday() const { return std::chrono::duration<double>(today.time_since_epoch()).count(); }
};

TEST_F(CheckSchedule, TheFirstCheckComesThirtySecondsAfterStart) {
  auto information = info("1");
  information["SUScheduledCheckInterval"] = 3600;
  start(information, std::nullopt);
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(29)));
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(1)));
  // The next one an interval after that check.
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(3540), std::chrono::seconds(60)));
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(58)));
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(3)));
}

TEST_F(CheckSchedule, ARecentCheckPutsTheFirstOneAtTheLastCheckPlusTheInterval) {
  auto information = info("1");
  information["SUScheduledCheckInterval"] = 3600;
  start(information, secondsToday() - 3500);  // due in about 100 s
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(98)));
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(4)));
}

TEST_F(CheckSchedule, ABackgroundCheckIsStampedWithTheInjectedDate) {
  auto information = info("1");
  information["SUScheduledCheckInterval"] = 3600;
  start(information, std::nullopt);
  ASSERT_TRUE(checkedWithin(std::chrono::seconds(31)));
  EXPECT_EQ(settings->doubleValue(UpdaterSettings::lastCheckTimeKey), secondsToday());
}

TEST_F(CheckSchedule, ARehearsalBuildChecksEveryTenSeconds) {
  auto information = info("1");
  information["VNUpdateLocalRehearsal"] = true;
  information["SUScheduledCheckInterval"] = 10;
  start(information, std::nullopt);
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(9)));
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(1)));
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(8)));
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(3)));
}

TEST_F(CheckSchedule, NoCheckIsScheduledWhileAutomaticChecksAreOff) {
  auto information = info("1");
  information["SUScheduledCheckInterval"] = 3600;
  start(information, std::nullopt);
  onMain([&] { updater->setAutomaticallyChecksForUpdates(false); });
  EXPECT_FALSE(checkedWithin(std::chrono::seconds(7200), std::chrono::seconds(30)));
}

// Where the stored last check puts the first scheduled one (interval an hour, first delay 30 s):
// a date in the future counts as now, so a clock once set ahead delays checks by one interval at
// most; numbers no clock can hold are clamped, and NaN counts as no check.
struct LastCheckCase {
  const char* what;
  double stored;
  bool sinceToday;  // `stored` is an offset from the engine's date
  std::chrono::seconds firstCheck;
  friend void PrintTo(const LastCheckCase& c, std::ostream* out) { *out << c.what; }
};

class LastCheckSchedule : public CheckSchedule, public ::testing::WithParamInterface<LastCheckCase> {};

TEST_P(LastCheckSchedule, PutsTheFirstCheckNoLaterThanAnIntervalFromNow) {
  const auto& c = GetParam();
  auto information = info("1");
  information["SUScheduledCheckInterval"] = 3600;
  start(information, c.sinceToday ? secondsToday() + c.stored : c.stored);
  const auto before = c.firstCheck - std::chrono::seconds(2);
  // Minutes at a time while far from it, then seconds.
  const auto coarse = std::chrono::duration_cast<std::chrono::minutes>(before) - std::chrono::minutes(1);
  if (coarse > std::chrono::minutes(0)) {
    EXPECT_FALSE(checkedWithin(coarse, std::chrono::minutes(1))) << c.what;
    EXPECT_FALSE(checkedWithin(before - coarse)) << c.what;
  } else {
    EXPECT_FALSE(checkedWithin(before)) << c.what;
  }
  EXPECT_TRUE(checkedWithin(std::chrono::seconds(4))) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    UpdateEngine, LastCheckSchedule,
    ::testing::Values(
        LastCheckCase{"two days ago", -2.0 * 86400, true, std::chrono::seconds(30)},
        LastCheckCase{"3500 s ago", -3500, true, std::chrono::seconds(100)},
        LastCheckCase{"now", 0, true, std::chrono::seconds(3600)},
        LastCheckCase{"a day ahead", 86400, true, std::chrono::seconds(3600)},
        LastCheckCase{"four years ahead", 4 * 365.0 * 86400, true, std::chrono::seconds(3600)},
        LastCheckCase{"1e308", 1e308, false, std::chrono::seconds(3600)},
        LastCheckCase{"largest double", std::numeric_limits<double>::max(), false,
                      std::chrono::seconds(3600)},
        LastCheckCase{"infinity", std::numeric_limits<double>::infinity(), false, std::chrono::seconds(3600)},
        LastCheckCase{"before 1970", -1, false, std::chrono::seconds(30)},
        LastCheckCase{"-1e308", -1e308, false, std::chrono::seconds(30)},
        LastCheckCase{"minus infinity", -std::numeric_limits<double>::infinity(), false,
                      std::chrono::seconds(30)},
        LastCheckCase{"NaN", std::numeric_limits<double>::quiet_NaN(), false, std::chrono::seconds(30)}));

TEST_F(UpdateEngineTest, TamperedFeedsAreReportedAndNeverParsed) {
  const auto archive = testing::buildArchive(info("2"));
  const auto body = testing::appcastXML({testing::appcastEntry("2", server.url("/v2.tgz"), archive, keys)});
  auto flipped = update_signature::signFeed(body, keys.privateKey);
  flipped[flipped.find("<vantrel:version>2") + 17] = '3';
  const std::vector<std::string> feeds = {
      flipped, body, update_signature::signFeed(body, testing::UpdateKeys::generate().privateKey),
      update_signature::signFeed(body, keys.privateKey) + "<!-- -->"};
  auto updater = makeUpdater();
  for (const auto& feed : feeds) {
    server.set("/appcast.xml", Answer::ok(feed));
    forgetCycle();
    onMain([&] { updater->checkForUpdates(); });
    runUntilFinished([&] { return delegate->finished; });
    const auto code = std::to_string(updater_errors::feedSignature);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"abort " + code, "finish " + code}));
  }
  EXPECT_EQ(server.requests("/v2.tgz"), 0);
}

TEST_F(UpdateEngineTest, BadArchiveSignatureNeverCreatesStaging) {
  publish(keys, testing::UpdateKeys::generate());
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, (root / "versions").c_str(), IN_CREATE | IN_MOVED_TO), 0);
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  char events[4096];
  EXPECT_LE(::read(watch, events, sizeof(events)), 0) << "something was created in versions/";
  ::close(watch);
  const auto code = std::to_string(updater_errors::archiveSignature);
  EXPECT_EQ(delegate->calls.back(), "finish " + code);
  EXPECT_EQ(driver->shown.back(), "error " + code);
  EXPECT_TRUE(fs::is_empty(home.path() / ".local/share/local.vantrel.VantrelMac/Update/Downloads"));
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/1");
}

TEST_F(UpdateEngineTest, RefusalsAndUninstallableLayouts) {
  publish(keys, keys);
  delegate->refusal = UpdaterError("VantrelMac.Update", 1, "refused");
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"proceed 2", "abort 1", "finish 1"}));
  EXPECT_EQ(server.requests("/v2.tgz"), 0);

  delegate->refusal.reset();
  forgetCycle();
  auto buildTree = makeUpdater(false);
  onMain([&] { buildTree->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  const auto code = std::to_string(updater_errors::notInstallableHere);
  EXPECT_EQ(delegate->calls,
            (std::vector<std::string>{"proceed 2", "found 2", "abort " + code, "finish " + code}));
  EXPECT_EQ(server.requests("/v2.tgz"), 0);
}

// A notice shows the description in the language of its window; what went wrong in technical
// terms (a status, a path, an errno) is the detail, kept for the log.
TEST_F(UpdateEngineTest, EveryReportedFailureIsWordedInKoreanWithItsDetailApart) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool installable;
    updater_errors::Code code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"feed missing",
       [&] {
         server.set("/appcast.xml", Answer{404, "", "", false});
       },
       true, updater_errors::feedFailed, "업데이트 정보를 받지 못했습니다."},
      {"feed unsigned", [&] { server.set("/appcast.xml", Answer::ok(testing::appcastXML({}))); }, true,
       updater_errors::feedSignature, "업데이트 정보의 서명을 확인할 수 없습니다."},
      {"archive missing",
       [&] {
         publish(keys, keys);
         server.set("/v2.tgz", Answer{404, "", "", false});
       },
       true, updater_errors::downloadFailed, "새 버전을 다운로드하지 못했습니다."},
      {"archive signed by another key", [&] { publish(keys, testing::UpdateKeys::generate()); }, true,
       updater_errors::archiveSignature, "다운로드한 파일의 서명이 올바르지 않습니다."},
      {"not an install layout", [&] { publish(keys, keys); }, false, updater_errors::notInstallableHere,
       "업데이트를 설치할 수 있는 위치가 아닙니다."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryLogSink log;
    c.arrange();
    driver->errors.clear();
    forgetCycle();
    auto updater = makeUpdater(c.installable);
    onMain([&] { updater->checkForUpdates(); });
    runUntilFinished([&] { return delegate->finished; });
    ASSERT_EQ(driver->errors.size(), 1u);
    const auto& error = driver->errors.front();
    EXPECT_EQ(error.code(), c.code);
    const std::string text = error.localizedDescription();
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(std::count_if(text.begin(), text.end(), [](unsigned char ch) { return std::isalpha(ch); }), 0)
        << text;
    ASSERT_TRUE(error.failureReason()) << text;
    EXPECT_FALSE(error.failureReason()->empty());
    EXPECT_TRUE(log.contains("VantrelMac update failed VantrelMac.UpdateEngine:" + std::to_string(c.code) +
                             ": " + *error.failureReason()));
  }
}

TEST_F(UpdateEngineTest, LaterAndSkip) {
  publish(keys, keys);
  driver->foundChoice = UpdateFoundChoice::skip;
  auto updater = makeUpdater();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(delegate->calls.back(), "finish");
  // A skipped build is not offered again by a background check, but a user check offers it.
  forgetCycle();
  onMain([&] { updater->checkInBackground(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(delegate->calls, std::vector<std::string>{"finish " + std::to_string(updater_errors::noUpdate)});
  driver->foundChoice = UpdateFoundChoice::later;
  forgetCycle();
  onMain([&] { updater->checkForUpdates(); });
  runUntilFinished([&] { return delegate->finished; });
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"proceed 2", "found 2", "finish"}));
}

}  // namespace
}  // namespace vantrel
