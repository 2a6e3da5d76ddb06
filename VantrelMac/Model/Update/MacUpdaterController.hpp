#pragma once

// The one object through which the application uses the updater: it starts the engine with a
// validated configuration, publishes a status line and a few flags, installs an update only
// after the activity gate has been idle for the quiet time (saving a resume intent first when
// the program will relaunch), answers the engine's delegate callbacks and the quit request, and
// resumes the sign-in after an update relaunch. Toolkit-free; every call runs on the main
// executor.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Activity/UpdateActivityGate.hpp"
#include "Platform/Update/UpdateFramework.hpp"
#include "Support/Async.hpp"
#include "Support/Outcome.hpp"
#include "Support/WallClock.hpp"
#include "Update/UpdateConfiguration.hpp"
#include "Update/UpdateResumeStore.hpp"

namespace vantrel {

class MacUpdaterController : public UpdaterDelegate,
                             public std::enable_shared_from_this<MacUpdaterController> {
 public:
  enum class TerminateReply { now, cancel, later };

  struct Published {
    std::string status = "업데이트 확인 준비 중";
    bool canCheck = false;
    bool waitingForActivity = false;
    std::string busySummary;
    bool hasError = false;
    bool isLocalRehearsal = false;
    bool automaticChecks = true;
  };

  struct Environment {
    Executor mainExecutor;
    UpdateInfo info;  // the running program's Info.json
    std::shared_ptr<UpdateActivityGate> gate;
    // The user driver (the non-blocking one in the application).
    std::function<std::shared_ptr<StandardUserDriver>()> makeUserDriver;
    // The framework updater over that driver with the controller as delegate.
    std::function<std::shared_ptr<Updater>(std::shared_ptr<StandardUserDriver>,
                                           std::weak_ptr<UpdaterDelegate>)>
        makeUpdater;
    // Routes the driver's errors to the controller (the non-blocking driver's `onError`).
    std::function<void(StandardUserDriver&, std::function<void(const UpdaterError&)>)> setDriverErrorHandler;
    // The resume record's location (nullopt: no application-support folder).
    std::function<std::optional<std::filesystem::path>()> resumeURL;
    // Tests only: runs the file work (now, or later when the test chooses) in place of the
    // blocking pool of the main executor, where it runs when this is empty.
    std::function<void(std::function<void()>)> runOffMain;
    std::function<void(bool)> replyToTermination;
    std::function<void()> showWindow;
    std::function<void()> requestStartupAutomaticLogin;
    // The date resume records are stamped with; the same clock is handed to the engine.
    WallClock now;
  };

  static std::shared_ptr<MacUpdaterController> create(Environment environment);
  ~MacUpdaterController() override;

  const Published& published() const noexcept { return published_; }
  // Observers are told after every change of a published field.
  int addObserver(std::function<void()> observer);
  void removeObserver(int token);

  void start();
  void checkForUpdates();
  bool validateMenuItem() const noexcept { return published_.canCheck; }
  void setAutomaticChecks(bool value);
  TerminateReply terminationReply();
  void consumeUpdateResume();
  // The application is about to quit: an update waiting for the quit is installed now.
  void applicationWillTerminate();

  // UpdaterDelegate
  std::optional<std::string> feedURLString() override;
  std::optional<UpdaterError> shouldProceedWithUpdate(const AppcastItem& item, UpdateCheck check) override;
  void didFindValidUpdate(const AppcastItem& item) override;
  void willDownloadUpdate(const AppcastItem& item) override;
  void willExtractUpdate(const AppcastItem& item) override;
  void didExtractUpdate(const AppcastItem& item) override;
  void willInstallUpdate(const AppcastItem& item) override;
  bool shouldPostponeRelaunch(const AppcastItem& item, InstallBlock block) override;
  bool willInstallUpdateOnQuit(const AppcastItem& item, InstallBlock immediate) override;
  void didAbortWithError(const UpdaterError& error) override;
  void didFinishUpdateCycle(UpdateCheck check, const std::optional<UpdaterError>& error) override;

  // For tests: the preparation runs.
  bool isPreparing() const noexcept { return preparation_.isRunning(); }

 private:
  explicit MacUpdaterController(Environment environment);

  void setStatus(std::string status);
  void changed();
  void report(const std::exception_ptr& error, const std::string& message);
  void refreshActivity();
  void handleUpdateFailure(const UpdaterError& error);
  void prepareInstallation();
  void cancelPreparation();
  void answerTermination(bool quit);
  std::string idleStatus() const;
  static Awaitable<void> monitor(std::weak_ptr<MacUpdaterController> weak);
  static Awaitable<void> prepare(std::weak_ptr<MacUpdaterController> weak, std::uint64_t generation,
                                 Uuid owner, std::optional<UpdateResumeIntent> intent, std::string build,
                                 TaskTokenPtr token);
  // Runs `work` off the main executor; resumes with its outcome.
  Awaitable<Outcome<void>> offMain(std::function<void()> work);
  Awaitable<void> discardResume(UpdateResumeIntent intent);
  // The cleanup as a task of its own that keeps the controller alive until it ends.
  static Awaitable<void> discardHeld(std::shared_ptr<MacUpdaterController> self, UpdateResumeIntent intent);
  UpdateResumeStore resumeStore() const;

  Environment environment_;
  Published published_;
  std::map<int, std::function<void()>> observers_;
  int nextObserver_ = 0;

  std::shared_ptr<Updater> updater_;
  std::shared_ptr<StandardUserDriver> userDriver_;
  std::optional<UpdateConfiguration> configuration_;
  TaskSlot monitor_;
  TaskSlot preparation_;
  InstallBlock installHandler_;
  std::optional<std::string> installBuild_;
  bool installPrepared_ = false;
  bool resumeRequested_ = false;
  std::optional<Uuid> reservationOwner_;
  std::optional<UpdateResumeIntent> resumeIntent_;
  bool terminationWaiting_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace vantrel
