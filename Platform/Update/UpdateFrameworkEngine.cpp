#include "Platform/Update/UpdateFrameworkEngine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <cmath>

#include <fmt/format.h>

#include "Platform/Update/UpdateFrameworkAppcast.hpp"
#include "Platform/Update/UpdateFrameworkRelaunch.hpp"
#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Platform/Update/UpdateFrameworkStaging.hpp"
#include "Support/Blocking.hpp"
#include "Support/ExecutorCheck.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Uuid.hpp"
#include "Update/UpdateEncoding.hpp"
#include "Update/UpdateResumeStore.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using update_staging::downloadVerified;
using update_staging::extractVerified;
using update_staging::OpenFile;

const SystemLog& log() {
  static const SystemLog instance("local.vantrel.VantrelMac", "update");
  return instance;
}

UpdaterError asUpdaterError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const UpdaterError& e) {
    return e;
  } catch (const std::exception& e) {
    return updater_errors::make(updater_errors::installFailed, localizedDescription(e));
  } catch (...) {
    return updater_errors::make(updater_errors::installFailed, "Unknown failure.");
  }
}

// Awaits `work` on the blocking pool of the awaiting task's executor, then hands its outcome to
// `done` while the updater exists. A job the pool refused because the program ends is dropped:
// nothing is left to report it to.
template <typename Work, typename Done>
Awaitable<void> afterPool(std::weak_ptr<LinuxUpdater> weak, std::shared_ptr<Work> work, Done done) {
  auto pending = attempt(runBlockingToEnd(nullptr, std::move(work)));
  auto outcome = co_await std::move(pending);
  if (!outcome && isCancellation(outcome.error())) co_return;
  if (auto self = weak.lock()) done(*self, std::move(outcome));
}

double secondsSinceEpoch(std::chrono::system_clock::time_point date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

}  // namespace

struct LinuxUpdater::Session {
  UpdateCheck check = UpdateCheck::userInitiated;
  std::optional<AppcastItem> item;
  std::shared_ptr<update_transfer::Control> control = std::make_shared<update_transfer::Control>();
  fs::path staging;
  bool installing = false;
  bool installed = false;
};

LinuxUpdaterEnvironment LinuxUpdaterEnvironment::forRunningProgram(
    Executor mainExecutor, UpdateInfo info, std::shared_ptr<UpdaterSettings> settings) {
  LinuxUpdaterEnvironment environment;
  environment.mainExecutor = std::move(mainExecutor);
  std::error_code error;
  const auto executable = fs::canonical("/proc/self/exe", error);
  if (!error) environment.layout = update_install::Layout::containing(executable);
  const auto identifier = update_info::text(info, "CFBundleIdentifier").value_or("");
  if (const auto resume = UpdateResumeStore::defaultURL(identifier)) {
    environment.downloadsFolder = resume->parent_path() / "Downloads";
  }
  environment.transferPolicy.allowLoopbackHttp = update_info::boolean(info, "VNUpdateLocalRehearsal") == true;
  environment.transferPolicy.userAgent =
      fmt::format("VantrelMac/{} ({})", update_info::text(info, "CFBundleShortVersionString").value_or("0"),
                  update_info::text(info, "CFBundleVersion").value_or("0"));
  environment.info = std::move(info);
  environment.settings = settings ? std::move(settings) : std::make_shared<MemoryUpdaterSettings>();
  return environment;
}

std::shared_ptr<LinuxUpdater> LinuxUpdater::create(LinuxUpdaterEnvironment environment,
                                                   std::shared_ptr<StandardUserDriver> driver,
                                                   std::weak_ptr<UpdaterDelegate> delegate) {
  return std::shared_ptr<LinuxUpdater>(
      new LinuxUpdater(std::move(environment), std::move(driver), std::move(delegate)));
}

LinuxUpdater::LinuxUpdater(LinuxUpdaterEnvironment environment, std::shared_ptr<StandardUserDriver> driver,
                           std::weak_ptr<UpdaterDelegate> delegate)
    : environment_(std::move(environment)), driver_(std::move(driver)), delegate_(std::move(delegate)) {
  if (!environment_.settings) environment_.settings = std::make_shared<MemoryUpdaterSettings>();
  if (!driver_) driver_ = std::make_shared<StandardUserDriver>();
  if (!environment_.now) environment_.now = systemWallClock();
}

LinuxUpdater::~LinuxUpdater() {
  if (session_) session_->control->transfer.cancel();
}

void LinuxUpdater::setAutomaticallyDownloadsUpdates(bool) {}  // downloads always wait for the user
void LinuxUpdater::setSendsSystemProfile(bool) {}             // no profile is ever sent

