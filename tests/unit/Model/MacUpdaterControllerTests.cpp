#include <gtest/gtest.h>

#include <sys/stat.h>

#include <asio/io_context.hpp>

#include "Model/Update/MacUpdaterController.hpp"
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
using Reply = MacUpdaterController::TerminateReply;
using testing::FakeUpdater;

const UpdateDate T = UpdateDate(std::chrono::seconds(1'800'000'000));

class MacUpdaterControllerTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  testing::UpdateKeys keys = testing::UpdateKeys::generate();
  std::shared_ptr<FakeUpdater> fake = std::make_shared<FakeUpdater>();
  fs::path resumeURL = home.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json";
  std::vector<bool> terminationAnswers;
  int windowShown = 0, automaticLogins = 0, updatersMade = 0;
  std::vector<std::function<void()>> heldWork;
  bool holdWork = false;
  bool onThePool = false;  // the file work runs on the main executor's blocking pool
  std::shared_ptr<MacUpdaterController> controller;

  UpdateInfo info(const std::string& build = "41") {
    return testing::updateInfo(build, keys, "https://updates.example/appcast.xml", false);
  }

  std::shared_ptr<MacUpdaterController> make(UpdateInfo information) {
    MacUpdaterController::Environment environment;
    environment.mainExecutor = io.get_executor();
    environment.info = std::move(information);
    environment.gate = gate;
    environment.makeUpdater = [this](std::shared_ptr<StandardUserDriver>,
                                     std::weak_ptr<UpdaterDelegate> delegate) {
      ++updatersMade;
      fake->setDelegate(delegate);
      return fake;
    };
    environment.resumeURL = [this] { return std::optional(resumeURL); };
    if (!onThePool) {
      environment.runOffMain = [this](std::function<void()> work) {
        if (holdWork) return heldWork.push_back(std::move(work));
        work();
      };
    }
    environment.replyToTermination = [this](bool quit) { terminationAnswers.push_back(quit); };
    environment.showWindow = [this] { ++windowShown; };
    environment.requestStartupAutomaticLogin = [this] { ++automaticLogins; };
    environment.now = [] { return T; };
    return MacUpdaterController::create(std::move(environment));
  }

  void started(UpdateInfo information = {}) {
    controller = make(information.is_null() ? info() : information);
    onMain([&] { return controller->start(); });
    settle();
  }
  // Moves the manual clock and lets the timers it made due fire (the reactor notices them
  // within a millisecond of real time).
  void advance(std::chrono::milliseconds by) {
    clock.advance(by);
    settle();
  }
  void settle() {
    for (int round = 0; round < 4; ++round) {
      if (io.stopped()) io.restart();
      io.run_for(std::chrono::milliseconds(3));
    }
  }
  const MacUpdaterController::Published& published() const { return controller->published(); }
  // Calls the controller from the main executor, as the application does.
  template <typename F>
  std::invoke_result_t<F&> onMain(F f) {
    return testing::callOn(io, std::move(f));
  }
};

TEST_F(MacUpdaterControllerTest, StartFailuresLeaveTheUpdaterUnusable) {
  auto broken = info();
  broken.erase("SUPublicEDKey");
  started(broken);
  EXPECT_EQ(published().status, "업데이트 설정을 확인할 수 없습니다. 연결 로그를 확인해 주세요.");
  EXPECT_TRUE(published().hasError);
  EXPECT_EQ(updatersMade, 0);
  EXPECT_EQ(gate->snapshot().updaterStatus, published().status);

  fake->startError = UpdaterError("VantrelMac.UpdateEngine", 9, "cannot start");
  started();
  EXPECT_EQ(published().status, "업데이트 설정을 확인할 수 없습니다. 연결 로그를 확인해 주세요.");
  EXPECT_EQ(fake->calls, (std::vector<std::string>{"setAutomaticallyDownloadsUpdates NO",
                                                   "setSendsSystemProfile NO", "start"}));
  advance(1s);
  EXPECT_FALSE(controller->validateMenuItem());
  onMain([&] { return controller->start(); });  // returns at once: the updater exists
  EXPECT_EQ(updatersMade, 1);
}

// The failure line gives the error's domain and number, for every kind of error.
TEST_F(MacUpdaterControllerTest, TheFailureLineGivesTheErrorsDomainAndNumber) {
  MemoryLogSink sink;
  auto broken = info();
  broken.erase("SUPublicEDKey");
  started(broken);
  EXPECT_TRUE(
      sink.contains("VantrelMac updater failure VantrelMacCore.UpdateConfiguration.ValidationError:2"));
  EXPECT_FALSE(sink.contains("invalidPublicKey"));
  started(UpdateInfo::object());
  EXPECT_TRUE(
      sink.contains("VantrelMac updater failure VantrelMacCore.UpdateConfiguration.ValidationError:0"));
  EXPECT_FALSE(sink.contains("missingConfiguration"));

  fake->startError = UpdaterError("VantrelMac.UpdateEngine", 1009, "cannot start");
  started();
  EXPECT_TRUE(sink.contains("VantrelMac updater failure VantrelMac.UpdateEngine:1009"));
}

// A record that cannot be cleaned up is logged with the store's error domain and number.
TEST_F(MacUpdaterControllerTest, TheResumeCleanupLineGivesTheErrorsDomainAndNumber) {
  MemoryLogSink sink;
  started();
  auto lease = gate->acquire(Kind::remoteScreen);
  controller->shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([] {}));
  settle();
  ASSERT_TRUE(published().waitingForActivity);
  // The record's place holds a link: the store refuses to follow it (ELOOP).
  fs::create_directories(resumeURL.parent_path());
  ::chmod(resumeURL.parent_path().c_str(), 0700);
  fs::create_symlink(home.root() / "elsewhere.json", resumeURL);
  fake->emitAbort(UpdaterError("VantrelMac.UpdateEngine", 1005, "gone"));  // discards the intent
  settle();
  EXPECT_TRUE(
      sink.contains("VantrelMac update resume cleanup failed NSPOSIXErrorDomain:" + std::to_string(ELOOP)));
  EXPECT_TRUE(sink.contains("VantrelMac updater failure VantrelMac.UpdateEngine:1005"));
}

