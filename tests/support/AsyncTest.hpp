#pragma once

// Helpers to drive coroutines to completion inside a test.

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "Support/Async.hpp"

namespace vantrel::testing {

// A generous real-time guard so that a broken test fails instead of hanging; never a timing
// assertion.
inline constexpr std::chrono::seconds hangGuard{60};

// Runs `io` until `done()` is true. Returns false when the io_context ran out of work or the
// hang guard passed first.
bool runUntil(asio::io_context& io, const std::function<bool()>& done);

// Runs ready handlers (including timers a manual clock has made due) until nothing is ready.
void drain(asio::io_context& io);

// Makes `call` on the loop, as a handler of `io` (after the handlers already ready), for entry
// points that check they run on their executor.
void runOnLoop(asio::io_context& io, const std::function<void()>& call);

// Spawns the awaitable on `executor` (which must belong to `io`), runs `io` until it finishes
// and returns its result or rethrows its exception.
template <typename T>
T runAwaitable(asio::io_context& io, Executor executor, Awaitable<T> awaitable) {
  std::exception_ptr error;
  bool finished = false;
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(executor, std::move(awaitable), [&](std::exception_ptr e) {
      error = e;
      finished = true;
    });
    if (!runUntil(io, [&] { return finished; })) throw std::runtime_error("awaitable did not finish");
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> result;
    asio::co_spawn(executor, std::move(awaitable), [&](std::exception_ptr e, T value) {
      error = e;
      if (!e) result.emplace(std::move(value));
      finished = true;
    });
    if (!runUntil(io, [&] { return finished; })) throw std::runtime_error("awaitable did not finish");
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

template <typename T>
T runAwaitable(asio::io_context& io, Awaitable<T> awaitable) {
  return runAwaitable<T>(io, io.get_executor(), std::move(awaitable));
}

// Calls `f` from a handler of `io`, as the program calls an object that lives on its executor,
// and returns what `f` returns. Handlers that are already ready run first.
template <typename F>
std::invoke_result_t<F&> callOn(asio::io_context& io, F f) {
  using R = std::invoke_result_t<F&>;
  bool finished = false;
  if constexpr (std::is_void_v<R>) {
    asio::post(io, [&] {
      f();
      finished = true;
    });
    if (!runUntil(io, [&] { return finished; })) throw std::runtime_error("call did not run");
  } else {
    std::optional<R> result;
    asio::post(io, [&] {
      result.emplace(f());
      finished = true;
    });
    if (!runUntil(io, [&] { return finished; })) throw std::runtime_error("call did not run");
    return std::move(*result);
  }
}

// Runs the awaitable on an executor served by other threads (a `Runtime`) and blocks until it
// finishes.
template <typename T>
T blockOn(Executor executor, Awaitable<T> awaitable) {
  auto future = asio::co_spawn(std::move(executor), std::move(awaitable), asio::use_future);
  if (future.wait_for(hangGuard) != std::future_status::ready) {
    throw std::runtime_error("awaitable did not finish");
  }
  return future.get();
}

// Runs `io` on the test thread until the predicate holds, then returns the captured error of an
// awaitable started with `startTask` (a convenience for tests that watch a task while moving a
// manual clock).
class TaskProbe {
 public:
  template <typename T>
  void start(Executor executor, Awaitable<T> awaitable) {
    finished_ = false;
    error_ = nullptr;
    if constexpr (std::is_void_v<T>) {
      asio::co_spawn(executor, std::move(awaitable), [this](std::exception_ptr e) {
        error_ = e;
        finished_ = true;
      });
    } else {
      asio::co_spawn(executor, std::move(awaitable), [this](std::exception_ptr e, T) {
        error_ = e;
        finished_ = true;
      });
    }
  }
  bool finished() const noexcept { return finished_; }
  std::exception_ptr error() const noexcept { return error_; }

 private:
  bool finished_ = false;
  std::exception_ptr error_;
};

}  // namespace vantrel::testing
