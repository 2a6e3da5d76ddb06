#pragma once

// The calendar clock, for what is stored or shown as a date (the last update check, log line
// stamps, event times). Intervals and timers use the steady `VantrelClock` instead. Whoever needs
// the date takes a `WallClock` from its owner, so a test fixes the date by handing in its own.

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>

namespace vantrel {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// The system's own calendar clock.
WallClock systemWallClock();

// Seconds held as a number (read from a file or a setting) as a `Duration`, rounded to its
// nearest tick. A number beyond what `Duration` can hold (1e308, an infinity, an expiry ten
// thousand years away in nanoseconds) becomes its largest or smallest value instead of
// overflowing the conversion; NaN is no time at all (nullopt).
template <typename Duration>
std::optional<Duration> durationFromSeconds(double seconds) {
  using Rep = typename Duration::rep;
  using Period = typename Duration::period;
  static_assert(std::is_integral_v<Rep> && std::is_signed_v<Rep>, "a duration counted in whole signed ticks");
  if (std::isnan(seconds)) return std::nullopt;
  const double ticks =
      std::nearbyint(seconds * static_cast<double>(Period::den) / static_cast<double>(Period::num));
  // 2^digits is one past the largest count and exactly a double (the largest count is not); its
  // negative is the smallest count.
  const double bound = std::ldexp(1.0, std::numeric_limits<Rep>::digits);
  if (ticks >= bound) return Duration::max();
  if (ticks <= -bound) return Duration::min();
  return Duration(static_cast<Rep>(ticks));
}

// Seconds since the Unix epoch as a date, clamped as `durationFromSeconds` does.
inline std::optional<std::chrono::system_clock::time_point> dateFromSeconds(double unixSeconds) {
  const auto since = durationFromSeconds<std::chrono::system_clock::duration>(unixSeconds);
  if (!since) return std::nullopt;
  return std::chrono::system_clock::time_point(*since);
}

}  // namespace vantrel
