#pragma once

// Small task helpers of the status model: a latch that coroutines can await, and the change
// subscription list.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "Support/Async.hpp"
#include "Support/Clock.hpp"

namespace vantrel {

// Set once; every waiter resumes when it is set. A waiter that is cancelled before that throws
// `CancellationError`. Used only on the executor it was made with.
class AsyncLatch {
 public:
  explicit AsyncLatch(const Executor& executor);
  void set();
  bool isSet() const noexcept { return set_; }
  // Returns at once when set; the latch must be kept alive by the caller (see `waitFor`).
  static Awaitable<void> waitFor(std::shared_ptr<AsyncLatch> latch);

 private:
  Timer timer_;
  bool set_ = false;
};

// Runs `body` and sets `done` however it ends, so that whoever waits for the task resumes.
Awaitable<void> settingWhenDone(std::shared_ptr<AsyncLatch> done, Awaitable<void> body);

// Subscribers of a change signal; a subscriber removed while a notification runs is not called
// afterwards.
template <typename Field>
class ChangeSignal {
 public:
  using Handler = std::function<void(Field)>;
  std::uint64_t subscribe(Handler handler) {
    const auto id = ++lastId_;
    handlers_->emplace(id, std::make_shared<Handler>(std::move(handler)));
    return id;
  }
  void unsubscribe(std::uint64_t id) { handlers_->erase(id); }
  void notify(Field field) const {
    const auto list = handlers_;  // keeps the map alive while handlers change it
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Handler>>> snapshot(list->begin(), list->end());
    for (const auto& [id, handler] : snapshot) {
      if (list->count(id) != 0) (*handler)(field);
    }
  }
  std::size_t size() const noexcept { return handlers_->size(); }

 private:
  std::shared_ptr<std::map<std::uint64_t, std::shared_ptr<Handler>>> handlers_ =
      std::make_shared<std::map<std::uint64_t, std::shared_ptr<Handler>>>();
  std::uint64_t lastId_ = 0;
};

}  // namespace vantrel
