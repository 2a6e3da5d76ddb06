#pragma once

// Turns two system events into one recovery signal with a reason text: the network path becoming
// usable again, and the machine waking from sleep. The status model answers the signal by running
// its connection cycle at once instead of waiting for the reconnect back-off.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Platform/System/PathMonitor.hpp"

namespace vantrel {

class SleepWakeMonitor;

namespace ConnectionRecoveryReason {
inline constexpr std::string_view networkBecameAvailable = "Network became available";
inline constexpr std::string_view macWokeFromSleep = "Mac woke from sleep";
}  // namespace ConnectionRecoveryReason

// The operations the status model uses. The callback runs on a thread of the monitor, never on
// the main executor: it must only post work there.
class ConnectionRecoveryMonitoring {
 public:
  using Callback = std::function<void(std::string reason)>;
  virtual ~ConnectionRecoveryMonitoring() = default;
  // Once per monitor: begins watching the network path and wake-ups.
  virtual void start(Callback callback) = 0;
  // Final. Once it returns, the callback is never called again (a change racing it included).
  virtual void stop() = 0;
};

// Whether a path update is reported: only a change to `satisfied` from a known other status.
// The first update after start (`previous` none) is the initial state and never reported.
bool reportsNetworkRecovery(std::optional<NetworkPathStatus> previous, NetworkPathStatus current) noexcept;

class MacConnectionRecoveryMonitor final : public ConnectionRecoveryMonitoring {
 public:
  // Watches rtnetlink and the system's suspend/resume.
  MacConnectionRecoveryMonitor();
  // Watches the given sources (tests).
  MacConnectionRecoveryMonitor(std::unique_ptr<PathMonitor> pathMonitor,
                               std::unique_ptr<SleepWakeMonitor> wakeMonitor);
  // Stops (and joins the sources' threads).
  ~MacConnectionRecoveryMonitor() override;
  MacConnectionRecoveryMonitor(const MacConnectionRecoveryMonitor&) = delete;
  MacConnectionRecoveryMonitor& operator=(const MacConnectionRecoveryMonitor&) = delete;

  void start(Callback callback) override;
  void stop() override;

 private:
  void handlePathUpdate(NetworkPathStatus status);
  void report(std::string_view reason);

  std::unique_ptr<PathMonitor> pathMonitor_;
  std::unique_ptr<SleepWakeMonitor> wakeMonitor_;
  // Held while the callback runs, so `stop()` returns only after a running call has ended.
  std::recursive_mutex callbackMutex_;
  Callback callback_;
  bool started_ = false;
  bool stopped_ = false;
  // Written only by the path monitor's thread.
  std::optional<NetworkPathStatus> previousPathStatus_;
};

}  // namespace vantrel
