#include "ProcessTimes.hpp"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace vantrel::shots {

namespace {

// Seconds since boot at which this process started, from /proc.
double processStartSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = content.rfind(')');
  std::istringstream fields(content.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;  // field 22: start time in clock ticks
  return std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double bootSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

double secondsSinceProcessStart() { return bootSeconds() - processStartSeconds(); }

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void printIdle(double cpuBefore, double wallSeconds) {
  std::printf("idle-cpu-percent %.4f over %.1f s\n", 100.0 * (cpuSeconds() - cpuBefore) / wallSeconds,
              wallSeconds);
}

}  // namespace vantrel::shots
