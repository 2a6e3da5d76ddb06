#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/Status/AppDelegatePresenter.hpp"
#include "Model/Status/QuitRouter.hpp"
#include "SingleInstance.hpp"

class QSessionManager;

namespace vantrel {

class VantrelMacWindowController;

struct AppDelegateEnvironment {
  std::vector<std::string> arguments;
  std::optional<std::filesystem::path> resourceDirectory;
  std::shared_ptr<UpdaterControlling> updater = std::make_shared<StandInUpdaterController>();
  std::function<void()> startSessionAgent;
  // Ends the event loop (QCoreApplication::quit, queued by the caller when needed).
  std::function<void()> quit;
};

// Answers the application's life-cycle events for both the interactive mode and the session agent.
class VantrelMacAppDelegate : public QObject {
 public:
  VantrelMacAppDelegate(AppDelegateEnvironment environment, VantrelMacWindowController* controller,
                        QObject* parent = nullptr);
  ~VantrelMacAppDelegate() override;

  bool isSessionAgent() const;

  void applicationDidFinishLaunching();
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  void openURLs(const std::vector<std::string>& urls);
  bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
  TerminateReply requestQuit(QuitSource source);

  // A second launch's hand-over: reopen, then the open request for what it names.
  void receiveHandOver(const AppDelegatePresenter::HandOver& handOver);

  // SIGTERM/SIGINT and the session manager take the quit path; the model stops once at the end.
  void installQuitHooks();
  // The quit path's first step: the model stops (once), which closes every session.
  void endRemoteWork() { stopModelOnce(); }
  // True once the sessions the model closed have closed: no screen capture or input is left.
  bool remoteWorkEnded() const;

  QuitRouter& quitRouter() { return *quitRouter_; }

 private:
  void stopModelOnce();

  AppDelegateEnvironment environment_;
  VantrelMacWindowController* controller_;
  std::unique_ptr<QuitRouter> quitRouter_;
  QuitSignals* signals_ = nullptr;
  bool modelStopped_ = false;
};

}  // namespace vantrel
