#include "Support/Async.hpp"

#include <asio/execution/context.hpp>
#include <asio/post.hpp>
#include <asio/query.hpp>
#include <asio/redirect_error.hpp>

#include <condition_variable>
#include <mutex>
#include <system_error>

#include "Support/Blocking.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {

bool isCancellation(const std::exception_ptr& error) noexcept {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const CancellationError&) {
    return true;
  } catch (const std::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

Runtime::Runtime(Executor mainExecutor, std::size_t threads, std::size_t blockingThreads)
    : mainExecutor_(std::move(mainExecutor)),
      guard_(asio::make_work_guard(context_)),
      blocking_(std::make_shared<BlockingPool>(blockingThreads)) {
  adoptBlockingPool(context_, blocking_);
  adoptBlockingPool(asio::query(mainExecutor_, asio::execution::context), blocking_);
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this] { context_.run(); });
  }
}

Runtime::~Runtime() { stop(); }

void Runtime::stop() {
  if (!threads_.empty() && !context_.stopped()) {
    // Everything queued before this marker has been taken up by a thread once it runs.
    std::mutex mutex;
    std::condition_variable changed;
    bool reached = false;
    asio::post(context_, [&] {
      std::lock_guard lock(mutex);
      reached = true;
      changed.notify_all();
    });
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return reached; });
  }
  guard_.reset();
  context_.stop();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
  blocking_->stop();
}

void reportTaskFailure(const std::string& name, const std::exception_ptr& error) noexcept {
  if (isCancellation(error)) return;
  try {
    SystemLog("local.vantrel.VantrelMac", "runtime")
        .error("task '{}' ended with an error: {}", name, localizedDescription(error));
  } catch (...) {
  }
}

void raceLost(std::error_code timerError) {
  if (timerError) throw CancellationError();
  throw TimeoutError();
}

Awaitable<void> checkCancellation() {
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw CancellationError();
}

Awaitable<void> sleepFor(VantrelClock::duration duration) {
  Timer timer(co_await asio::this_coro::executor, duration);
  std::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (ec == asio::error::operation_aborted) throw CancellationError();
  if (ec) throw std::system_error(ec);
}

}  // namespace vantrel
