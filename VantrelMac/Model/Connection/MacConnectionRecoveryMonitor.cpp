#include "Model/Connection/MacConnectionRecoveryMonitor.hpp"

#include "Platform/System/SleepWakeMonitor.hpp"

namespace vantrel {

bool reportsNetworkRecovery(std::optional<NetworkPathStatus> previous, NetworkPathStatus current) noexcept {
  if (!previous) return false;
  if (*previous == NetworkPathStatus::satisfied) return false;
  return current == NetworkPathStatus::satisfied;
}

MacConnectionRecoveryMonitor::MacConnectionRecoveryMonitor()
    : MacConnectionRecoveryMonitor(std::make_unique<NetlinkPathMonitor>(),
                                   std::make_unique<SystemSleepWakeMonitor>()) {}

MacConnectionRecoveryMonitor::MacConnectionRecoveryMonitor(std::unique_ptr<PathMonitor> pathMonitor,
                                                           std::unique_ptr<SleepWakeMonitor> wakeMonitor)
    : pathMonitor_(std::move(pathMonitor)), wakeMonitor_(std::move(wakeMonitor)) {}

MacConnectionRecoveryMonitor::~MacConnectionRecoveryMonitor() { stop(); }

void MacConnectionRecoveryMonitor::start(Callback callback) {
  {
    std::lock_guard lock(callbackMutex_);
    // Once per monitor; a stopped one stays stopped.
    if (started_ || stopped_ || !callback) return;
    started_ = true;
    callback_ = std::move(callback);
  }
  pathMonitor_->start([this](NetworkPathStatus status) { handlePathUpdate(status); });
  wakeMonitor_->start([this] { report(ConnectionRecoveryReason::macWokeFromSleep); });
}

void MacConnectionRecoveryMonitor::stop() {
  {
    // Waits for a callback in progress on another thread; after this block none can begin.
    std::lock_guard lock(callbackMutex_);
    if (stopped_) return;
    stopped_ = true;
    callback_ = nullptr;
  }
  pathMonitor_->cancel();
  wakeMonitor_->stop();
}

void MacConnectionRecoveryMonitor::handlePathUpdate(NetworkPathStatus status) {
  const auto previous = previousPathStatus_;
  previousPathStatus_ = status;
  if (reportsNetworkRecovery(previous, status)) report(ConnectionRecoveryReason::networkBecameAvailable);
}

void MacConnectionRecoveryMonitor::report(std::string_view reason) {
  std::lock_guard lock(callbackMutex_);
  if (stopped_ || !callback_) return;
  // The copy keeps the callback alive should it stop this monitor itself.
  const auto callback = callback_;
  callback(std::string(reason));
}

}  // namespace vantrel
