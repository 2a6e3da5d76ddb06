#pragma once

// Whether the machine has a usable network path, read from rtnetlink.

#include <functional>

namespace vantrel {

enum class NetworkPathStatus { satisfied, unsatisfied, requiresConnection };

// A source of network path updates. The handler runs on the monitor's own thread; its first call
// carries the status found at start.
class PathMonitor {
 public:
  using UpdateHandler = std::function<void(NetworkPathStatus)>;
  virtual ~PathMonitor() = default;
  virtual void start(UpdateHandler handler) = 0;
  // Final: once it returns the handler is never called again.
  virtual void cancel() = 0;
};

}  // namespace vantrel