TEST_F(MacUpdaterControllerTest, StartPublishesTheAutomaticCheckState) {
  fake->automaticChecks = false;
  started();
  EXPECT_EQ(published().status, "자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요");
  EXPECT_FALSE(published().automaticChecks);
  EXPECT_TRUE(published().canCheck);
  EXPECT_EQ(gate->snapshot().updaterStatus, published().status);
  onMain([&] { return controller->setAutomaticChecks(true); });
  EXPECT_EQ(published().status, "새 버전을 자동으로 확인합니다");
  fake->acceptsAutomaticChecks = false;
  onMain([&] { return controller->setAutomaticChecks(false); });
  EXPECT_TRUE(published().automaticChecks);  // mirrors the updater, not the request
}

TEST_F(MacUpdaterControllerTest, CheckThatFindsNothingReturnsToTheIdleLine) {
  started();
  onMain([&] { return controller->checkForUpdates(); });
  EXPECT_EQ(fake->checks, 1);
  EXPECT_EQ(published().status, "새 버전 확인 중…");
  fake->emitFinish(UpdateCheck::userInitiated, updater_errors::make(updater_errors::noUpdate, "none"));
  EXPECT_EQ(published().status, "새 버전을 자동으로 확인합니다");
}

// The user cancels the download in the progress dialog: the engine ends the cycle with its
// cancellation error, and the settings box and the gate (which the development channel reads)
// show the idle line again instead of "downloading" for good.
TEST_F(MacUpdaterControllerTest, CancelledDownloadReturnsToTheIdleLine) {
  for (const bool automatic : {true, false}) {
    SCOPED_TRACE(automatic ? "automatic checks" : "manual checks");
    fake = std::make_shared<FakeUpdater>();
    fake->automaticChecks = automatic;
    started();
    const auto idle = published().status;
    onMain([&] { return controller->checkForUpdates(); });
    const auto item = FakeUpdater::item("42");
    fake->emitFound(item);
    fake->emitWillDownload(item);
    ASSERT_EQ(published().status, "새 버전 다운로드 중…");
    fake->emitFinish(UpdateCheck::userInitiated,
                     updater_errors::make(updater_errors::cancelled, "The update transfer was cancelled."));
    EXPECT_EQ(published().status, idle);
    EXPECT_FALSE(published().hasError);
    EXPECT_EQ(gate->snapshot().updaterStatus, idle);
  }
}

