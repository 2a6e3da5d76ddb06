#pragma once

// Lets a test hold the calls of a double open (a provider that is slow to answer, a stop that
// takes its time) and release them when the scenario needs it.

#include <memory>
#include <mutex>
#include <vector>

#include "Support/Async.hpp"

namespace vantrel::testing {

class HoldGate {
 public:
  // Calls that pass the gate from now on wait until `release()`.
  void hold();
  // Lets every waiting call go on; later calls pass straight through.
  void release();
  // Waits on the caller's executor while the gate is held.
  Awaitable<void> pass();
  int waiting() const;

 private:
  mutable std::mutex mutex_;
  bool held_ = false;
  int waiting_ = 0;
  std::vector<std::shared_ptr<Timer>> waits_;
};

}  // namespace vantrel::testing
