#pragma once

// The Linux update engine behind the `Updater` interface: a signed appcast over HTTPS, a
// verified download into a private folder, safe extraction into a staging folder, an atomic
// switch of the versioned install layout and a relaunch by exec. Every public call and every
// callback runs on the main executor; network, file and archive work, the install included, runs
// on the blocking pool of the main executor.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/Update/UpdateFramework.hpp"
#include "Platform/Update/UpdateFrameworkArchive.hpp"
#include "Platform/Update/UpdateFrameworkInstall.hpp"
#include "Platform/Update/UpdateFrameworkSettings.hpp"
#include "Platform/Update/UpdateFrameworkTransfer.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"
#include "Support/Outcome.hpp"
#include "Support/WallClock.hpp"
#include "Update/UpdateConfiguration.hpp"

namespace vantrel {

struct LinuxUpdaterEnvironment {
  Executor mainExecutor;
  UpdateInfo info;  // the running build's Info.json
  std::shared_ptr<UpdaterSettings> settings;
  // Nullopt: the program does not run from an install layout, so nothing can be installed.
  std::optional<update_install::Layout> layout;
  // Private folder for downloads (created 0700; must be the effective user's, 0700).
  std::filesystem::path downloadsFolder;
  update_transfer::Policy transferPolicy;
  update_archive::Limits archiveLimits;
  std::size_t maximumFeedSize = 1024 * 1024;
  // Asks the application to quit (after an install that relaunches).
  std::function<void()> requestTermination;
  // Delay of the first scheduled check after start.
  std::chrono::seconds firstCheckDelay{30};
  // The date the last check is stored with and the next one is placed from.
  WallClock now = systemWallClock();

  // The layout of the running program (/proc/self/exe), the private downloads folder under
  // the application-support folder of `bundleIdentifier`, and the transfer policy of `info`.
  static LinuxUpdaterEnvironment forRunningProgram(Executor mainExecutor, UpdateInfo info,
                                                   std::shared_ptr<UpdaterSettings> settings);
};

class LinuxUpdater : public Updater, public std::enable_shared_from_this<LinuxUpdater> {
 public:
  static std::shared_ptr<LinuxUpdater> create(LinuxUpdaterEnvironment environment,
                                              std::shared_ptr<StandardUserDriver> driver,
                                              std::weak_ptr<UpdaterDelegate> delegate);
  ~LinuxUpdater() override;

  void setAutomaticallyDownloadsUpdates(bool value) override;
  void setSendsSystemProfile(bool value) override;
  std::optional<UpdaterError> startUpdater() override;
  bool automaticallyChecksForUpdates() const override;
  void setAutomaticallyChecksForUpdates(bool value) override;
  bool canCheckForUpdates() const override;
  void checkForUpdates() override;
  void applicationWillTerminate() override;

  // A background check now (what the schedule runs).
  void checkInBackground();
  // The interval between scheduled checks.
  std::chrono::seconds checkInterval() const;

 private:
  struct Session;
  LinuxUpdater(LinuxUpdaterEnvironment environment, std::shared_ptr<StandardUserDriver> driver,
               std::weak_ptr<UpdaterDelegate> delegate);

  void beginCheck(UpdateCheck check);
  void feedArrived(std::shared_ptr<Session> session, Outcome<std::optional<AppcastItem>> item);
  void offer(std::shared_ptr<Session> session);
  void startDownload(std::shared_ptr<Session> session);
  void downloaded(std::shared_ptr<Session> session, Outcome<std::filesystem::path> staging);
  void readyToInstall(std::shared_ptr<Session> session);
  void installNow(std::shared_ptr<Session> session, bool relaunch);
  void installed(std::shared_ptr<Session> session, bool relaunch, Outcome<std::filesystem::path> program);
  // Removes a staged build that will not be installed, off the main executor.
  void discardStaging(std::filesystem::path staging);
  void fail(std::shared_ptr<Session> session, const UpdaterError& error, bool report);
  void finish(std::shared_ptr<Session> session, const std::optional<UpdaterError>& error);
  void scheduleNextCheck();

  // Runs `work` on the blocking pool of the main executor, then `done(*this, outcome)` on the
  // main executor while the updater exists.
  template <typename Work, typename Done>
  void runOnPool(Work work, Done done, std::string name);

  LinuxUpdaterEnvironment environment_;
  std::shared_ptr<StandardUserDriver> driver_;
  std::weak_ptr<UpdaterDelegate> delegate_;
  Bytes publicKey_;
  std::uint64_t runningBuild_ = 0;
  bool started_ = false;
  std::shared_ptr<Session> session_;
  std::unique_ptr<Timer> schedule_;
};

}  // namespace vantrel
