#pragma once

// The main executor of the Qt application: an Asio executor whose work runs on the Qt GUI
// thread, so that coroutines and tasks written against `asio::any_io_executor` run on the thread
// that owns the widgets. Timers and sockets created from it wait in an io_context of the main
// loop's own; their completions come back to the GUI thread. Application code never names this
// type: it is handed an `asio::any_io_executor`, which in tests is an io_context's executor.
//
// This header includes no Qt header; the Qt side lives in the source file.

// The standard library comes first: Asio's configuration decides how it allocates from macros
// the library defines, and every translation unit must decide the same way (the others see the
// standard headers first through the precompiled header).
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/execution.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace vantrel {

namespace detail {
struct QtMainState;

// One piece of work for the GUI thread (a move-only function). Work posted through a tracked
// executor keeps that executor's share of outstanding work until it has run or was dropped.
class QtMainWork {
 public:
  explicit QtMainWork(std::shared_ptr<void> work) noexcept : work_(std::move(work)) {}
  virtual ~QtMainWork() = default;
  virtual void run() = 0;

 private:
  std::shared_ptr<void> work_;
};

template <typename F>
class QtMainWorkOf final : public QtMainWork {
 public:
  QtMainWorkOf(F&& f, std::shared_ptr<void> work) : QtMainWork(std::move(work)), f_(std::move(f)) {}
  void run() override { std::move(f_)(); }

 private:
  F f_;
};

// Posts the work to the GUI thread; it is destroyed without running once the loop is gone.
void postToQtMain(const std::shared_ptr<QtMainState>& state, std::unique_ptr<QtMainWork> work);
bool isQtMainThread(const QtMainState& state) noexcept;
// Counts the tracked executors alive (every task spawned on the main executor holds one until it
// has ended, every pending wait until its handler ran), so that shutdown can wait for them.
void trackedWorkStarted(QtMainState& state) noexcept;
void trackedWorkFinished(QtMainState& state) noexcept;
}  // namespace detail

class QtMainExecutor {
 public:
  using ContextWork = asio::executor_work_guard<asio::io_context::executor_type>;

  QtMainExecutor(std::shared_ptr<detail::QtMainState> state, asio::io_context& context) noexcept
      : state_(std::move(state)), context_(&context) {}

  // Timers and sockets made from this executor wait in the main loop's own io_context.
  asio::io_context& query(asio::execution::context_t) const noexcept { return *context_; }

  asio::execution::blocking_t query(asio::execution::blocking_t) const noexcept {
    return possibly_ ? asio::execution::blocking_t(asio::execution::blocking.possibly)
                     : asio::execution::blocking_t(asio::execution::blocking.never);
  }
  asio::execution::outstanding_work_t query(asio::execution::outstanding_work_t) const noexcept {
    return work_ ? asio::execution::outstanding_work_t(asio::execution::outstanding_work.tracked)
                 : asio::execution::outstanding_work_t(asio::execution::outstanding_work.untracked);
  }

  // "Possibly blocking" runs the work at once when the caller already is on the GUI thread
  // (what `dispatch` asks for); "never blocking" always queues it (what `post` asks for).
  QtMainExecutor require(asio::execution::blocking_t::possibly_t) const noexcept {
    auto copy = *this;
    copy.possibly_ = true;
    return copy;
  }
  QtMainExecutor require(asio::execution::blocking_t::never_t) const noexcept {
    auto copy = *this;
    copy.possibly_ = false;
    return copy;
  }
  // While tracked work is outstanding the main loop's io_context does not run out of work.
  QtMainExecutor require(asio::execution::outstanding_work_t::tracked_t) const noexcept {
    auto copy = *this;
    if (!copy.work_) copy.work_ = makeWork();
    return copy;
  }
  QtMainExecutor require(asio::execution::outstanding_work_t::untracked_t) const noexcept {
    auto copy = *this;
    copy.work_.reset();
    return copy;
  }

  template <typename F>
  void execute(F&& f) const {
    if (possibly_ && detail::isQtMainThread(*state_)) {
      std::decay_t<F> local(std::forward<F>(f));
      std::move(local)();
      return;
    }
    detail::postToQtMain(state_, std::make_unique<detail::QtMainWorkOf<std::decay_t<F>>>(
                                     std::decay_t<F>(std::forward<F>(f)), work_));
  }

  // True on the thread that runs the Qt event loop.
  bool running_in_this_thread() const noexcept { return detail::isQtMainThread(*state_); }

  friend bool operator==(const QtMainExecutor& a, const QtMainExecutor& b) noexcept {
    return a.state_ == b.state_ && a.context_ == b.context_ && a.possibly_ == b.possibly_ &&
           (a.work_ != nullptr) == (b.work_ != nullptr);
  }
  friend bool operator!=(const QtMainExecutor& a, const QtMainExecutor& b) noexcept { return !(a == b); }

 private:
  std::shared_ptr<detail::QtMainState> state_;
  asio::io_context* context_;
  bool possibly_ = false;
  std::shared_ptr<ContextWork> makeWork() const noexcept;

  // Shared by the copies of one tracked executor; the io_context counts it as one piece of work.
  std::shared_ptr<ContextWork> work_;
};

// The GUI thread's side of the executor. Create it on the GUI thread once the
// QCoreApplication (or QApplication) exists, before anything posts to it, and before the
// runtime that is given its executor; destroy it after the event loop ended, `drain()` let the
// main executor's tasks end, and that runtime stopped (docs/shutdown.md). Work still queued
// then is destroyed without running.
//
// It owns the execution context of the main executor: an io_context run by one thread of its
// own, in which timers and sockets made from the main executor wait (their completions are
// handed to the GUI thread). The runtime's io_context stays the actors' alone.
class QtMainLoop {
 public:
  QtMainLoop();
  ~QtMainLoop();
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  QtMainExecutor executor() const noexcept { return QtMainExecutor(state_, *context_); }
  asio::any_io_executor anyExecutor() const { return asio::any_io_executor(executor()); }

  // Ends the event loop with the exit code. Queued, so that a request made before the loop
  // runs still ends it as soon as it starts. Safe from any thread.
  void requestQuit(int exitCode = 0) const;

  // After the event loop returned: runs the work queued for the GUI thread, and the work it
  // queues in turn, until no task or wait of the main executor is left (the tasks the program
  // cancelled at quit run to their ends here, releasing what they hold) or `limit` passes. True
  // when nothing is left. Call on the GUI thread while the runtime's threads still run.
  bool drain(std::chrono::milliseconds limit);
  // After the event loop returned: runs the work queued for the GUI thread, as `drain()` does,
  // until `done` answers true (looked at after each piece of work, and at least every
  // `pollInterval`) or `limit` passes. True when `done` answered true.
  static constexpr std::chrono::milliseconds pollInterval{10};
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
  // The main executor's tasks and waits still alive.
  std::size_t trackedWork() const noexcept;

 private:
  friend void quitOnTerminationSignals(const QtMainLoop& loop);
  std::shared_ptr<detail::QtMainState> state_;
  std::unique_ptr<asio::io_context> context_;
  std::unique_ptr<QtMainExecutor::ContextWork> contextWork_;
  std::thread contextThread_;
};

// Turns SIGTERM, SIGINT and SIGHUP into `requestQuit(0)`, so that the program ends through its
// ordinary shutdown (pending log lines written, sessions closed). Call once, on the GUI thread.
void quitOnTerminationSignals(const QtMainLoop& loop);

}  // namespace vantrel
