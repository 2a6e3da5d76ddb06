#pragma once

// Runs a blocking function (a round trip to the X server, joining the capture thread) on a
// thread of its own and resumes the awaiting coroutine on its executor with the result, so that
// no strand is ever blocked. Meant for short, rare calls; each call has its own thread.

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <exception>
#include <memory>
#include <thread>
#include <type_traits>

#include "Support/Async.hpp"

namespace vantrel::screen_detail {

// The result type of a blocking call: the function's own, or bool for a void function.
template <typename Function>
using BlockingResult =
    std::conditional_t<std::is_void_v<std::invoke_result_t<Function>>, bool, std::invoke_result_t<Function>>;

// Not a coroutine itself; it copies the function to the heap. Callers pass a named local, never a
// temporary lambda (docs/coroutine-rules.md, rule 4).
template <typename Function>
Awaitable<BlockingResult<Function>> runBlockingCall(const Function& function) {
  using Result = BlockingResult<Function>;
  static_assert(std::is_default_constructible_v<Result>);
  auto work = std::make_shared<Function>(function);
  return asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, Result)>(
      [work](auto handler) {
        auto executor = asio::get_associated_executor(handler);
        auto guard = asio::make_work_guard(executor);
        std::thread([handler = std::move(handler), work, guard = std::move(guard)]() mutable {
          std::exception_ptr error;
          Result value{};
          try {
            if constexpr (std::is_void_v<std::invoke_result_t<Function>>) {
              (*work)();
              value = true;
            } else {
              value = (*work)();
            }
          } catch (...) {
            error = std::current_exception();
          }
          // After the post this thread touches nothing of the caller's: the function object and
          // the work guard travel with the completion and end on the caller's executor.
          auto target = guard.get_executor();
          asio::post(std::move(target), [handler = std::move(handler), error, value = std::move(value),
                                         guard = std::move(guard), work = std::move(work)]() mutable {
            work.reset();
            std::move(handler)(error, std::move(value));
            guard.reset();
          });
        }).detach();
      },
      asio::use_awaitable);
}

}  // namespace vantrel::screen_detail
