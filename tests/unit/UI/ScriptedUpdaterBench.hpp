#pragma once

// The process-wide updater controller of a window under test, over the scripted engine, with its
// resume file in a temporary home and its main actor on an io_context the test drives.

#include <asio/io_context.hpp>

#include "Model/Update/MacUpdaterController.hpp"

#include "support/FakeUpdater.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

namespace vantrel::testing {

struct ScriptedUpdaterBench {
  TemporaryHome home;
  asio::io_context io;
  std::shared_ptr<UpdateActivityGate> gate = UpdateActivityGate::create();
  std::shared_ptr<FakeUpdater> fake = std::make_shared<FakeUpdater>();
  UpdateInfo info;
  std::shared_ptr<MacUpdaterController> controller;

  void makeController() {
    const auto keys = UpdateKeys::generate();
    info = updateInfo("41", keys, "https://updates.example/appcast.xml", false);
    MacUpdaterController::Environment environment;
    environment.mainExecutor = io.get_executor();
    environment.info = info;
    environment.gate = gate;
    environment.makeUpdater = [this](std::shared_ptr<StandardUserDriver>,
                                     std::weak_ptr<UpdaterDelegate> delegate) {
      fake->setDelegate(delegate);
      return fake;
    };
    environment.resumeURL = [this] {
      return std::optional(home.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json");
    };
    environment.runOffMain = [](std::function<void()> work) { work(); };
    controller = MacUpdaterController::create(std::move(environment));
  }
};

}  // namespace vantrel::testing
