#include "Support/Clock.hpp"

#include <atomic>
#include <cassert>

namespace vantrel {
namespace {
std::atomic<bool> manualActive{false};
std::atomic<VantrelClock::rep> manualTicks{0};

constexpr auto manualStart = std::chrono::hours(1000);
constexpr auto manualPoll = std::chrono::milliseconds(1);
}  // namespace

VantrelClock::time_point VantrelClock::now() noexcept {
  if (manualActive.load(std::memory_order_acquire)) {
    return time_point(duration(manualTicks.load(std::memory_order_acquire)));
  }
  return time_point(std::chrono::steady_clock::now().time_since_epoch());
}

bool VantrelClock::isManual() noexcept { return manualActive.load(std::memory_order_acquire); }

VantrelClock::duration VantrelWaitTraits::to_wait_duration(const VantrelClock::duration& d) {
  if (VantrelClock::isManual()) return std::min<VantrelClock::duration>(d, manualPoll);
  return d;
}

VantrelClock::duration VantrelWaitTraits::to_wait_duration(const VantrelClock::time_point& t) {
  const auto now = VantrelClock::now();
  VantrelClock::duration remaining = t > now ? t - now : VantrelClock::duration::zero();
  if (VantrelClock::isManual()) return std::min<VantrelClock::duration>(remaining, manualPoll);
  return remaining;
}

double systemUptimeSeconds() noexcept {
  return std::chrono::duration<double>(VantrelClock::now().time_since_epoch()).count();
}

ManualClock::ManualClock() {
  manualTicks.store(std::chrono::duration_cast<VantrelClock::duration>(manualStart).count(),
                    std::memory_order_release);
  [[maybe_unused]] const bool wasActive = manualActive.exchange(true, std::memory_order_acq_rel);
  assert(!wasActive && "only one ManualClock at a time");
}

ManualClock::~ManualClock() { manualActive.store(false, std::memory_order_release); }

VantrelClock::time_point ManualClock::now() const noexcept { return VantrelClock::now(); }

void ManualClock::advance(VantrelClock::duration by) noexcept {
  manualTicks.fetch_add(by.count(), std::memory_order_acq_rel);
}

}  // namespace vantrel
