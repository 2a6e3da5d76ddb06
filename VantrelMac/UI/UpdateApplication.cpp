#include "UI/UpdateApplication.hpp"

#include "Model/UpdateFrameworkUserDefaults.hpp"
#include "Platform/UpdateFrameworkEngine.hpp"
#include "UI/UpdateDialogs.hpp"

namespace vantrel {

std::shared_ptr<MacUpdaterController> makeApplicationUpdater(ApplicationUpdaterHooks hooks) {
  std::shared_ptr<UpdaterSettings> settings;
  if (hooks.defaults) {
    settings = std::make_shared<UserDefaultsUpdaterSettings>(*hooks.defaults);
  } else {
    settings = std::make_shared<MemoryUpdaterSettings>();
  }
  MacUpdaterController::Environment environment;
  environment.mainExecutor = hooks.mainExecutor;
  environment.info = hooks.info.values();
  environment.gate = UpdateActivityGate::shared();
  environment.makeUserDriver = [] {
    return std::make_shared<StandardUserDriver>(std::make_shared<QtUpdateDialogPresenter>());
  };
  environment.makeUpdater = [executor = hooks.mainExecutor, info = hooks.info.values(), settings,
                             quit = hooks.requestQuit](std::shared_ptr<StandardUserDriver> driver,
                                                       std::weak_ptr<UpdaterDelegate> delegate) {
    auto engine = LinuxUpdaterEnvironment::forRunningProgram(executor, info, settings);
    engine.requestTermination = quit;
    return LinuxUpdater::create(std::move(engine), std::move(driver), std::move(delegate));
  };
  environment.resumeURL = [identifier = hooks.info.bundleIdentifier()] {
    return UpdateResumeStore::defaultURL(identifier);
  };
  environment.replyToTermination = std::move(hooks.replyToTermination);
  environment.showWindow = std::move(hooks.showWindow);
  environment.requestStartupAutomaticLogin = std::move(hooks.requestStartupAutomaticLogin);
  return MacUpdaterController::create(std::move(environment));
}

}  // namespace vantrel
