#pragma once

// What this process has taken, for the tool's start and idle measurements.

namespace vantrel::shots {

// Seconds from this process's start (as the kernel recorded it) until now.
double secondsSinceProcessStart();
// CPU seconds this process has used, user and system, every thread.
double cpuSeconds();
// Prints the share of a core used since `cpuBefore` (a cpuSeconds() reading) over `wallSeconds`.
void printIdle(double cpuBefore, double wallSeconds);

}  // namespace vantrel::shots
