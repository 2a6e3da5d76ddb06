#include "UI/UpdateApplication.hpp"

#include "Model/Update/NonblockingUpdateUserDriver.hpp"
#include "Model/Update/UpdateFrameworkUserDefaults.hpp"
#include "Platform/Update/UpdateFrameworkEngine.hpp"
#include "UI/UpdateDialogs.hpp"

namespace vantrel {

std::shared_ptr<MacUpdaterController> makeApplicationUpdater(ApplicationUpdaterHooks hooks) {
  std::shared_ptr<UpdaterSettings> settings;
  if (hooks.defaults) {
    settings = std::make_shared<UserDefaultsUpdaterSettings>(*hooks.defaults);
  } else {
    settings = std::make_shared<MemoryUpdaterSettings>();
  }
  // One calendar clock for the resume records and the engine's check schedule.
  const WallClock now = systemWallClock();
  MacUpdaterController::Environment environment;
  environment.mainExecutor = hooks.mainExecutor;
  environment.now = now;
  environment.info = hooks.info.values();
  environment.gate = UpdateActivityGate::shared();
  environment.makeUserDriver = []() -> std::shared_ptr<StandardUserDriver> {
    return std::make_shared<NonblockingUpdateUserDriver>(std::make_shared<QtUpdateDialogPresenter>());
  };
  environment.setDriverErrorHandler = [](StandardUserDriver& driver,
                                         std::function<void(const UpdaterError&)> handler) {
    if (auto* nonblocking = dynamic_cast<NonblockingUpdateUserDriver*>(&driver))
      nonblocking->onError = std::move(handler);
  };
  environment.makeUpdater = [executor = hooks.mainExecutor, info = hooks.info.values(), settings,
                             quit = hooks.requestQuit, now](std::shared_ptr<StandardUserDriver> driver,
                                                            std::weak_ptr<UpdaterDelegate> delegate) {
    auto engine = LinuxUpdaterEnvironment::forRunningProgram(executor, info, settings);
    engine.requestTermination = quit;
    engine.now = now;
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
