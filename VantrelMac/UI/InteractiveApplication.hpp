#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Model/Settings/InfoDictionary.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Support/Async.hpp"

namespace vantrel {

class MacUpdaterController;
class DesktopMotionSetting;
class SingleInstance;
class VantrelMacAppDelegate;

struct InteractiveApplicationContext {
  std::vector<std::string> arguments;
  const InfoDictionary& info;
  Executor mainExecutor;  // the GUI thread's
  Executor ioExecutor;    // the runtime's, for the sessions
  // The standard settings store and the diagnostics log's writer; both outlive the application.
  UserDefaults* standardDefaults = nullptr;
  std::shared_ptr<DiagnosticLogWriter> diagnosticLogWriter;
  std::function<void()> quit;
};

// The tray application around the status window: the single instance, the delegate, the shared
// window controller over the real status model. Built before the event loop runs; destroyed
// after it ends and before the runtime and the application object go.
class InteractiveApplication {
 public:
  // Null when another instance runs and took this launch over (the program then ends).
  static std::unique_ptr<InteractiveApplication> start(InteractiveApplicationContext context);
  ~InteractiveApplication();
  // The updater the window, the menu and the quit path use; main() tells it the program ends.
  const std::shared_ptr<MacUpdaterController>& updater() const noexcept { return updater_; }
  // At quit, before the application goes: the model stops and closes every session, and
  // `remoteWorkEnded()` turns true once they have closed (their screen captures stopped and
  // joined, their input handled). Only then may the application's objects go.
  void endRemoteWork();
  bool remoteWorkEnded() const;
  InteractiveApplication(const InteractiveApplication&) = delete;
  InteractiveApplication& operator=(const InteractiveApplication&) = delete;

 private:
  InteractiveApplication() = default;
  std::unique_ptr<SingleInstance> instance_;
  // The desktop's animation setting, followed from before the window shows until the end.
  std::unique_ptr<DesktopMotionSetting> motion_;
  std::unique_ptr<VantrelMacAppDelegate> delegate_;
  std::shared_ptr<MacUpdaterController> updater_;
};

}  // namespace vantrel