// A download that failed keeps its failure text when the cycle then finishes with that error:
// only the user's cancellation goes back to the idle line.
TEST_F(MacUpdaterControllerTest, AFailedDownloadKeepsItsFailureTextAfterTheCycle) {
  started();
  const auto item = FakeUpdater::item("42");
  fake->emitFound(item);
  fake->emitWillDownload(item);
  const auto failure = updater_errors::make(updater_errors::downloadFailed, "gone");
  fake->emitAbort(failure);
  const auto failureText = published().status;
  ASSERT_TRUE(published().hasError);
  fake->emitFinish(UpdateCheck::userInitiated, failure);
  EXPECT_EQ(published().status, failureText);
  EXPECT_TRUE(published().hasError);
}

// Switching automatic checks while a failure is shown changes the switch, not the failure text.
TEST_F(MacUpdaterControllerTest, SwitchingAutomaticChecksKeepsAShownFailure) {
  started();
  fake->emitAbort(updater_errors::make(updater_errors::feedFailed, "unreachable"));
  ASSERT_TRUE(published().hasError);
  const auto failureText = published().status;
  onMain([&] { return controller->setAutomaticChecks(false); });
  EXPECT_FALSE(published().automaticChecks);
  EXPECT_EQ(published().status, failureText);
  EXPECT_TRUE(published().hasError);
  onMain([&] { return controller->setAutomaticChecks(true); });
  EXPECT_EQ(published().status, failureText);
  EXPECT_EQ(gate->snapshot().updaterStatus, failureText);
}

TEST_F(MacUpdaterControllerTest, AdmissionWaitsForActivityAndCommitsAfterTheQuietTime) {
  started();
  auto screen = gate->acquire(Kind::remoteScreen);
  auto file = gate->acquire(Kind::fileTransfer);
  bool intentOnDisk = false;
  int invoked = 0;
  const auto item = FakeUpdater::item("42");
  EXPECT_TRUE(controller->shouldPostponeRelaunch(item, InstallBlock([&] {
                                                   ++invoked;
                                                   intentOnDisk = fs::exists(resumeURL);
                                                 })));
  settle();
  EXPECT_TRUE(published().waitingForActivity);
  EXPECT_EQ(published().status, "작업이 끝나면 업데이트를 설치합니다");
  EXPECT_EQ(published().busySummary, "원격 화면 · 파일 전송");
  advance(1s);
  screen->end();
  file->end();  // the last release stamps the gate now
  advance(250ms);
  advance(250ms);
  EXPECT_EQ(invoked, 0);  // 0.5 s after the release
  advance(250ms);         // 0.75 s
  EXPECT_EQ(invoked, 1);
  EXPECT_TRUE(intentOnDisk);
  EXPECT_FALSE(published().waitingForActivity);
  EXPECT_EQ(published().status, "업데이트 설치 후 다시 연결합니다");
  EXPECT_TRUE(gate->snapshot().installationCommitted);  // the reservation stays
  EXPECT_EQ(UpdateResumeStore(resumeURL).consume("42", T), true);
  advance(5s);
  EXPECT_EQ(invoked, 1);
  // A relaunch request for the committed build goes ahead at once.
  EXPECT_FALSE(controller->shouldPostponeRelaunch(item, InstallBlock([] {})));
}

