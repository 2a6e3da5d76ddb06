#pragma once

#include <memory>
#include <type_traits>

#include "Support/Async.hpp"
#include "Support/Blocking.hpp"

namespace vantrel {

// Runs blocking credential work (file I/O, key derivation) off the caller's executor, on the
// blocking pool of that executor.
class AccountCredentialWorker {
 public:
  // Checks for cancellation, runs `operation` on the pool, awaits it (rethrowing its error) and
  // checks for cancellation once more. The operation is not interrupted by a cancellation that
  // arrives while it runs: it finishes, and then the caller sees `CancellationError`.
  template <typename Operation, typename Result = std::invoke_result_t<Operation&>>
  static Awaitable<Result> run(Operation operation) {
    co_await checkCancellation();
    auto work = std::make_shared<Operation>(std::move(operation));
    if constexpr (std::is_void_v<Result>) {
      co_await runBlockingToEnd(nullptr, work);
      co_await checkCancellation();
    } else {
      Result value = co_await runBlockingToEnd(nullptr, work);
      co_await checkCancellation();
      co_return value;
    }
  }
};

}  // namespace vantrel