std::optional<UpdaterError> LinuxUpdater::startUpdater() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (started_) return updater_errors::make(updater_errors::feedFailed, "The updater is already started.");
  const auto key =
      update_encoding::decodeBase64(update_info::text(environment_.info, "SUPublicEDKey").value_or("*"));
  const auto build =
      update_encoding::parseBuildNumber(update_info::text(environment_.info, "CFBundleVersion").value_or(""));
  if (!key || key->size() != update_signature::publicKeySize || !build) {
    return updater_errors::make(updater_errors::feedSignature,
                                "The program has no valid update signing key or build.");
  }
  publicKey_ = *key;
  runningBuild_ = *build;
  started_ = true;
  const auto installed = update_relaunch::takeInstalledBuild();
  if (installed && *installed == update_info::text(environment_.info, "CFBundleVersion")) {
    log().notice("VantrelMac update installed and relaunched as build {}", *installed);
    asio::post(environment_.mainExecutor, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->driver_->showUpdateInstalledAndRelaunched(true, [] {});
    });
  }
  scheduleNextCheck();
  return std::nullopt;
}

bool LinuxUpdater::automaticallyChecksForUpdates() const {
  return environment_.settings->boolValue(UpdaterSettings::automaticChecksKey).value_or(true);
}

void LinuxUpdater::setAutomaticallyChecksForUpdates(bool value) {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  environment_.settings->setBool(UpdaterSettings::automaticChecksKey, value);
  if (started_) scheduleNextCheck();
}

bool LinuxUpdater::canCheckForUpdates() const { return started_ && !session_; }

void LinuxUpdater::checkForUpdates() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  beginCheck(UpdateCheck::userInitiated);
}

void LinuxUpdater::checkInBackground() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  beginCheck(UpdateCheck::background);
}

std::chrono::seconds LinuxUpdater::checkInterval() const {
  const bool rehearsal = update_info::boolean(environment_.info, "VNUpdateLocalRehearsal") == true;
  const auto found = environment_.info.is_object() ? environment_.info.find("SUScheduledCheckInterval")
                                                   : environment_.info.end();
  if (found != environment_.info.end() && found->is_number()) {
    const double seconds = found->get<double>();
    if (seconds >= (rehearsal ? 10.0 : 3600.0) && seconds <= 365.0 * 86400.0) {
      return std::chrono::seconds(static_cast<long long>(seconds));
    }
  }
  return std::chrono::seconds(86400);
}

void LinuxUpdater::applicationWillTerminate() {
  VANTREL_EXPECT_ON(environment_.mainExecutor);
  if (!session_) return;
  if (!session_->staging.empty() && !session_->installed) return installNow(session_, false);
  session_->control->transfer.cancel();
}

template <typename Work, typename Done>
void LinuxUpdater::runOnPool(Work work, Done done, std::string name) {
  spawnTask(environment_.mainExecutor,
            afterPool(weak_from_this(), std::make_shared<Work>(std::move(work)), std::move(done)),
            std::move(name), TaskStart::afterCaller);
}

void LinuxUpdater::beginCheck(UpdateCheck check) {
  if (!started_ || session_) return;
  auto session = std::make_shared<Session>();
  session->check = check;
  session->control->transfer.pool = &blockingPoolOf(environment_.mainExecutor);
  session_ = session;
  const auto delegate = delegate_.lock();
  const auto url = delegate ? delegate->feedURLString() : std::nullopt;
  if (!url) {
    return fail(session, updater_errors::make(updater_errors::feedFailed, "No update feed address."),
                check == UpdateCheck::userInitiated);
  }
  runOnPool(
      [url = *url, policy = environment_.transferPolicy, key = publicKey_, running = runningBuild_,
       limit = environment_.maximumFeedSize, control = session->control]() -> std::optional<AppcastItem> {
        const auto document = update_transfer::fetch(url, limit, policy, *control);
        // Nothing of the document is parsed before its signature holds.
        const auto verified = update_signature::verifyFeed(document, key);
        if (!verified.body) {
          const char* why = verified.failure == update_signature::FeedFailure::missingSignature
                                ? "is not signed"
                            : verified.failure == update_signature::FeedFailure::malformedSignature
                                ? "has a malformed signature"
                                : "has a signature that does not match";
          throw updater_errors::make(updater_errors::feedSignature, fmt::format("The update feed {}.", why));
        }
        return update_appcast::newestItem(*verified.body, running);
      },
      [session](LinuxUpdater& self, Outcome<std::optional<AppcastItem>> item) {
        self.feedArrived(session, std::move(item));
      },
      "update feed check");
}