TEST_F(MacUpdaterControllerTest, BusySummaryNamesJobsAndInput) {
  started();
  auto input = gate->acquire(Kind::remoteInput);
  auto job = gate->acquire(Kind::developmentJob);
  controller->shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([] {}));
  settle();
  EXPECT_EQ(published().busySummary, "개발 작업 · 원격 입력");
}

TEST_F(MacUpdaterControllerTest, ANewBuildSupersedesAnEarlierCommit) {
  started();
  int installs42 = 0, installs43 = 0;
  controller->shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([&] { ++installs42; }));
  advance(1s);
  ASSERT_EQ(installs42, 1);
  ASSERT_TRUE(gate->snapshot().installationCommitted);
  controller->shouldPostponeRelaunch(FakeUpdater::item("43"), InstallBlock([&] { ++installs43; }));
  advance(1s);
  EXPECT_EQ(installs43, 1);  // without superseding, 43 would wait for ever behind 42's owner
  EXPECT_EQ(published().status, "업데이트 설치 후 다시 연결합니다");
}

TEST_F(MacUpdaterControllerTest, SaveFailureReleasesTheGateAndAnswersAWaitingQuit) {
  started();
  fs::create_directories(resumeURL.parent_path());
  ::chmod(resumeURL.parent_path().c_str(), 0755);
  controller->willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  auto lease = gate->acquire(Kind::remoteScreen);
  onMain([&] { return controller->checkForUpdates(); });  // turns the waiting update into the relaunch route
  settle();
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::cancel);  // a block is kept
  lease->end();
  advance(1s);
  EXPECT_EQ(published().status,
            "설치 준비에 실패했습니다. 기존 앱은 계속 실행됩니다. 업데이트 확인으로 다시 시도해 주세요.");
  EXPECT_TRUE(published().hasError);
  EXPECT_FALSE(gate->snapshot().installationCommitted);
  EXPECT_FALSE(fs::exists(resumeURL));
  // The check command starts a new preparation (the block and build stayed).
  ::chmod(resumeURL.parent_path().c_str(), 0700);
  onMain([&] { return controller->checkForUpdates(); });
  advance(1s);
  EXPECT_EQ(published().status, "업데이트 설치 후 다시 연결합니다");
  EXPECT_TRUE(fs::exists(resumeURL));
}

TEST_F(MacUpdaterControllerTest, TerminationMatrix) {
  started();
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::now);  // nothing pending

  // Install on quit, busy: the quit waits, then proceeds without a resume intent.
  controller->willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(published().status, "업데이트 설치 준비 완료 · 업데이트 확인을 눌러 설치하세요");
  auto lease = gate->acquire(Kind::fileTransfer);
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::later);
  advance(1s);
  EXPECT_TRUE(terminationAnswers.empty());
  lease->end();
  advance(1s);
  EXPECT_EQ(terminationAnswers, std::vector<bool>{true});
  EXPECT_FALSE(fs::exists(resumeURL));
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::now);  // committed
}

// With no remote work the gate admits at once; the answer still comes after the "later" it
// follows, in both ways an update waits for the quit: "later" chosen, or its dialog unanswered.
TEST_F(MacUpdaterControllerTest, AQuitWithNothingRunningIsAdmittedAndAnsweredAfterItsLater) {
  started();
  fake->emitDownloadAndExtract(FakeUpdater::item("42"));  // ready, its dialog not answered
  EXPECT_EQ(onMain([&] {
              const auto reply = controller->terminationReply();
              EXPECT_TRUE(terminationAnswers.empty());  // not inside the reply
              return reply;
            }),
            Reply::later);
  settle();
  EXPECT_EQ(terminationAnswers, std::vector<bool>{true});
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  EXPECT_EQ(published().status, "업데이트 설치 후 다시 연결합니다");
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::now);

  gate = UpdateActivityGate::create();  // a new program
  started();
  fake->emitInstallOnQuit(FakeUpdater::item("43"));  // "later" chosen
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::later);
  settle();
  EXPECT_EQ(terminationAnswers, (std::vector<bool>{true, true}));
  EXPECT_EQ(fake->installs, 0);  // left to the install on quit
  EXPECT_FALSE(fs::exists(resumeURL));
}

