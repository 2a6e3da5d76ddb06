#include "support/HoldGate.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>

namespace vantrel::testing {

void HoldGate::hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void HoldGate::release() {
  std::vector<std::shared_ptr<Timer>> waits;
  {
    std::lock_guard lock(mutex_);
    held_ = false;
    waits.swap(waits_);
  }
  for (auto& wait : waits) asio::post(wait->get_executor(), [wait] { wait->cancel(); });
}

Awaitable<void> HoldGate::pass() {
  auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<Timer> wait;
  {
    std::lock_guard lock(mutex_);
    if (!held_) co_return;
    wait = std::make_shared<Timer>(executor);
    wait->expires_at(VantrelClock::time_point::max());
    waits_.push_back(wait);
    ++waiting_;
  }
  std::error_code ec;
  co_await wait->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  std::lock_guard lock(mutex_);
  --waiting_;
}

int HoldGate::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace vantrel::testing
