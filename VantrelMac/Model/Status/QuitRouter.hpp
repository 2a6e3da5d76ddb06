#pragma once

// One way out of the interactive application: the menu's "종료", Ctrl+Q, SIGTERM/SIGINT and the
// session manager all ask here, and the updater decides whether the program may end now.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

enum class TerminateReply { terminateNow, terminateLater, terminateCancel };

// What the application needs of the updater controller. The stand-in below answers "terminate
// now" and offers no update; the updater's controller replaces it.
class UpdaterControlling {
 public:
  virtual ~UpdaterControlling() = default;
  virtual void start() = 0;
  virtual void checkForUpdates() = 0;
  virtual bool canCheckForUpdates() const = 0;
  // Runs after launch; may ask the window controller to sign in again after an update.
  virtual void consumeUpdateResume() = 0;
  virtual TerminateReply terminationReply() = 0;
  // After answering "later" the updater calls this once with its final answer.
  virtual void setDeferredTerminationHandler(std::function<void(bool terminate)> handler) = 0;
};

class StandInUpdaterController final : public UpdaterControlling {
 public:
  void start() override {}
  void checkForUpdates() override {}
  bool canCheckForUpdates() const override { return false; }
  void consumeUpdateResume() override {}
  TerminateReply terminationReply() override { return TerminateReply::terminateNow; }
  void setDeferredTerminationHandler(std::function<void(bool)>) override {}
};

enum class QuitSource { menu, shortcut, signal, sessionManager };
std::string_view quitSourceName(QuitSource source) noexcept;

class QuitRouter {
 public:
  // `sessionAgent` ends at once; otherwise the updater answers. `quit` ends the event loop.
  QuitRouter(std::shared_ptr<UpdaterControlling> updater, std::function<void()> quit,
             bool sessionAgent = false);

  // Returns the answer that was taken; `quit` has run when it is terminateNow. A request made
  // while the updater owes its answer to an earlier one waits for that answer; when that answer
  // keeps the program, the updater is asked once more for the latest such request.
  TerminateReply requestQuit(QuitSource source);
  bool waitingForUpdater() const noexcept { return waiting_; }

 private:
  void answered(bool terminate);

  std::shared_ptr<UpdaterControlling> updater_;
  std::function<void()> quit_;
  bool sessionAgent_;
  bool waiting_ = false;
  bool quitting_ = false;
  // While the updater is asked, its final answer may already come (it decides before it
  // returns "later"): kept here, and taken once the reply has returned.
  bool asking_ = false;
  std::optional<bool> earlyAnswer_;
  std::optional<QuitSource> repeated_;
};

}  // namespace vantrel
