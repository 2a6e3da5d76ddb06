#include "Model/Update/MacUpdaterController.hpp"

#include "Support/Blocking.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/SystemLog.hpp"
#include "Update/UpdateEncoding.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

constexpr const char* configurationFailed = "업데이트 설정을 확인할 수 없습니다. 연결 로그를 확인해 주세요.";
constexpr const char* updateFailed =
    "업데이트를 완료하지 못했습니다. 연결과 저장 공간을 확인한 뒤 다시 시도해 주세요.";
constexpr const char* preparationFailed =
    "설치 준비에 실패했습니다. 기존 앱은 계속 실행됩니다. 업데이트 확인으로 다시 시도해 주세요.";
constexpr const char* checking = "새 버전 확인 중…";
constexpr double quietTime = 0.75;

const SystemLog& log() {
  static const SystemLog instance("local.vantrel.VantrelMac", "update");
  return instance;
}

// The domain and number an error is logged with ("domain:code"), the same form for every error.
std::pair<std::string, long> domainAndCode(const std::exception_ptr& error) {
  using Pair = std::pair<std::string, long>;
  return matchError(
      error,
      [](const UpdaterError& e) {
        return Pair{e.domain(), e.code()};
      },
      [](const Error& e) {
        return Pair{e.errorDomain(), static_cast<long>(e.errorCode())};
      },
      [](const std::exception_ptr&) {
        return Pair{"VantrelMac.Update", 0};
      });
}

}  // namespace

std::shared_ptr<MacUpdaterController> MacUpdaterController::create(Environment environment) {
  return std::shared_ptr<MacUpdaterController>(new MacUpdaterController(std::move(environment)));
}

MacUpdaterController::MacUpdaterController(Environment environment)
    : environment_(std::move(environment)),
      monitor_(environment_.mainExecutor, "update activity monitor", TaskStart::afterCaller),
      preparation_(environment_.mainExecutor, "update preparation", TaskStart::afterCaller) {
  if (!environment_.gate) environment_.gate = UpdateActivityGate::shared();
  if (!environment_.now) environment_.now = systemWallClock();
}

MacUpdaterController::~MacUpdaterController() = default;

int MacUpdaterController::addObserver(std::function<void()> observer) {
  observers_[++nextObserver_] = std::move(observer);
  return nextObserver_;
}

void MacUpdaterController::removeObserver(int token) { observers_.erase(token); }

void MacUpdaterController::changed() {
  const auto observers = observers_;
  for (const auto& [token, observer] : observers) observer();
}

void MacUpdaterController::setStatus(std::string status) {
  published_.status = std::move(status);
  environment_.gate->publishUpdaterStatus(published_.status);
  changed();
}

void MacUpdaterController::report(const std::exception_ptr& error, const std::string& message) {
  published_.hasError = true;
  setStatus(message);
  const auto [domain, code] = domainAndCode(error);
  log().error("VantrelMac updater failure {}:{}", domain, code);
}

std::string MacUpdaterController::idleStatus() const {
  return published_.automaticChecks ? "새 버전을 자동으로 확인합니다"
                                    : "자동 확인이 꺼져 있습니다. 업데이트 확인을 눌러 주세요";
}

UpdateResumeStore MacUpdaterController::resumeStore() const {
  return UpdateResumeStore(environment_.resumeURL ? environment_.resumeURL() : std::nullopt);
}

void MacUpdaterController::start() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (updater_) return;
  try {
    configuration_.emplace(environment_.info);
  } catch (const UpdateConfiguration::ValidationError&) {
    return report(std::current_exception(), configurationFailed);
  }
  published_.isLocalRehearsal = configuration_->isLocalRehearsal();
  auto driver =
      environment_.makeUserDriver ? environment_.makeUserDriver() : std::make_shared<StandardUserDriver>();
  if (environment_.setDriverErrorHandler) {
    environment_.setDriverErrorHandler(*driver, [weak = weak_from_this()](const UpdaterError& error) {
      if (auto self = weak.lock()) self->handleUpdateFailure(error);
    });
  }
  userDriver_ = driver;
  updater_ = environment_.makeUpdater(driver, weak_from_this());
  // Every callback the controller relies on is a pure virtual of UpdaterDelegate, so the
  // contract is checked by the compiler rather than at run time.
  updater_->setAutomaticallyDownloadsUpdates(false);
  updater_->setSendsSystemProfile(false);
  if (auto error = updater_->startUpdater())
    return report(std::make_exception_ptr(*error), configurationFailed);
  published_.automaticChecks = updater_->automaticallyChecksForUpdates();
  setStatus(idleStatus());
  monitor_.start([weak = weak_from_this()](TaskTokenPtr) { return monitor(weak); });
}

