#pragma once

// What the updater controller and its user driver call on the update engine, and what the
// engine calls back. Every call and every callback happens on the main executor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Support/Error.hpp"

namespace vantrel {

// An error of the update engine or of its delegate: a domain, a code, a description for the
// user and, optionally, the technical detail behind it (for the log, never for a window).
class UpdaterError : public Error {
 public:
  UpdaterError(std::string domain, long code, std::string description,
               std::optional<std::string> detail = std::nullopt)
      : domain_(std::move(domain)),
        code_(code),
        description_(std::move(description)),
        detail_(std::move(detail)) {}

  const std::string& domain() const noexcept { return domain_; }
  long code() const noexcept { return code_; }
  std::optional<std::string> errorDescription() const override { return description_; }
  std::optional<std::string> failureReason() const override { return detail_; }
  std::string errorDomain() const override { return domain_; }
  int errorCode() const override { return static_cast<int>(code_); }
  friend bool operator==(const UpdaterError& a, const UpdaterError& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_ && a.description_ == b.description_ &&
           a.detail_ == b.detail_;
  }

 private:
  std::string domain_;
  long code_;
  std::string description_;
  std::optional<std::string> detail_;
};

// The engine's own error codes (domain "VantrelMac.UpdateEngine").
namespace updater_errors {
inline constexpr const char* domain = "VantrelMac.UpdateEngine";
enum Code : long {
  noUpdate = 1001,
  feedFailed = 1002,
  feedSignature = 1003,
  feedMalformed = 1004,
  downloadFailed = 1005,
  archiveSignature = 1006,
  archiveRefused = 1007,
  stagedBuildRefused = 1008,
  notInstallableHere = 1009,
  installFailed = 1010,
  cancelled = 1011,
};
// The user's text of `code`, in the language of the windows that show it.
std::string description(Code code);
// An engine error: the code's own text for the user, `detail` (English, technical) for the log.
UpdaterError make(Code code, std::string detail = {});
}  // namespace updater_errors

// One update offered by the feed.
struct AppcastItem {
  std::string versionString;         // the build, a decimal number
  std::string displayVersionString;  // shown to the user
  std::optional<std::string> fileURL;
  // Read by the engine only.
  std::uint64_t length = 0;
  std::string edSignature;  // Base64 of the archive's Ed25519 signature
};

enum class UpdateCheck { userInitiated, background };

// The engine's "install now" continuation. Copies share one guard: only the first invocation
// of any copy runs; later ones do nothing.
class InstallBlock {
 public:
  InstallBlock() = default;
  explicit InstallBlock(std::function<void()> body);
  void operator()() const;
  explicit operator bool() const noexcept { return static_cast<bool>(state_); }
  bool wasInvoked() const noexcept;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The callbacks the engine makes to its host's controller.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual std::optional<std::string> feedURLString() = 0;
  // Nullopt to go on; an error to refuse the item.
  virtual std::optional<UpdaterError> shouldProceedWithUpdate(const AppcastItem& item, UpdateCheck check) = 0;
  virtual void didFindValidUpdate(const AppcastItem& item) = 0;
  virtual void willDownloadUpdate(const AppcastItem& item) = 0;
  virtual void willExtractUpdate(const AppcastItem& item) = 0;
  virtual void didExtractUpdate(const AppcastItem& item) = 0;
  virtual void willInstallUpdate(const AppcastItem& item) = 0;
  // True keeps `block`: the engine installs and relaunches only when it is invoked.
  virtual bool shouldPostponeRelaunch(const AppcastItem& item, InstallBlock block) = 0;
  // True: the update waits, installed on quit or when `immediate` is invoked.
  virtual bool willInstallUpdateOnQuit(const AppcastItem& item, InstallBlock immediate) = 0;
  virtual void didAbortWithError(const UpdaterError& error) = 0;
  virtual void didFinishUpdateCycle(UpdateCheck check, const std::optional<UpdaterError>& error) = 0;
};

enum class UpdateFoundChoice { install, later, skip };
enum class ReadyToInstallChoice { installAndRelaunch, later };

// The dialogs of the standard user driver, drawn by the toolkit. Each call returns at once; the
// reply comes later, exactly once.
class UpdateDialogPresenting {
 public:
  enum class NoticeStyle { informational, warning };
  virtual ~UpdateDialogPresenting() = default;
  virtual void showUpdateFound(const AppcastItem& item, std::function<void(UpdateFoundChoice)> reply) = 0;
  virtual void showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                                    std::function<void()> cancel) = 0;
  virtual void showReadyToInstall(const AppcastItem& item,
                                  std::function<void(ReadyToInstallChoice)> reply) = 0;
  virtual void showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                          std::function<void()> acknowledgement) = 0;
  // Brings the open notice back into sight and makes it the active window.
  virtual void bringNoticeForward() = 0;
  virtual void dismissAll() = 0;
};

// The user driver the engine talks to. The notices can be overridden one by one; each
// acknowledgement must be called exactly once.
class StandardUserDriver {
 public:
  explicit StandardUserDriver(std::shared_ptr<UpdateDialogPresenting> presenter = nullptr);
  virtual ~StandardUserDriver();

  virtual void showUpdateFound(const AppcastItem& item, std::function<void(UpdateFoundChoice)> reply);
  virtual void showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                                    std::function<void()> cancel);
  virtual void showReadyToInstall(const AppcastItem& item, std::function<void(ReadyToInstallChoice)> reply);
  virtual void showUpdaterError(const UpdaterError& error, std::function<void()> acknowledgement);
  virtual void showUpdateNotFound(const UpdaterError& error, std::function<void()> acknowledgement);
  virtual void showUpdateInstalledAndRelaunched(bool relaunched, std::function<void()> acknowledgement);
  virtual void dismissUpdateInstallation();

 protected:
  const std::shared_ptr<UpdateDialogPresenting>& presenter() const noexcept { return presenter_; }

 private:
  std::shared_ptr<UpdateDialogPresenting> presenter_;
};

// The updater the controller owns.
class Updater {
 public:
  virtual ~Updater() = default;
  virtual void setAutomaticallyDownloadsUpdates(bool value) = 0;
  virtual void setSendsSystemProfile(bool value) = 0;
  // Nullopt on success.
  virtual std::optional<UpdaterError> startUpdater() = 0;
  virtual bool automaticallyChecksForUpdates() const = 0;
  virtual void setAutomaticallyChecksForUpdates(bool value) = 0;
  // True when a check may start now.
  virtual bool canCheckForUpdates() const = 0;
  // A check with user interface.
  virtual void checkForUpdates() = 0;
  // The application is about to quit: a pending update that waits for the quit is installed.
  virtual void applicationWillTerminate() = 0;
};

}  // namespace vantrel
