#pragma once

#include <exception>
#include <functional>
#include <memory>
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
  requires std::is_void_v<std::invoke_result_t<Operation&>>
  static Awaitable<void> run(Operation operation) {
    co_await checkCancellation();
    co_await runDetached(std::function<void()>(std::move(operation)));
    co_await checkCancellation();
  }

  template <typename Operation, typename Result = std::invoke_result_t<Operation&>>
  requires(!std::is_void_v<Result>) static Awaitable<Result> run(Operation operation) {
    co_await checkCancellation();
    // The result lives outside the coroutine frame until the worker has finished with it.
    auto slot = std::make_shared<std::optional<Result>>();
    std::function<void()> work = [op = std::move(operation), slot]() mutable { slot->emplace(op()); };
    co_await runDetached(std::move(work));
    co_await checkCancellation();
    Result value = std::move(**slot);
    co_return value;
  }

 private:
  static Awaitable<void> runDetached(std::function<void()> work);
};

}  // namespace vantrel
