#pragma once

#include <chrono>
#include <functional>

#include "Support/Clock.hpp"

namespace vantrel {

// Runs a block once, later, on the thread that owns the windows. The window code asks it for
// every delay it has (the 0.2 s hide after sign-in, the notice's 3.5 s), so tests drive those
// delays with the manual clock instead of waiting.
class DelayScheduler {
 public:
  virtual ~DelayScheduler() = default;
  virtual void schedule(std::chrono::milliseconds delay, std::function<void()> block) = 0;
  virtual VantrelClock::time_point now() const { return VantrelClock::now(); }
};

}  // namespace vantrel
