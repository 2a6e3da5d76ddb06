#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <type_traits>

#include "Support/Async.hpp"

namespace vantrel {

// Runs blocking credential work (file I/O, key derivation) off the caller's executor.
class AccountCredentialWorker {
 public:
  // Checks for cancellation, runs `operation` on a thread of its own, awaits it (rethrowing its
  // error) and checks for cancellation once more. The operation is not interrupted by a
  // cancellation that arrives while it runs: it finishes, and then the caller sees
  // `CancellationError`.
  template <typename Operation>
  static Awaitable<std::invoke_result_t<Operation&>> run(Operation operation) {
    using Result = std::invoke_result_t<Operation&>;
    co_await checkCancellation();
    if constexpr (std::is_void_v<Result>) {
      co_await runDetached([op = std::move(operation)]() mutable { op(); });
      co_await checkCancellation();
    } else {
      auto result = std::make_shared<std::optional<Result>>();
      co_await runDetached([op = std::move(operation), result]() mutable { result->emplace(op()); });
      co_await checkCancellation();
      co_return std::move(**result);
    }
  }

 private:
  static Awaitable<void> runDetached(std::function<void()> work);
};

}  // namespace vantrel
