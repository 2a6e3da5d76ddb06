#include "Platform/Ports/DesktopSessionDemand.hpp"

namespace vantrel {

DesktopSessionDemand::Hold& DesktopSessionDemand::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::exchange(other.owner_, nullptr);
  }
  return *this;
}

void DesktopSessionDemand::Hold::release() {
  if (auto* owner = std::exchange(owner_, nullptr)) owner->drop();
}

DesktopSessionDemand& DesktopSessionDemand::shared() {
  static auto* const demand = new DesktopSessionDemand;
  return *demand;
}

DesktopSessionDemand::Hold DesktopSessionDemand::hold() {
  std::lock_guard lock(mutex_);
  ++holds_;
  return Hold(this);
}

bool DesktopSessionDemand::wanted() const {
  std::lock_guard lock(mutex_);
  return holds_ > 0;
}

void DesktopSessionDemand::whenLastReleased(std::function<void()> onLastRelease) {
  std::lock_guard lock(mutex_);
  onLastRelease_.push_back(std::move(onLastRelease));
}

void DesktopSessionDemand::drop() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex_);
    if (holds_ == 0 || --holds_ > 0) return;
    callbacks = onLastRelease_;
  }
  for (const auto& callback : callbacks) callback();
}

}  // namespace vantrel