void LinuxUpdater::feedArrived(std::shared_ptr<Session> session,
                               Outcome<std::optional<AppcastItem>> fetched) {
  if (session != session_) return;
  const bool user = session->check == UpdateCheck::userInitiated;
  if (!fetched) return fail(session, asUpdaterError(fetched.error()), user);
  auto item = std::move(fetched).value();
  const auto skipped = environment_.settings->stringValue(UpdaterSettings::skippedVersionKey);
  if (item && !user && skipped == item->versionString) item.reset();
  if (!item) {
    const auto none = updater_errors::make(updater_errors::noUpdate);
    if (user) driver_->showUpdateNotFound(none, [] {});
    return finish(session, none);
  }
  session->item = std::move(item);
  const auto delegate = delegate_.lock();
  if (delegate) {
    if (auto refusal = delegate->shouldProceedWithUpdate(*session->item, session->check)) {
      return fail(session, *refusal, true);
    }
    delegate->didFindValidUpdate(*session->item);
  }
  offer(session);
}

void LinuxUpdater::offer(std::shared_ptr<Session> session) {
  driver_->showUpdateFound(*session->item, [weak = weak_from_this(), session](UpdateFoundChoice choice) {
    auto self = weak.lock();
    if (!self || session != self->session_) return;
    switch (choice) {
      case UpdateFoundChoice::install: return self->startDownload(session);
      case UpdateFoundChoice::skip:
        self->environment_.settings->setString(UpdaterSettings::skippedVersionKey,
                                               session->item->versionString);
        [[fallthrough]];
      case UpdateFoundChoice::later: return self->finish(session, std::nullopt);
    }
  });
}

void LinuxUpdater::startDownload(std::shared_ptr<Session> session) {
  if (!environment_.layout) {
    return fail(session,
                updater_errors::make(updater_errors::notInstallableHere,
                                     "The program does not run from an installed version folder."),
                true);
  }
  if (auto delegate = delegate_.lock()) delegate->willDownloadUpdate(*session->item);
  const auto expected = session->item->length;
  auto lastShown = std::make_shared<std::atomic<std::uint64_t>>(0);
  // The session owns its control, so the progress callback holds the session only weakly.
  session->control->progress = [weak = weak_from_this(), executor = environment_.mainExecutor,
                                weakSession = std::weak_ptr<Session>(session), expected,
                                lastShown](std::uint64_t received) {
    if (received != expected && received - lastShown->load() < std::max<std::uint64_t>(expected / 100, 65536))
      return;
    lastShown->store(received);
    asio::post(executor, [weak, weakSession, received, expected] {
      auto self = weak.lock();
      auto current = weakSession.lock();
      if (!self || !current || current != self->session_) return;
      self->driver_->showDownloadProgress(received, expected, [weak, weakSession] {
        auto owner = weak.lock();
        auto session = weakSession.lock();
        if (owner && session && session == owner->session_) session->control->transfer.cancel();
      });
    });
  };
  runOnPool([folder = environment_.downloadsFolder, item = *session->item, key = publicKey_,
             policy = environment_.transferPolicy,
             control = session->control] { return downloadVerified(folder, item, key, policy, *control); },
            [session](LinuxUpdater& self, Outcome<std::shared_ptr<OpenFile>> file) {
              if (session != self.session_) return;
              if (!file)
                return self.fail(session, asUpdaterError(file.error()),
                                 !session->control->transfer.isCancelled());
              if (auto delegate = self.delegate_.lock()) delegate->willExtractUpdate(*session->item);
              self.runOnPool(
                  [layout = *self.environment_.layout, file = *file, item = *session->item,
                   limits = self.environment_.archiveLimits] {
                    return extractVerified(layout, *file, item, limits);
                  },
                  [session](LinuxUpdater& owner, Outcome<fs::path> staging) {
                    owner.downloaded(session, std::move(staging));
                  },
                  "update extraction");
            },
            "update download");
}

void LinuxUpdater::downloaded(std::shared_ptr<Session> session, Outcome<fs::path> staging) {
  if (session != session_) {
    if (staging && !staging->empty()) discardStaging(*staging);
    return;
  }
  if (!staging) return fail(session, asUpdaterError(staging.error()), true);
  session->staging = std::move(staging).value();
  if (auto delegate = delegate_.lock()) delegate->didExtractUpdate(*session->item);
  readyToInstall(session);
}

void LinuxUpdater::readyToInstall(std::shared_ptr<Session> session) {
  driver_->showReadyToInstall(*session->item,
                              [weak = weak_from_this(), session](ReadyToInstallChoice choice) {
                                auto self = weak.lock();
                                if (!self || session != self->session_) return;
                                InstallBlock block([weak, session] {
                                  if (auto owner = weak.lock()) owner->installNow(session, true);
                                });
                                const auto delegate = self->delegate_.lock();
                                if (choice == ReadyToInstallChoice::installAndRelaunch) {
                                  if (!delegate || !delegate->shouldPostponeRelaunch(*session->item, block))
                                    block();
                                  return;
                                }
                                // Kept for the quit (or for the block): the session stays open meanwhile.
                                if (delegate) delegate->willInstallUpdateOnQuit(*session->item, block);
                              });
}

