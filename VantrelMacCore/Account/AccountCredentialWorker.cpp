#include "Account/AccountCredentialWorker.hpp"

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>

#include <thread>

namespace vantrel {

Awaitable<void> AccountCredentialWorker::runDetached(std::function<void()> work) {
  // No cancellation slot is connected: the work always runs to its end, like a detached task.
  // Not a coroutine: the returned operation owns the work.
  return asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(
      [work = std::move(work)](auto handler) mutable {
        auto executor =
            asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
        std::thread([work = std::move(work), handler = std::move(handler),
                     executor = std::move(executor)]() mutable {
          std::exception_ptr error;
          try {
            work();
          } catch (...) {
            error = std::current_exception();
          }
          work = nullptr;  // the operation's captures go before the caller can resume
          // Post through an untracked copy and carry the tracked one into the handler: once the
          // handler has run the caller may tear the executor's context down, and this thread
          // must no longer hold anything that refers to it.
          auto untracked = asio::prefer(executor, asio::execution::outstanding_work.untracked);
          asio::post(untracked, [handler = std::move(handler), error,
                                 executor = std::move(executor)]() mutable { std::move(handler)(error); });
        }).detach();
      },
      asio::use_awaitable);
}

}  // namespace vantrel
