#pragma once

// The asynchronous runtime: one io_context on a small thread pool, strands as actors,
// named cancellable tasks, time-outs that race an operation against a timer.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "Support/Clock.hpp"
#include "Support/Error.hpp"

namespace vantrel {

template <typename T = void>
using Awaitable = asio::awaitable<T>;
using Executor = asio::any_io_executor;
using Strand = asio::strand<asio::any_io_executor>;

// Thrown when a task notices that it was cancelled.
class CancellationError : public Error {
 public:
  std::optional<std::string> errorDescription() const override { return std::nullopt; }
  std::string errorDomain() const override { return "Swift.CancellationError"; }
  int errorCode() const override { return 1; }
};

// Thrown by `withTimeout` when the limit passes first.
class TimeoutError : public Error {
 public:
  std::optional<std::string> errorDescription() const override { return "The operation timed out."; }
};

// True for `CancellationError` and for Asio's "operation aborted" (a cancelled wait or read).
bool isCancellation(const std::exception_ptr& error) noexcept;

class BlockingPool;

// The process's runtime: one io_context run by a few threads for the actors and their I/O, the
// main executor it is given (the Qt event loop's in the application; an io_context run on the
// main thread in the agent mode and in tests), and one pool for blocking work (Support/Blocking).
//
// Shutdown happens in this order, and only in this order:
//  1. The owner ends what runs on the runtime while every thread still runs, so that clean-up
//     paths complete: sessions disconnect, task slots are cancelled, actors are released.
//  2. `stop()` lets the handlers already queued in the io_context run (it waits for a marker
//     posted behind them), then stops the io_context and joins its threads.
//  3. `stop()` then stops the blocking pool: queued blocking work that has not begun is dropped,
//     running work finishes and posts its completion into its (stopped) context, and the pool's
//     threads are joined. From here on no thread of ours posts anywhere.
//  4. The io_context is destroyed with the Runtime, destroying the handlers still queued in it.
//  5. The main executor's context belongs to the caller and is destroyed after the Runtime:
//     blocking completions may be posted into it until step 3 has ended. (If it goes first, its
//     shutdown stops the shared pool, and blocking work awaited later fails with
//     `CancellationError` instead of posting into a dead context.)
// The destructor performs steps 2-4 when the owner has not called `stop()`. Never call `stop()`
// or destroy the Runtime from one of its own threads.
class Runtime {
 public:
  explicit Runtime(Executor mainExecutor, std::size_t threads = 2, std::size_t blockingThreads = 4);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& context() noexcept { return context_; }
  // The executor of the actors and I/O.
  Executor executor() noexcept { return context_.get_executor(); }
  // The executor of the application's model (the main actor).
  const Executor& mainExecutor() const noexcept { return mainExecutor_; }
  // The pool for blocking work; `blockingPoolOf` answers it for both executors above.
  BlockingPool& blocking() noexcept { return *blocking_; }
  // Steps 2 and 3 of the shutdown order above; idempotent.
  void stop();

