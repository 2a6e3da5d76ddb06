#pragma once

// Blocking work (file I/O, key derivation, round trips to the X server, curl transfers, waiting
// for a child process) runs on one small pool of threads, never on a strand or the main
// executor. A coroutine awaits it with `runBlocking` and resumes on its own executor.

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "Support/Async.hpp"

namespace vantrel {

// A fixed set of threads that run posted functions in order of posting.
class BlockingPool {
 public:
  explicit BlockingPool(std::size_t threads = 2);
  // Stops and joins.
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Queues `fn` (move-only functions are welcome). Returns false, and destroys `fn` unrun, once
  // the pool is stopping.
  template <typename F>
  bool post(F fn) {
    if constexpr (std::is_copy_constructible_v<F>) {
      return enqueue(std::function<void()>(std::move(fn)));
    } else {
      auto holder = std::make_shared<F>(std::move(fn));
      return enqueue([holder] { (*holder)(); });
    }
  }

  // Takes no more work, destroys the queued functions that have not begun, waits for the running
  // ones and joins the threads. Idempotent; callable from any thread, a pool thread included
  // (which is then left to end by itself).
  void stop();

  // True once `stop` has begun: long functions poll it to end early.
  bool stopRequested() const noexcept { return stopping_.load(std::memory_order_acquire); }

 private:
  bool enqueue(std::function<void()> job);
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stopping_{false};
};

// The pool that serves blocking work awaited on `executor`: the `Runtime`'s when the executor
// belongs to one (its own context or its main executor's), else a pool the executor's context
// owns, made on first use. Either way the pool is stopped when that context shuts down, before
// the handlers still queued in it are destroyed, so no pool thread posts into a dead context.
BlockingPool& blockingPoolOf(const Executor& executor);

// Makes `pool` the one `blockingPoolOf` answers for executors of `context` (unless that context
// already has one) and stops it when the context shuts down. Used by `Runtime`.
void adoptBlockingPool(asio::execution_context& context, std::shared_ptr<BlockingPool> pool);

// Where blocking work is queued: a pool's `post` (`queueOn`), or, in a test, a queue the test runs
// itself when it chooses. Returns false, destroying the job unrun, when it takes no more work.
using BlockingQueue = std::function<bool(std::function<void()>)>;

inline BlockingQueue queueOn(BlockingPool& pool) {
  return [&pool](std::function<void()> job) { return pool.post(std::move(job)); };
}

// What a cancellation of the awaiting operation does to blocking work that has begun.
struct BlockingCancellation {
  // Resume the caller at once with `CancellationError`; the function runs to its end and its
  // result is dropped.
  bool abandon = false;
  // Otherwise, if set, called (on the caller's executor) to make the function end early; the
  // caller then awaits its result as usual. Neither: the cancellation is ignored.
  std::function<void()> interrupt;
};

namespace blocking_detail {

template <typename F>
using Value = std::invoke_result_t<F&>;

template <typename F>
using Signature = std::conditional_t<std::is_void_v<Value<F>>, void(std::exception_ptr),
                                     void(std::exception_ptr, std::optional<Value<F>>)>;

// Runs `*work` through `queue` and completes `handler` on its associated executor with the
// function's result or error. The work is tracked on that executor until the handler has run,
// and the pool thread keeps nothing of the caller's once it has posted the completion. A queue
// that refuses the job completes with `CancellationError` without running the function. An
// empty `queue` is the pool of the handler's executor.
template <typename F, typename Handler>
void start(BlockingQueue queue, std::shared_ptr<F> work, BlockingCancellation onCancel, Handler handler) {
  using Tracked = std::decay_t<decltype(asio::prefer(asio::get_associated_executor(handler),
                                                     asio::execution::outstanding_work.tracked))>;
  struct State {
    std::mutex mutex;
    std::optional<Handler> handler;
    std::optional<Tracked> executor;
  };
  auto slot = asio::get_associated_cancellation_slot(handler);
  auto state = std::make_shared<State>();
  state->executor.emplace(
      asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked));
  if (!queue) queue = queueOn(blockingPoolOf(*state->executor));
  state->handler.emplace(std::move(handler));

