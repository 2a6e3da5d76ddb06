#pragma once

// The calendar clock, for what is stored or shown as a date (the last update check, log line
// stamps, event times). Intervals and timers use the steady `VantrelClock` instead. Whoever needs
// the date takes a `WallClock` from its owner, so a test fixes the date by handing in its own.

#include <chrono>
#include <functional>

namespace vantrel {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// The system's own calendar clock.
WallClock systemWallClock();

}  // namespace vantrel