 private:
  Executor mainExecutor_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::shared_ptr<BlockingPool> blocking_;
  std::vector<std::thread> threads_;
};

inline Strand makeStrand(const Executor& executor) { return asio::make_strand(executor); }

namespace detail {
// Carries a caller's cancellation over to the executor the awaited body runs on. Asio 1.22
// connects the caller's cancellation slot straight to the spawned coroutine, so a cancel emitted
// on the caller's strand would run the body's cancellation handlers (timers, parallel groups) on
// the caller's thread while the body's own strand may be installing them on another one. The
// relay emits its own signal on the body's executor instead.
struct CancellationRelay {
  explicit CancellationRelay(Executor target) : executor(std::move(target)) {}
  Executor executor;
  asio::cancellation_signal signal;  // emitted and bound on `executor` only
};
}  // namespace detail

// Runs `body` on `executor` (an actor's strand, or an executor served by one thread) and resumes
// the caller with its result or error. A cancellation of the caller reaches the body on
// `executor`, never from the caller's thread.
template <typename T>
Awaitable<T> runOn(Executor executor, Awaitable<T> body) {
  auto relay = std::make_shared<detail::CancellationRelay>(executor);
  asio::cancellation_state callerState = co_await asio::this_coro::cancellation_state;
  auto callerSlot = callerState.slot();
  if (callerSlot.is_connected()) {
    callerSlot.assign([relay](asio::cancellation_type type) {
      asio::dispatch(relay->executor, [relay, type] { relay->signal.emit(type); });
    });
  }
  // The relay leaves the caller's slot once the body has ended, whichever way it ended.
  auto token = asio::bind_cancellation_slot(relay->signal.slot(), asio::use_awaitable);
  try {
    if constexpr (std::is_void_v<T>) {
      co_await asio::co_spawn(executor, std::move(body), token);
      if (callerSlot.is_connected()) callerSlot.clear();
    } else {
      T value = co_await asio::co_spawn(executor, std::move(body), token);
      if (callerSlot.is_connected()) callerSlot.clear();
      co_return value;
    }
  } catch (...) {
    if (callerSlot.is_connected()) callerSlot.clear();
    throw;
  }
}

// Logs a task's stray exception (cancellation is not an error). Used by `spawnTask`.
void reportTaskFailure(const std::string& name, const std::exception_ptr& error) noexcept;

// When a started task takes its first step.
enum class TaskStart {
  // At once when the starter already runs on the task's executor (Asio's `co_spawn` enters the
  // body with `dispatch`), otherwise queued there.
  inPlace,
  // Only once the starter has returned, also on the task's own executor: the starter's next
  // lines, which may set what the task reads or wait for what it answers, come first. The
  // application's model starts its tasks on the main executor so.
  afterCaller,
};

namespace detail {
// Runs `start` on `executor`: at once (`TaskStart::inPlace`), or queued behind the caller. While
// queued it counts as outstanding work of the executor, so a loop that runs until its work has
// ended (the main loop's drain at quit) still starts it.
template <typename Start>
void startTask(const Executor& executor, TaskStart when, Start start) {
  if (when == TaskStart::inPlace) return start();
  asio::post(executor, [work = asio::prefer(executor, asio::execution::outstanding_work.tracked),
                        start = std::move(start)]() mutable { start(); });
}
}  // namespace detail

// Starts a fire-and-forget task; an exception that escapes it is logged, never swallowed.
template <typename T>
void spawnTask(Executor executor, Awaitable<T> body, std::string name, TaskStart when = TaskStart::inPlace) {
  auto start = [executor, body = std::move(body), name = std::move(name)]() mutable {
    if constexpr (std::is_void_v<T>) {
      asio::co_spawn(executor, std::move(body), [name = std::move(name)](std::exception_ptr e) {
        if (e) reportTaskFailure(name, e);
      });
    } else {
      asio::co_spawn(executor, std::move(body), [name = std::move(name)](std::exception_ptr e, T) {
        if (e) reportTaskFailure(name, e);
      });
    }
  };
  detail::startTask(executor, when, std::move(start));
}

// The cancelled flag of one task. A task checks its own token, never a flag of its owner, so a
// newer task in the same slot is not confused with an older, cancelled one.
class TaskToken {
 public:
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  bool isFinished() const noexcept { return finished_.load(std::memory_order_acquire); }
  void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
  // Throws `CancellationError` when the token was cancelled.
  void check() const {
    if (isCancelled()) throw CancellationError();
  }

 private:
  friend class TaskSlot;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
};
using TaskTokenPtr = std::shared_ptr<TaskToken>;

// A named slot for at most one cancellable task. All calls must be made on the slot's executor
// (the owning actor's strand); the task runs there too. Cancelling sets the task's token and
// cancels whatever it awaits.
class TaskSlot {
 public:
  explicit TaskSlot(Executor executor, std::string name = "task", TaskStart when = TaskStart::inPlace)
      : executor_(std::move(executor)), name_(std::move(name)), when_(when) {}
  ~TaskSlot() { cancel(); }
  TaskSlot(const TaskSlot&) = delete;
  TaskSlot& operator=(const TaskSlot&) = delete;

