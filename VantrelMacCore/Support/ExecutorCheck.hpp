#pragma once

// The thread a piece of code runs on is part of its contract. Entry points that must run on one
// executor (the main executor of the windows, a strand) say so once with `VANTREL_EXPECT_ON`; in
// debug builds a call from another thread stops the program with the function's name, so a
// wrong-thread call is found by the first test that makes it instead of by a rare race.

#include <asio/any_io_executor.hpp>

#include <functional>
#include <typeindex>

namespace vantrel {

using Executor = asio::any_io_executor;

// True when the calling thread is running `executor`'s handlers, as far as the executor's type
// can tell: io_context executors and strands answer by themselves; other types answer through a
// probe registered for their type; a type nobody knows is given the benefit of the doubt.
bool runsOnThisThread(const Executor& executor) noexcept;

// Teaches `runsOnThisThread` an executor type of a layer above (the Qt main executor).
void registerExecutorThreadProbe(std::type_index type, std::function<bool(const Executor&)> probe);

namespace executor_check_detail {
[[noreturn]] void wrongThread(const char* function, const char* file, int line) noexcept;
}  // namespace executor_check_detail

}  // namespace vantrel

#ifdef NDEBUG
#define VANTREL_EXPECT_ON(executor) ((void)0)
#else
#define VANTREL_EXPECT_ON(executor)                                                \
  do {                                                                             \
    if (!::vantrel::runsOnThisThread(executor))                                    \
      ::vantrel::executor_check_detail::wrongThread(__func__, __FILE__, __LINE__); \
  } while (false)
#endif
