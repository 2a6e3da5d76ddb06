#pragma once

// The quit path and the tray menu over the updater's controller. The controller answers a quit
// request with now, later or cancel; after "later" it replies once through the hook it was
// created with, and that reply reaches the quit router's deferred handler here.

#include <functional>
#include <memory>

#include "Model/Status/QuitRouter.hpp"
#include "Model/Update/MacUpdaterController.hpp"

namespace vantrel {

class UpdaterControllerAdapter final : public UpdaterControlling {
 public:
  UpdaterControllerAdapter();

  // The controller's `replyToTermination`: give it to the controller's environment, then attach
  // the controller. A reply before any handler is set is dropped (no quit is waiting then).
  std::function<void(bool)> terminationReplyHook() const;
  void attach(std::shared_ptr<MacUpdaterController> controller);
  const std::shared_ptr<MacUpdaterController>& controller() const noexcept { return controller_; }

  void start() override;
  void checkForUpdates() override;
  bool canCheckForUpdates() const override;
  void consumeUpdateResume() override;
  TerminateReply terminationReply() override;
  void setDeferredTerminationHandler(std::function<void(bool terminate)> handler) override;

 private:
  std::shared_ptr<MacUpdaterController> controller_;
  std::shared_ptr<std::function<void(bool)>> deferred_;
};

}  // namespace vantrel
