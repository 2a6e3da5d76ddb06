#include "Model/Update/UpdaterControllerAdapter.hpp"

namespace vantrel {

UpdaterControllerAdapter::UpdaterControllerAdapter()
    : deferred_(std::make_shared<std::function<void(bool)>>()) {}

std::function<void(bool)> UpdaterControllerAdapter::terminationReplyHook() const {
  // Holds the slot, not the adapter: the controller may outlive it by a queued reply.
  return [slot = deferred_](bool terminate) {
    const auto handler = *slot;  // the handler may replace itself while it runs
    if (handler) handler(terminate);
  };
}

void UpdaterControllerAdapter::attach(std::shared_ptr<MacUpdaterController> controller) {
  controller_ = std::move(controller);
}

void UpdaterControllerAdapter::start() {
  if (controller_) controller_->start();
}

void UpdaterControllerAdapter::checkForUpdates() {
  if (controller_) controller_->checkForUpdates();
}

bool UpdaterControllerAdapter::canCheckForUpdates() const {
  return controller_ && controller_->validateMenuItem();
}

void UpdaterControllerAdapter::consumeUpdateResume() {
  if (controller_) controller_->consumeUpdateResume();
}

TerminateReply UpdaterControllerAdapter::terminationReply() {
  if (!controller_) return TerminateReply::terminateNow;
  switch (controller_->terminationReply()) {
    case MacUpdaterController::TerminateReply::now: return TerminateReply::terminateNow;
    case MacUpdaterController::TerminateReply::later: return TerminateReply::terminateLater;
    case MacUpdaterController::TerminateReply::cancel: return TerminateReply::terminateCancel;
  }
  return TerminateReply::terminateNow;
}

void UpdaterControllerAdapter::setDeferredTerminationHandler(std::function<void(bool)> handler) {
  *deferred_ = std::move(handler);
}

}  // namespace vantrel
