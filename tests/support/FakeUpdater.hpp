#pragma once

// A scripted stand-in for the update engine: records every call of the controller and drives
// the delegate on demand, so the controller's behaviour is tested without network or files.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Update/UpdateFramework.hpp"

namespace vantrel::testing {

class FakeUpdater : public Updater {
 public:
  explicit FakeUpdater(std::weak_ptr<UpdaterDelegate> delegate = {}) : delegate_(std::move(delegate)) {}

  void setDelegate(std::weak_ptr<UpdaterDelegate> delegate) { delegate_ = std::move(delegate); }

  // Scripted answers.
  std::optional<UpdaterError> startError;
  bool canCheck = true;
  bool automaticChecks = true;
  // When false, setAutomaticallyChecksForUpdates is ignored (a store that refuses the change).
  bool acceptsAutomaticChecks = true;

  // Recorded calls, in order ("setAutomaticallyDownloadsUpdates NO", "start", "check", ...).
  std::vector<std::string> calls;
  int checks = 0;
  int terminations = 0;

  void setAutomaticallyDownloadsUpdates(bool value) override;
  void setSendsSystemProfile(bool value) override;
  std::optional<UpdaterError> startUpdater() override;
  bool automaticallyChecksForUpdates() const override { return automaticChecks; }
  void setAutomaticallyChecksForUpdates(bool value) override;
  bool canCheckForUpdates() const override { return canCheck; }
  void checkForUpdates() override;
  void applicationWillTerminate() override;

  // Delegate drivers. Each returns what the delegate answered, where it answers anything.
  static AppcastItem item(const std::string& build,
                          const std::string& url = "https://updates.example/a.tar.gz");
  std::optional<UpdaterError> proceed(const AppcastItem& item,
                                      UpdateCheck check = UpdateCheck::userInitiated);
  void emitFound(const AppcastItem& item);
  void emitDownloadAndExtract(const AppcastItem& item);
  void emitWillDownload(const AppcastItem& item);
  // Offers a fresh install block to shouldPostponeRelaunch; `installs` counts its invocations.
  bool emitPostpone(const AppcastItem& item);
  bool emitInstallOnQuit(const AppcastItem& item);
  void emitAbort(const UpdaterError& error);
  void emitFinish(UpdateCheck check, const std::optional<UpdaterError>& error);
  std::optional<std::string> feedURL();

  // Invocations of the install blocks handed out (each block counts once at most).
  int installs = 0;
  std::vector<std::string> installedBuilds;

 private:
  std::shared_ptr<UpdaterDelegate> delegate() const;
  InstallBlock makeBlock(const AppcastItem& item);
  std::weak_ptr<UpdaterDelegate> delegate_;
};

}  // namespace vantrel::testing
