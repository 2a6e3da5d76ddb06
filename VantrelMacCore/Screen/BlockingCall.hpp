#pragma once

// Runs a blocking function (a round trip to the X server, joining the capture thread) on the
// blocking pool of the awaiting coroutine's executor and resumes the coroutine there with the
// result, so that no strand is ever blocked. The call always runs to its end, even when the
// caller is cancelled meanwhile: a capture being started or stopped must not overlap the next.

#include <memory>
#include <type_traits>

#include "Support/Blocking.hpp"

namespace vantrel::screen_detail {

// The result type of a blocking call: the function's own, or bool for a void function.
template <typename Function>
using BlockingResult =
    std::conditional_t<std::is_void_v<std::invoke_result_t<Function>>, bool, std::invoke_result_t<Function>>;

// Not a coroutine itself; it copies the function to the heap. Callers pass a named local, never a
// temporary lambda (docs/coroutine-rules.md, rule 4).
template <typename Function>
Awaitable<BlockingResult<Function>> runBlockingCall(const Function& function) {
  auto call = [work = std::make_shared<Function>(function)]() -> BlockingResult<Function> {
    if constexpr (std::is_void_v<std::invoke_result_t<Function>>) {
      (*work)();
      return true;
    } else {
      return (*work)();
    }
  };
  return runBlockingToEnd(nullptr, std::make_shared<decltype(call)>(std::move(call)));
}

}  // namespace vantrel::screen_detail
