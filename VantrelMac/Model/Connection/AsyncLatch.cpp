#include "Model/Connection/AsyncLatch.hpp"

#include <asio/redirect_error.hpp>

#include "Support/Outcome.hpp"

namespace vantrel {

AsyncLatch::AsyncLatch(const Executor& executor) : timer_(executor) {
  timer_.expires_at(VantrelClock::time_point::max());
}

void AsyncLatch::set() {
  if (set_) return;
  set_ = true;
  timer_.cancel();
}

Awaitable<void> AsyncLatch::waitFor(std::shared_ptr<AsyncLatch> latch) {
  if (!latch || latch->set_) co_return;
  std::error_code ignored;
  co_await latch->timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  // The timer never expires by itself: a wake without the latch set is the waiter's cancellation.
  if (!latch->set_) throw CancellationError();
}

Awaitable<void> settingWhenDone(std::shared_ptr<AsyncLatch> done, Awaitable<void> body) {
  const auto ended = co_await attempt(std::move(body));
  done->set();
  ended.value();
}

}  // namespace vantrel