Awaitable<void> MacUpdaterController::monitor(std::weak_ptr<MacUpdaterController> weak) {
  for (;;) {
    {
      auto self = weak.lock();
      if (!self) co_return;
      self->refreshActivity();
      const bool canCheck = (self->updater_ && self->updater_->canCheckForUpdates()) ||
                            (self->installHandler_ && !self->preparation_.isRunning());
      if (canCheck != self->published_.canCheck) {
        self->published_.canCheck = canCheck;
        self->changed();
      }
    }
    co_await sleepFor(500ms);
  }
}

void MacUpdaterController::refreshActivity() {
  const auto snapshot = environment_.gate->snapshot();
  const auto count = [&](UpdateActivityGate::Kind kind) {
    const auto found = snapshot.counts.find(kind);
    return found == snapshot.counts.end() ? 0 : found->second;
  };
  std::string summary;
  const auto add = [&](bool busy, const char* name) {
    if (!busy) return;
    if (!summary.empty()) summary += " · ";
    summary += name;
  };
  add(snapshot.screenSessions() >= 1, "원격 화면");
  add(snapshot.fileTransfers() > 0, "파일 전송");
  add(count(UpdateActivityGate::Kind::developmentJob) > 0, "개발 작업");
  add(count(UpdateActivityGate::Kind::remoteInput) > 0, "원격 입력");
  if (summary != published_.busySummary) {
    published_.busySummary = std::move(summary);
    changed();
  }
}

void MacUpdaterController::setAutomaticChecks(bool value) {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!updater_) return;
  updater_->setAutomaticallyChecksForUpdates(value);
  published_.automaticChecks = updater_->automaticallyChecksForUpdates();
  if (updater_->canCheckForUpdates() && !published_.hasError) return setStatus(idleStatus());
  changed();
}

void MacUpdaterController::checkForUpdates() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (installHandler_) {
    resumeRequested_ = true;
    if (!preparation_.isRunning()) prepareInstallation();
    return;
  }
  if (updater_ && updater_->canCheckForUpdates()) {
    published_.hasError = false;
    setStatus(checking);
    updater_->checkForUpdates();
  }
}

void MacUpdaterController::prepareInstallation() {
  if (preparation_.isRunning() || !installBuild_) return;
  // A newer preparation supersedes a commit made for an earlier build: the old owner's
  // reservation would otherwise hold the gate, and refuse every lease, forever.
  if (reservationOwner_) {
    environment_.gate->cancelInstallation(reservationOwner_);
    reservationOwner_.reset();
    installPrepared_ = false;
  }
  if (resumeIntent_) {
    spawnTask(environment_.mainExecutor, discardHeld(shared_from_this(), *resumeIntent_),
              "update resume cleanup", TaskStart::afterCaller);
    resumeIntent_.reset();
  }
  const auto generation = ++generation_;
  const auto owner = Uuid::random();
  reservationOwner_ = owner;
  if (resumeRequested_) resumeIntent_ = UpdateResumeIntent(*installBuild_, environment_.now());
  published_.hasError = false;
  changed();
  preparation_.start([weak = weak_from_this(), generation, owner, intent = resumeIntent_,
                      build = *installBuild_](TaskTokenPtr token) {
    return prepare(weak, generation, owner, intent, build, token);
  });
}

Awaitable<void> MacUpdaterController::prepare(std::weak_ptr<MacUpdaterController> weak,
                                              std::uint64_t generation, Uuid owner,
                                              std::optional<UpdateResumeIntent> intent, std::string build,
                                              TaskTokenPtr token) {
  co_await asio::this_coro::throw_if_cancelled(false);
  auto self = weak.lock();
  if (!self) co_return;
  const auto stale = [&] { return token->isCancelled() || self->generation_ != generation; };
  bool admitted = false;
  while (!stale()) {
    if (self->environment_.gate->reserveInstallationIfIdle(owner, quietTime)) {
      self->published_.waitingForActivity = false;
      self->setStatus("업데이트 설치 준비 중…");
      admitted = true;
      break;
    }
    self->published_.waitingForActivity = true;
    self->setStatus("작업이 끝나면 업데이트를 설치합니다");
    self->refreshActivity();
    auto slept = co_await attempt(sleepFor(250ms));
    if (!slept) break;
  }
  if (admitted) {
    std::exception_ptr saveError;
    if (intent) {
      // Named before the co_await: GCC 12 destroys lambda temporaries of a co_await twice.
      std::function<void()> save = [store = self->resumeStore(), record = *intent] { store.save(record); };
      auto outcome = co_await self->offMain(std::move(save));
      saveError = outcome.error();
    }
    if (saveError) {
      self->environment_.gate->cancelInstallation(owner);
      if (intent) co_await self->discardResume(*intent);
      if (self->generation_ == generation) {
        // The slot is free before the answer: a quit that the answer asks again starts a
        // preparation of its own instead of waiting for this one, which has nothing left to say.
        self->preparation_.release();
        self->report(saveError, preparationFailed);
        if (self->terminationWaiting_) self->answerTermination(false);
      }
    } else if (stale()) {
      self->environment_.gate->cancelInstallation(owner);
      if (intent) co_await self->discardResume(*intent);
    } else if (!self->installHandler_ && !self->terminationWaiting_) {
      // Nothing waits for this admission any more: release it under its own owner.
      self->environment_.gate->cancelInstallation(owner);
      if (self->reservationOwner_ == owner) self->reservationOwner_.reset();
      if (intent) co_await self->discardResume(*intent);
    } else {
      self->installPrepared_ = true;
      self->setStatus("업데이트 설치 후 다시 연결합니다");
      log().notice("VantrelMac update idle admission committed for build {}", build);
      self->preparation_.release();  // ended before anyone acts on its answer
      if (self->installHandler_) {
        auto handler = std::move(self->installHandler_);
        self->installHandler_ = InstallBlock();
        handler();
      } else {
        self->answerTermination(true);
      }
    }
  }
  if (self->generation_ == generation) self->preparation_.release();
}