  // Whoever comes first takes the handler and the tracked executor out of the state and posts
  // the completion; the other finds nothing left to do.
  auto complete = [state, slot](auto... args) mutable {
    std::unique_lock lock(state->mutex);
    if (!state->handler) return;
    auto target = std::move(*state->executor);
    auto handler = std::move(*state->handler);
    state->handler.reset();
    state->executor.reset();
    lock.unlock();
    auto untracked = asio::prefer(target, asio::execution::outstanding_work.untracked);
    asio::post(untracked, [handler = std::move(handler), target = std::move(target), slot,
                           ... args = std::move(args)]() mutable {
      if (slot.is_connected()) slot.clear();
      std::move(handler)(std::move(args)...);
    });
  };
  auto cancelled = [complete]() mutable {
    if constexpr (std::is_void_v<Value<F>>) {
      complete(std::make_exception_ptr(CancellationError()));
    } else {
      complete(std::make_exception_ptr(CancellationError()), std::optional<Value<F>>());
    }
  };

  if (onCancel.abandon && slot.is_connected()) {
    slot.assign([cancelled](asio::cancellation_type) mutable { cancelled(); });
  } else if (onCancel.interrupt && slot.is_connected()) {
    slot.assign([interrupt = std::move(onCancel.interrupt)](asio::cancellation_type) { interrupt(); });
  }
  const bool queued = queue([work = std::move(work), complete]() mutable {
    std::exception_ptr error;
    if constexpr (std::is_void_v<Value<F>>) {
      try {
        (*work)();
      } catch (...) {
        error = std::current_exception();
      }
      work.reset();  // the function's captures go before the caller can resume
      complete(error);
    } else {
      std::optional<Value<F>> value;
      try {
        value.emplace((*work)());
      } catch (...) {
        error = std::current_exception();
      }
      work.reset();
      complete(error, std::move(value));
    }
  });
  if (!queued) cancelled();
}

}  // namespace blocking_detail

// Runs `*work` on `pool` (null: the pool of the awaiting coroutine's executor; `awaitBlockingOn`:
// through `queue`) and resumes the
// awaiting coroutine on its own executor: with the function's value as an optional (always set
// on success), or by rethrowing its error. `onCancel` says what a cancellation does meanwhile. The
// work is tracked on the caller's executor until it resumes; a stopping pool resumes it with
// `CancellationError` without running the function.
template <typename F>
auto awaitBlockingOn(BlockingQueue queue, std::shared_ptr<F> work, BlockingCancellation onCancel) {
  return asio::async_initiate<decltype(asio::use_awaitable), blocking_detail::Signature<F>>(
      [queue = std::move(queue)](auto handler, std::shared_ptr<F> w, BlockingCancellation c) mutable {
        blocking_detail::start(std::move(queue), std::move(w), std::move(c), std::move(handler));
      },
      asio::use_awaitable, std::move(work), std::move(onCancel));
}

template <typename F>
auto awaitBlocking(BlockingPool* pool, std::shared_ptr<F> work, BlockingCancellation onCancel) {
  return awaitBlockingOn(pool ? queueOn(*pool) : BlockingQueue(), std::move(work), std::move(onCancel));
}

// As `runBlocking`, but the awaiting coroutine waits for the function's end even when it is
// cancelled (for work whose effects the caller must not overlap: a file being written, a capture
// thread being joined). `pool` null means the pool of the awaiting coroutine's executor. The
// function comes on the heap: a shared pointer survives g++ 12's bytewise moves of coroutine
// temporaries, which break objects that point into themselves.
template <typename F>
Awaitable<blocking_detail::Value<F>> runBlockingToEnd(BlockingPool* pool, std::shared_ptr<F> work) {
  if constexpr (std::is_void_v<blocking_detail::Value<F>>) {
    co_await awaitBlocking(pool, std::move(work), BlockingCancellation{});
  } else {
    auto value = co_await awaitBlocking(pool, std::move(work), BlockingCancellation{});
    co_return std::move(*value);
  }
}

// Runs `fn` on `pool` and resumes the awaiting coroutine on its own executor with the result,
// rethrowing the function's exception. Cancelling the awaiting coroutine resumes it at once with
// `CancellationError`; the function runs to its end and its result is dropped, so it must own
// everything it touches (capture by value).
template <typename F, typename R = std::invoke_result_t<F&>>
Awaitable<R> runBlocking(BlockingPool& pool, F fn) {
  // The function goes to the heap before the first suspension: g++ 12 moves coroutine
  // temporaries bytewise, which breaks objects that point into themselves.
  auto work = std::make_shared<F>(std::move(fn));
  if constexpr (std::is_void_v<R>) {
    co_await awaitBlocking(&pool, std::move(work), BlockingCancellation{true, {}});
  } else {
    auto value = co_await awaitBlocking(&pool, std::move(work), BlockingCancellation{true, {}});
    co_return std::move(*value);
  }
}

}  // namespace vantrel
