#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/basic_waitable_timer.hpp>

#include <chrono>

namespace vantrel {

// The steady clock behind every interval, uptime and timer of the system. In production it is
// the monotonic clock; a test installs a `ManualClock` and moves time by hand, so delays such as
// 120 ms or a 30 s back-off are exercised exactly and without sleeping.
struct VantrelClock {
  using duration = std::chrono::steady_clock::duration;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<VantrelClock, duration>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept;
  static bool isManual() noexcept;
};

// While a manual clock is installed the reactor wakes up often, so that timers notice time that
// was moved by hand; otherwise waits are as long as the timer asks.
struct VantrelWaitTraits {
  static VantrelClock::duration to_wait_duration(const VantrelClock::duration& d);
  static VantrelClock::duration to_wait_duration(const VantrelClock::time_point& t);
};

using Timer = asio::basic_waitable_timer<VantrelClock, VantrelWaitTraits, asio::any_io_executor>;

// Seconds since an arbitrary fixed start, as a double (the system's "uptime").
double systemUptimeSeconds() noexcept;

// Replaces the real clock for as long as it lives (one at a time, tests only). Time starts at a
// fixed non-zero point and moves only through `advance`.
class ManualClock {
 public:
  ManualClock();
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  VantrelClock::time_point now() const noexcept;
  void advance(VantrelClock::duration by) noexcept;
};

}  // namespace vantrel