void MacUpdaterController::cancelPreparation() {
  ++generation_;
  preparation_.cancel();
  if (reservationOwner_) environment_.gate->cancelInstallation(reservationOwner_);
  reservationOwner_.reset();
  if (resumeIntent_) {
    spawnTask(environment_.mainExecutor, discardHeld(shared_from_this(), *resumeIntent_),
              "update resume cleanup", TaskStart::afterCaller);
    resumeIntent_.reset();
  }
  published_.waitingForActivity = false;
  changed();
}

Awaitable<Outcome<void>> MacUpdaterController::offMain(std::function<void()> work) {
  BlockingQueue queue;  // empty: the blocking pool of the main executor
  if (environment_.runOffMain) {
    queue = [run = environment_.runOffMain](std::function<void()> job) {
      run(std::move(job));
      return true;
    };
  }
  auto job = std::make_shared<std::function<void()>>(std::move(work));
  return attempt(awaitBlockingOn(std::move(queue), std::move(job), BlockingCancellation{}));
}

Awaitable<void> MacUpdaterController::discardHeld(std::shared_ptr<MacUpdaterController> self,
                                                  UpdateResumeIntent intent) {
  co_await self->discardResume(std::move(intent));
}

Awaitable<void> MacUpdaterController::discardResume(UpdateResumeIntent intent) {
  std::function<void()> discard = [store = resumeStore(), intent] { store.discard(intent); };
  auto outcome = co_await offMain(std::move(discard));
  if (!outcome) {
    const auto [domain, code] = domainAndCode(outcome.error());
    log().error("VantrelMac update resume cleanup failed {}:{}", domain, code);
  }
}

void MacUpdaterController::answerTermination(bool quit) {
  terminationWaiting_ = false;
  if (environment_.replyToTermination) environment_.replyToTermination(quit);
}

void MacUpdaterController::handleUpdateFailure(const UpdaterError& error) {
  cancelPreparation();
  installHandler_ = InstallBlock();
  installBuild_.reset();
  installPrepared_ = false;
  resumeRequested_ = false;
  if (terminationWaiting_) answerTermination(false);
  report(std::make_exception_ptr(error), updateFailed);
}

MacUpdaterController::TerminateReply MacUpdaterController::terminationReply() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!installBuild_ || installPrepared_) return TerminateReply::now;
  if (!resumeRequested_) installHandler_ = InstallBlock();  // left to the install on quit
  // The preparation begins only after this reply has been taken: its commit finds the quit
  // waiting, and the quit path is already waiting for the answer.
  if (!preparation_.isRunning()) prepareInstallation();
  if (installHandler_) return TerminateReply::cancel;
  terminationWaiting_ = true;
  return TerminateReply::later;
}

