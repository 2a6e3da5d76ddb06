#pragma once

// The application's updater as the interactive program runs it: the controller over the Linux
// engine, the Qt dialogs, the settings store and the resume record of the bundle identifier.
// The window controller's launch sequence calls `start()` and then `consumeUpdateResume()` on
// the result, routes the quit request through `terminationReply()`, and calls
// `applicationWillTerminate()` before the event loop ends.

#include <functional>
#include <memory>

#include "Model/Settings/InfoDictionary.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "Model/Update/MacUpdaterController.hpp"

namespace vantrel {

struct ApplicationUpdaterHooks {
  Executor mainExecutor;
  InfoDictionary info;
  // The standard settings store (outlives the updater); null keeps the settings in memory.
  UserDefaults* defaults = nullptr;
  std::function<void(bool)> replyToTermination;
  // Ends the event loop (main() then relaunches into an installed update).
  std::function<void()> requestQuit;
  std::function<void()> showWindow;
  std::function<void()> requestStartupAutomaticLogin;
};

std::shared_ptr<MacUpdaterController> makeApplicationUpdater(ApplicationUpdaterHooks hooks);

}  // namespace vantrel