TEST_F(MacUpdaterControllerTest, AFinishedCycleLetsAWaitingQuitGoAndAFailureKeepsTheProgram) {
  started();
  auto lease = gate->acquire(Kind::remoteScreen);
  controller->willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::later);
  settle();
  fake->emitFinish(UpdateCheck::userInitiated, std::nullopt);
  EXPECT_EQ(terminationAnswers, std::vector<bool>{true});
  EXPECT_EQ(published().status, "다운로드한 업데이트는 나중에 설치할 수 있습니다");
  EXPECT_FALSE(gate->snapshot().installationCommitted);

  controller->willInstallUpdateOnQuit(FakeUpdater::item("42"), InstallBlock([] {}));
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::later);
  fake->emitAbort(UpdaterError("VantrelMac.UpdateEngine", 1005, "download failed"));
  EXPECT_EQ(terminationAnswers, (std::vector<bool>{true, false}));
  EXPECT_EQ(published().status,
            "업데이트를 완료하지 못했습니다. 연결과 저장 공간을 확인한 뒤 다시 시도해 주세요.");
  EXPECT_EQ(onMain([&] { return controller->terminationReply(); }), Reply::now);  // nothing pending any more
  lease->end();
  advance(2s);
  EXPECT_FALSE(gate->snapshot().installationCommitted);
  EXPECT_EQ(terminationAnswers.size(), 2u);  // each waiting quit answered once
}

TEST_F(MacUpdaterControllerTest, OnTheBlockingPoolTheRecordIsSavedBeforeTheInstallAndReadBackAfter) {
  onThePool = true;
  started();
  bool intentOnDisk = false;
  int invoked = 0;
  EXPECT_TRUE(controller->shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([&] {
                                                   ++invoked;
                                                   intentOnDisk = fs::exists(resumeURL);
                                                 })));
  advance(1s);
  ASSERT_TRUE(testing::runUntil(io, [&] { return invoked == 1; }));
  EXPECT_TRUE(intentOnDisk);
  EXPECT_TRUE(gate->snapshot().installationCommitted);

  // After the relaunch: the new build reads the record on the pool and signs in again.
  controller = make(info("42"));
  onMain([&] { controller->consumeUpdateResume(); });
  ASSERT_TRUE(testing::runUntil(io, [&] { return automaticLogins == 1; }));
  EXPECT_EQ(windowShown, 1);
  EXPECT_FALSE(fs::exists(resumeURL));
}

TEST_F(MacUpdaterControllerTest, AControllerGoneWhileItsRecordIsReadOnThePoolIsNotCalledBack) {
  onThePool = true;
  UpdateResumeStore(resumeURL).save(UpdateResumeIntent("42", T));
  controller = make(info("42"));
  onMain([&] { controller->consumeUpdateResume(); });
  controller.reset();  // the read may still be queued or running on the pool
  testing::drain(io);
  io.restart();
  io.run_for(testing::hangGuard);  // returns once the read has been handed back
  EXPECT_EQ(automaticLogins, 0);
  EXPECT_EQ(windowShown, 0);
}