  // Cancels the current task, then starts `factory(token)`, which returns an Awaitable<void>.
  // The factory object is kept alive until the task ends, so a capturing coroutine lambda is safe.
  // The task counts as running from here on, also while its start is queued.
  template <typename Factory>
  TaskTokenPtr start(Factory&& factory) {
    cancel();
    auto token = std::make_shared<TaskToken>();
    auto signal = std::make_shared<asio::cancellation_signal>();
    token_ = token;
    signal_ = signal;
    auto holder = std::make_shared<std::decay_t<Factory>>(std::forward<Factory>(factory));
    detail::startTask(executor_, when_, [executor = executor_, holder, token, signal, name = name_] {
      asio::co_spawn(
          executor, [holder, token]() { return (*holder)(token); },
          asio::bind_cancellation_slot(signal->slot(), [token, signal, name](std::exception_ptr e) {
            token->finished_.store(true, std::memory_order_release);
            if (e) reportTaskFailure(name, e);
          }));
      // Cancelled while its start was queued: what it awaits first is cancelled as well.
      if (token->isCancelled()) signal->emit(asio::cancellation_type::all);
    });
    return token;
  }

  void cancel() {
    if (token_) token_->cancel();
    if (signal_ && token_ && !token_->isFinished()) {
      // The signal may only be emitted on the task's executor; dispatch runs it inline there.
      asio::dispatch(executor_, [signal = signal_] { signal->emit(asio::cancellation_type::all); });
    }
    token_.reset();
    signal_.reset();
  }

  // Forgets the current task without cancelling it (it keeps running to its end).
  void release() {
    token_.reset();
    signal_.reset();
  }

  bool isRunning() const noexcept { return token_ && !token_->isFinished(); }
  TaskTokenPtr token() const { return token_; }

 private:
  Executor executor_;
  std::string name_;
  TaskStart when_;
  TaskTokenPtr token_;
  std::shared_ptr<asio::cancellation_signal> signal_;
};

// Cancels whatever is bound to `signal`, with every cancellation type. For files that include Qt
// after this header, where Qt's `emit` macro hides the signal's member of that name.
inline void cancelAll(asio::cancellation_signal& signal) { signal.emit(asio::cancellation_type::all); }

// Throws `CancellationError` when the current coroutine has been asked to cancel.
Awaitable<void> checkCancellation();

// Suspends for `duration` of `VantrelClock`; throws `CancellationError` when cancelled meanwhile.
Awaitable<void> sleepFor(VantrelClock::duration duration);

// Throws what a race whose timer finished first means: `TimeoutError`, or `CancellationError`
// when the timer ended because the race was cancelled.
[[noreturn]] void raceLost(std::error_code timerError);

// Races `operation` against a timer: the first to finish (successfully or not) decides, and the
// other is cancelled and awaited. Throws `TimeoutError` when the timer wins, `CancellationError`
// when the caller cancels the race before the operation ends; the operation must honour
// per-operation cancellation.
template <typename T>
Awaitable<T> withTimeout(Awaitable<T> operation, VantrelClock::duration limit) {
  auto executor = co_await asio::this_coro::executor;
  Timer timer(executor, limit);
  if constexpr (std::is_void_v<T>) {
    auto [order, error, timerError] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, std::move(operation), asio::experimental::deferred),
            timer.async_wait(asio::experimental::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] != 0) raceLost(timerError);
    if (error) std::rethrow_exception(error);
    co_return;
  } else {
    auto [order, error, value, timerError] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, std::move(operation), asio::experimental::deferred),
            timer.async_wait(asio::experimental::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] != 0) raceLost(timerError);
    if (error) std::rethrow_exception(error);
    co_return std::move(value);
  }
}

// A one-shot result that several paths race to deliver; the first `resume` wins. It is the
// building block of waits that end by a reply, an error or a timer, whichever comes first.
template <typename T>
class OnceResume {
 public:
  bool resume(T value) {
    std::lock_guard lock(mutex_);
    if (value_) return false;
    value_.emplace(std::move(value));
    return true;
  }
  bool hasValue() const {
    std::lock_guard lock(mutex_);
    return value_.has_value();
  }
  std::optional<T> take() {
    std::lock_guard lock(mutex_);
    return std::move(value_);
  }

 private:
  mutable std::mutex mutex_;
  std::optional<T> value_;
};

}  // namespace vantrel
