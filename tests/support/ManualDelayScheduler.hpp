#pragma once

// Delays driven by the manual clock: blocks run when the test has moved time past their due time.

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "Model/Status/DelayScheduler.hpp"
#include "Support/Clock.hpp"

namespace vantrel::testing {

class ManualDelayScheduler final : public DelayScheduler {
 public:
  explicit ManualDelayScheduler(ManualClock& clock) : clock_(clock) {}

  void schedule(std::chrono::milliseconds delay, std::function<void()> block) override {
    pending_.push_back({clock_.now() + delay, order_++, std::move(block)});
  }
  VantrelClock::time_point now() const override { return clock_.now(); }

  // Moves time and runs every block that has come due, in due order.
  void advance(VantrelClock::duration by) {
    clock_.advance(by);
    for (;;) {
      auto due = std::min_element(pending_.begin(), pending_.end(), [](const Entry& a, const Entry& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      if (due == pending_.end() || due->due > clock_.now()) return;
      auto block = std::move(due->block);
      pending_.erase(due);
      block();
    }
  }
  std::size_t pending() const noexcept { return pending_.size(); }

 private:
  struct Entry {
    VantrelClock::time_point due;
    unsigned long order;
    std::function<void()> block;
  };
  ManualClock& clock_;
  std::vector<Entry> pending_;
  unsigned long order_ = 0;
};

}  // namespace vantrel::testing
