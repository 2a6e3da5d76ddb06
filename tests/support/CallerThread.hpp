#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "support/AsyncTest.hpp"

namespace vantrel::testing {

// A long-lived thread that makes one call at a time, as each of a session's io threads does.
// A call that does not return within the hang guard is reported as nullopt; the thread is then
// left to itself (it cannot be joined) and keeps what the call holds.
class CallerThread {
 public:
  CallerThread() : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_] {
      std::unique_lock lock(state->mutex);
      for (;;) {
        state->wake.wait(lock, [&] { return state->stopping || state->call; });
        if (!state->call) return;
        auto call = std::move(state->call);
        state->call = nullptr;
        lock.unlock();
        call();
        lock.lock();
      }
    });
  }
  ~CallerThread() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
    }
    state_->wake.notify_one();
    if (hung_) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  CallerThread(const CallerThread&) = delete;
  CallerThread& operator=(const CallerThread&) = delete;

  std::optional<bool> run(std::function<bool()> call) {
    auto task = std::make_shared<std::packaged_task<bool()>>(std::move(call));
    auto answer = task->get_future();
    {
      std::lock_guard lock(state_->mutex);
      state_->call = [task] { (*task)(); };
    }
    state_->wake.notify_one();
    if (answer.wait_for(hangGuard) != std::future_status::ready) {
      hung_ = true;
      return std::nullopt;
    }
    return answer.get();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> call;
    bool stopping = false;
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
  bool hung_ = false;
};

}  // namespace vantrel::testing
