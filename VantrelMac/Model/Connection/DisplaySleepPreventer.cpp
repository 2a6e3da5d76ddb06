#include "Model/Connection/DisplaySleepPreventer.hpp"

#include "Platform/Backend/DesktopPorts.hpp"

namespace vantrel {

DisplaySleepPreventer::DisplaySleepPreventer()
    : DisplaySleepPreventer(DesktopPorts::makeDisplaySleepAssertion()) {}

DisplaySleepPreventer::DisplaySleepPreventer(std::shared_ptr<DisplaySleepAssertion> backend)
    : backend_(std::move(backend)) {}

DisplaySleepPreventer::~DisplaySleepPreventer() { stop(); }

bool DisplaySleepPreventer::start() {
  // The activity declaration runs on every start, even with the hold already in place.
  backend_->declareUserActivity();
  if (held_) return true;
  held_ = backend_->acquire();
  return held_;
}

void DisplaySleepPreventer::stop() {
  if (!held_) return;
  backend_->release();
  held_ = false;
}

}  // namespace vantrel