void LinuxUpdater::installNow(std::shared_ptr<Session> session, bool relaunch) {
  if (session != session_ || session->installing || session->installed || session->staging.empty()) return;
  if (auto delegate = delegate_.lock()) delegate->willInstallUpdate(*session->item);
  // The renames and the removal of older versions touch the disk: they run on the pool, and the
  // session stays open (and refuses a second install) until they have ended.
  session->installing = true;
  // At quit the program lets its updater go before this ends: the install keeps it until then,
  // so that its end is recorded.
  auto keep = relaunch ? nullptr : shared_from_this();
  runOnPool(
      [layout = *environment_.layout, staging = session->staging, build = session->item->versionString] {
        return update_install::install(layout, staging, build);
      },
      [session, relaunch, keep](LinuxUpdater& self, Outcome<fs::path> program) {
        self.installed(session, relaunch, std::move(program));
      },
      "update install");
}

void LinuxUpdater::installed(std::shared_ptr<Session> session, bool relaunch, Outcome<fs::path> installed) {
  session->installing = false;
  if (session != session_) return;
  if (!installed) {
    session->staging.clear();  // removed by the installer
    // At quit no notice opens any more: the line in the log is all that is left to say.
    return fail(session, asUpdaterError(installed.error()), relaunch);
  }
  const auto program = std::move(installed).value();
  session->installed = true;
  if (!relaunch) {
    log().notice("VantrelMac update installed build {} at quit", session->item->versionString);
    return;
  }
  log().notice("VantrelMac update installed build {}", session->item->versionString);
  update_relaunch::request(program, session->item->versionString);
  if (environment_.requestTermination) environment_.requestTermination();
}

void LinuxUpdater::fail(std::shared_ptr<Session> session, const UpdaterError& error, bool report) {
  // The user reads the description in the notice; the log keeps the technical detail.
  log().error("VantrelMac update failed {}:{}: {}", error.domain(), error.code(),
              error.failureReason().value_or(error.localizedDescription()));
  if (report) {
    driver_->showUpdaterError(error, [] {});
    if (auto delegate = delegate_.lock()) delegate->didAbortWithError(error);
  }
  finish(session, error);
}

void LinuxUpdater::finish(std::shared_ptr<Session> session, const std::optional<UpdaterError>& error) {
  if (session != session_) return;
  session_.reset();
  // Whatever ended the cycle (a cancelled download included), none of its windows stays behind
  // at its last state; a notice waits for its own answer.
  driver_->dismissUpdateInstallation();
  if (!session->staging.empty() && !session->installing && !session->installed) {
    discardStaging(session->staging);
  }
  if (session->check == UpdateCheck::background) {
    environment_.settings->setDouble(UpdaterSettings::lastCheckTimeKey,
                                     secondsSinceEpoch(environment_.now()));
    scheduleNextCheck();
  }
  if (auto delegate = delegate_.lock()) delegate->didFinishUpdateCycle(session->check, error);
}

void LinuxUpdater::discardStaging(fs::path staging) {
  runOnPool([staging = std::move(staging)] { update_install::removeTree(staging); },
            [](LinuxUpdater&, Outcome<void>) {}, "update staging removal");
}

void LinuxUpdater::scheduleNextCheck() {
  schedule_.reset();
  if (!started_ || !automaticallyChecksForUpdates()) return;
  const auto interval = checkInterval();
  auto delay = std::chrono::duration_cast<VantrelClock::duration>(
      std::min<std::chrono::seconds>(environment_.firstCheckDelay, interval));
  if (const auto stored = environment_.settings->doubleValue(UpdaterSettings::lastCheckTimeKey)) {
    const auto now = secondsSinceEpoch(environment_.now());
    // A last check in the future (stored while the clock was set ahead) counts as now, so the
    // next check is never more than an interval away. A stored NaN counts as no check at all.
    const double last = std::isnan(*stored) ? *stored : std::min(*stored, now);
    if (const auto due =
            durationFromSeconds<VantrelClock::duration>(last + static_cast<double>(interval.count()) - now)) {
      delay = std::max(delay, *due);
    }
  }
  schedule_ = std::make_unique<Timer>(environment_.mainExecutor, delay);
  schedule_->async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    auto self = weak.lock();
    if (!self) return;
    if (self->session_) return self->scheduleNextCheck();
    self->checkInBackground();
  });
}

}  // namespace vantrel