void MacUpdaterController::consumeUpdateResume() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  const auto build = update_info::text(environment_.info, "CFBundleVersion").value_or("");
  auto task = [](std::weak_ptr<MacUpdaterController> weak, UpdateResumeStore store, std::string build,
                 UpdateDate now) -> Awaitable<void> {
    auto permitted = std::make_shared<bool>(false);
    std::exception_ptr error;
    {
      auto self = weak.lock();
      if (!self) co_return;
      std::function<void()> consume = [store, build, now, permitted] {
        *permitted = store.consume(build, now);
      };
      auto pending = self->offMain(std::move(consume));
      self.reset();
      auto outcome = co_await std::move(pending);
      error = outcome.error();
    }
    auto self = weak.lock();
    if (!self) co_return;
    if (error)
      co_return self->report(error, "업데이트 후 자동 연결 정보를 읽지 못했습니다. 직접 로그인해 주세요.");
    if (!*permitted) co_return;
    self->setStatus("업데이트 후 저장된 로그인 설정으로 다시 연결합니다");
    log().notice("VantrelMac update resume accepted for build {}", build);
    if (self->environment_.showWindow) self->environment_.showWindow();
    if (self->environment_.requestStartupAutomaticLogin) self->environment_.requestStartupAutomaticLogin();
  };
  spawnTask(environment_.mainExecutor, task(weak_from_this(), resumeStore(), build, environment_.now()),
            "update resume", TaskStart::afterCaller);
}

void MacUpdaterController::applicationWillTerminate() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (updater_) updater_->applicationWillTerminate();
}

std::optional<std::string> MacUpdaterController::feedURLString() {
  if (!configuration_) return std::nullopt;
  return configuration_->feedURL().absoluteString;
}

std::optional<UpdaterError> MacUpdaterController::shouldProceedWithUpdate(const AppcastItem& item,
                                                                          UpdateCheck) {
  const auto refuse =
      UpdaterError("VantrelMac.Update", 1, "안전한 새 버전 파일이 아닙니다. 현재 앱은 계속 실행됩니다.");
  if (!configuration_ || !item.fileURL) return refuse;
  const auto url = UpdateURL::parse(*item.fileURL);
  if (!url || url->user || url->password) return refuse;
  const bool secure = url->scheme == "https";
  const bool rehearsal = configuration_->isLocalRehearsal() && url->scheme == "http" && url->host &&
                         update_info::isLoopbackHostName(*url->host);
  if (!secure && !rehearsal) return refuse;
  const auto candidate = update_encoding::parseUInt64(item.versionString);
  const auto runningText = update_info::text(environment_.info, "CFBundleVersion").value_or("");
  const auto running = runningText.empty() ? std::nullopt : update_encoding::parseUInt64(runningText);
  if (!candidate || !running || *running >= *candidate) return refuse;
  return std::nullopt;
}

void MacUpdaterController::didFindValidUpdate(const AppcastItem& item) {
  published_.hasError = false;
  setStatus("새 버전 " + item.displayVersionString + "을 다운로드할 수 있습니다");
}

void MacUpdaterController::willDownloadUpdate(const AppcastItem&) { setStatus("새 버전 다운로드 중…"); }
void MacUpdaterController::willExtractUpdate(const AppcastItem&) {
  setStatus("다운로드한 업데이트를 검증하고 준비합니다");
}
void MacUpdaterController::didExtractUpdate(const AppcastItem& item) { installBuild_ = item.versionString; }
void MacUpdaterController::willInstallUpdate(const AppcastItem& item) { installBuild_ = item.versionString; }

bool MacUpdaterController::shouldPostponeRelaunch(const AppcastItem& item, InstallBlock block) {
  if (installPrepared_ && installBuild_ == item.versionString) return false;
  log().notice("VantrelMac update installation requested for build {}; activity admission pending",
               item.versionString);
  resumeRequested_ = true;
  installBuild_ = item.versionString;
  installHandler_ = std::move(block);
  prepareInstallation();
  return true;
}

bool MacUpdaterController::willInstallUpdateOnQuit(const AppcastItem& item, InstallBlock immediate) {
  installBuild_ = item.versionString;
  installHandler_ = std::move(immediate);
  resumeRequested_ = false;
  setStatus("업데이트 설치 준비 완료 · 업데이트 확인을 눌러 설치하세요");
  return true;
}

void MacUpdaterController::didAbortWithError(const UpdaterError& error) { handleUpdateFailure(error); }

void MacUpdaterController::didFinishUpdateCycle(UpdateCheck, const std::optional<UpdaterError>& error) {
  if (!error && installBuild_ && !installPrepared_) {
    cancelPreparation();
    installHandler_ = InstallBlock();
    resumeRequested_ = false;
    setStatus("다운로드한 업데이트는 나중에 설치할 수 있습니다");
    // A quit that waits for this cycle would otherwise wait forever. It goes ahead: the cycle
    // has ended, so the quit installs nothing the gate did not admit.
    if (terminationWaiting_) answerTermination(true);
    return;
  }
  // A check that found nothing, and a download the user cancelled, leave the idle line rather
  // than "checking" or "downloading" with nothing running.
  const bool cancelledByUser =
      error && error->domain() == updater_errors::domain && error->code() == updater_errors::cancelled;
  if (!installBuild_ && (published_.status == checking || cancelledByUser)) setStatus(idleStatus());
}

}  // namespace vantrel
