#pragma once

// A thread that owns an sd-bus connection and runs, one after another, the work other threads
// queue for it (sd-bus connections are not thread-safe). Between work it dispatches what the
// connection delivers and sleeps on the connection and on an eventfd that queued work rings.
//
// Callers wait for their work's answer with a time limit, never longer. Work whose caller has
// given up is skipped rather than run late (a key press must not land seconds after it was
// reported as failed). The queue is bounded: beyond its size the thread is stuck and callers fail
// at once.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "Support/SystemLog.hpp"
#include "Support/UniqueFd.hpp"

namespace vantrel {

class BusThread {
 public:
  using Clock = std::chrono::steady_clock;

  // What the thread does with its connection; each runs on the thread.
  struct Connection {
    // The connection to wait on, or null while there is none.
    std::function<sd_bus*()> bus;
    // Dispatches whatever the connection has delivered.
    std::function<void()> pump;
    // Runs once as the thread stops, after the last work.
    std::function<void()> finish;
  };

  // Failed work is logged on `log` as "`label`: a bus call failed: …". Nothing runs until start().
  BusThread(const SystemLog& log, std::string label);
  // Stops the thread (see stop()).
  ~BusThread();
  BusThread(const BusThread&) = delete;
  BusThread& operator=(const BusThread&) = delete;

  // Starts the thread; called once.
  void start(Connection connection);
  // Ends the thread after the work it runs now, skipping the rest, and joins it once `finish` ran.
  void stop();

  // ---- any thread ----

  // Queues `run`, skipped when it has not begun by `deadline`; false when the queue is full or the
  // thread stops.
  bool enqueue(std::function<void()> run, Clock::time_point deadline);
  // Makes the thread run its connection's `pump` soon (work of the connection's own was added).
  void wake() { signalWake(); }

  // Runs `work` on the thread and returns its result, or nothing when it did not finish in time
  // (it is then skipped if it has not begun). Called on the thread itself, it runs `work` at once.
  template <typename R>
  std::optional<R> run(std::function<R()> work, std::chrono::milliseconds limit) {
    if (onThread()) return work();
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    const auto deadline = Clock::now() + limit;
    const bool queued = enqueue(
        [promise, work = std::move(work)] {
          try {
            promise->set_value(work());
          } catch (...) {
            promise->set_exception(std::current_exception());
          }
        },
        deadline);
    if (!queued || future.wait_until(deadline) != std::future_status::ready) return std::nullopt;
    try {
      return future.get();
    } catch (const std::exception& error) {
      log_.error("{}: a bus call failed: {}", label_, error.what());
      return std::nullopt;
    }
  }

  // ---- the thread ----

  // Runs `work` before the thread sleeps again: for signal handlers, which run inside
  // sd_bus_process and may only record or defer.
  void defer(std::function<void()> work);
  // Runs `pump` again no later than `when`: a time the loop waits for while it serves everything
  // else, never a sleep.
  void wakeAt(Clock::time_point when);
  bool onBusThread() const { return onThread(); }

 private:
  bool onThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  void signalWake();
  void loop();
  void runDeferred();
  void waitForActivity();

  struct Work {
    std::function<void()> run;
    Clock::time_point deadline;
  };

  const SystemLog& log_;
  const std::string label_;
  UniqueFd wake_;
  Connection connection_;

  // Shared (mutex_).
  std::mutex mutex_;
  bool stopping_ = false;
  std::deque<Work> queue_;

  // The thread only.
  std::deque<std::function<void()>> deferred_;
  std::optional<Clock::time_point> wakeAt_;

  std::thread thread_;
};

}  // namespace vantrel
