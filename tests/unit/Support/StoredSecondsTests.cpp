#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "Support/WallClock.hpp"

namespace vantrel {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using Date = std::chrono::system_clock::time_point;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// 2^63 nanoseconds in seconds: one past the largest count of a 64-bit nanosecond clock.
const double pastNanoseconds = std::ldexp(1.0, 63) / 1e9;

struct SecondsCase {
  const char* what;
  double seconds;
  std::optional<nanoseconds> expected;
};

class SecondsAsNanoseconds : public ::testing::TestWithParam<SecondsCase> {};

TEST_P(SecondsAsNanoseconds, ClampToTheRepresentableRangeAndRefuseNaN) {
  EXPECT_EQ(durationFromSeconds<nanoseconds>(GetParam().seconds), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    StoredSeconds, SecondsAsNanoseconds,
    ::testing::Values(
        SecondsCase{"zero", 0.0, nanoseconds(0)}, SecondsCase{"negative zero", -0.0, nanoseconds(0)},
        SecondsCase{"a fraction", 1.5, nanoseconds(1'500'000'000)},
        SecondsCase{"negative", -2.25, nanoseconds(-2'250'000'000)},
        SecondsCase{"half a nanosecond rounds to even", 0.5e-9, nanoseconds(0)},
        SecondsCase{"NaN", nan, std::nullopt}, SecondsCase{"infinity", inf, nanoseconds::max()},
        SecondsCase{"minus infinity", -inf, nanoseconds::min()},
        SecondsCase{"1e308", 1e308, nanoseconds::max()}, SecondsCase{"-1e308", -1e308, nanoseconds::min()},
        SecondsCase{"a resume expiry of 9e9 s after 2001", 9e9 + 978307200.0, nanoseconds::max()},
        SecondsCase{"one past the largest count", pastNanoseconds, nanoseconds::max()},
        SecondsCase{"the largest double below it", std::nextafter(pastNanoseconds, 0.0),
                    nanoseconds(static_cast<std::int64_t>(std::nextafter(pastNanoseconds, 0.0) * 1e9))},
        SecondsCase{"the smallest count itself", -pastNanoseconds, nanoseconds::min()},
        SecondsCase{"just below the smallest count", std::nextafter(-pastNanoseconds, -inf),
                    nanoseconds::min()},
        SecondsCase{"just above the smallest count", std::nextafter(-pastNanoseconds, 0.0),
                    nanoseconds(static_cast<std::int64_t>(std::nextafter(-pastNanoseconds, 0.0) * 1e9))}));

TEST(StoredSeconds, CoarserDurationsClampAtTheirOwnLimits) {
  // 2^63 milliseconds is about 9.2e15 s: 1e16 s is beyond it, 9e15 s within.
  EXPECT_EQ(durationFromSeconds<milliseconds>(1e16), milliseconds::max());
  EXPECT_EQ(durationFromSeconds<milliseconds>(-1e16), milliseconds::min());
  EXPECT_EQ(durationFromSeconds<milliseconds>(9e15), milliseconds(9'000'000'000'000'000'000));
  EXPECT_EQ(durationFromSeconds<milliseconds>(0.0015), milliseconds(2));  // the nearest tick
}

TEST(StoredSeconds, DatesFromUnixSeconds) {
  EXPECT_EQ(dateFromSeconds(1'000'000'000.25), Date(milliseconds(1'000'000'000'250)));
  EXPECT_EQ(dateFromSeconds(1e308), Date::max());
  EXPECT_EQ(dateFromSeconds(-inf), Date::min());
  EXPECT_EQ(dateFromSeconds(nan), std::nullopt);
}

}  // namespace
}  // namespace vantrel