TEST_F(MacUpdaterControllerTest, SlowSaveOfACancelledPreparationReleasesOnlyItsOwnOwner) {
  started();
  holdWork = true;
  int first = 0, second = 0;
  controller->shouldPostponeRelaunch(FakeUpdater::item("42"), InstallBlock([&] { ++first; }));
  settle();
  ASSERT_EQ(heldWork.size(), 1u);                                    // the save of 42 is held back
  fake->emitAbort(UpdaterError("VantrelMac.UpdateEngine", 1, "x"));  // cancels the preparation
  holdWork = false;
  controller->shouldPostponeRelaunch(FakeUpdater::item("43"), InstallBlock([&] { ++second; }));
  advance(1s);
  EXPECT_EQ(second, 1);
  EXPECT_TRUE(gate->snapshot().installationCommitted);
  auto held = std::move(heldWork);
  for (auto& work : held) work();
  advance(1s);
  EXPECT_EQ(first, 0);
  EXPECT_TRUE(gate->snapshot().installationCommitted);  // 43's reservation survives
}

TEST_F(MacUpdaterControllerTest, ProceedTable) {
  started();
  struct Row {
    std::string url;
    std::string version;
    bool rehearsal;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {"https://h/x", "42", false, true},        {"https://u@h/x", "42", false, false},
      {"https://:p@h/x", "42", false, false},    {"http://localhost/x", "42", false, false},
      {"http://localhost/x", "42", true, true},  {"HTTP://localhost/x", "42", true, false},
      {"http://LOCALHOST/x", "42", true, false}, {"http://[::1]/x", "42", true, true},
      {"https://h/x", "1.2", false, false},      {"https://h/x", "41", false, false},
      {"https://h/x", "40", false, false},       {"https://h/x", "+43", false, true},
  };
  for (const auto& row : rows) {
    auto information = info("41");
    information["VNUpdateLocalRehearsal"] = row.rehearsal;
    auto c = make(information);
    onMain([&] { return c->start(); });
    const auto refusal =
        c->shouldProceedWithUpdate(FakeUpdater::item(row.version, row.url), UpdateCheck::userInitiated);
    EXPECT_EQ(!refusal.has_value(), row.accepted) << row.url << " " << row.version << " " << row.rehearsal;
    if (refusal) {
      EXPECT_EQ(refusal->domain(), "VantrelMac.Update");
      EXPECT_EQ(refusal->code(), 1);
      EXPECT_EQ(refusal->localizedDescription(),
                "안전한 새 버전 파일이 아닙니다. 현재 앱은 계속 실행됩니다.");
    }
  }
  auto item = FakeUpdater::item("42");
  item.fileURL.reset();
  EXPECT_TRUE(controller->shouldProceedWithUpdate(item, UpdateCheck::background));
  auto noBuild = make(info("41"));
  EXPECT_TRUE(
      noBuild->shouldProceedWithUpdate(FakeUpdater::item("42"), UpdateCheck::background));  // not started
}

TEST_F(MacUpdaterControllerTest, ConsumeResumeAtLaunch) {
  UpdateResumeStore store(resumeURL);
  store.save(UpdateResumeIntent("42", T));
  controller = make(info("42"));
  onMain([&] { return controller->consumeUpdateResume(); });
  settle();
  EXPECT_EQ(windowShown, 1);
  EXPECT_EQ(automaticLogins, 1);
  EXPECT_EQ(published().status, "업데이트 후 저장된 로그인 설정으로 다시 연결합니다");
  EXPECT_FALSE(fs::exists(resumeURL));

  store.save(UpdateResumeIntent("43", T));
  onMain([&] { return controller->consumeUpdateResume(); });
  settle();
  EXPECT_EQ(automaticLogins, 1);
  EXPECT_FALSE(fs::exists(resumeURL));

  store.save(UpdateResumeIntent("42", T));
  ::chmod(resumeURL.c_str(), 0644);
  onMain([&] { return controller->consumeUpdateResume(); });
  settle();
  EXPECT_EQ(published().status, "업데이트 후 자동 연결 정보를 읽지 못했습니다. 직접 로그인해 주세요.");
  EXPECT_TRUE(published().hasError);
  EXPECT_EQ(automaticLogins, 1);
}

}  // namespace
}  // namespace vantrel
