#pragma once

// A latch that coroutines await: one task waits for another to finish without a mutex (a timer
// that never expires, cancelled when the latch is set).

#include <memory>

#include "Support/Async.hpp"
#include "Support/Clock.hpp"

namespace vantrel {

// Set once; every waiter resumes when it is set. A waiter that is cancelled before that throws
// `CancellationError`. Used only on the executor it was made with.
class AsyncLatch {
 public:
  explicit AsyncLatch(const Executor& executor);
  void set();
  bool isSet() const noexcept { return set_; }
  // Returns at once when set; the latch must be kept alive by the caller (see `waitFor`).
  static Awaitable<void> waitFor(std::shared_ptr<AsyncLatch> latch);

 private:
  Timer timer_;
  bool set_ = false;
};

// Runs `body` and sets `done` however it ends, so that whoever waits for the task resumes.
Awaitable<void> settingWhenDone(std::shared_ptr<AsyncLatch> done, Awaitable<void> body);

}  // namespace vantrel
