#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The measurements behind the system-information reply: parsers of the kernel's text files
// (pure, so they are tested on fixed samples) and the readers that fetch the live values.
namespace SystemInfoMetrics {

// Cumulative CPU time of all processors, in clock ticks.
struct CpuTimes {
  std::uint64_t busy = 0;
  std::uint64_t total = 0;

  friend bool operator==(const CpuTimes&, const CpuTimes&) = default;
};

// The aggregate "cpu" line of /proc/stat: total = user + nice + system + idle + iowait + irq +
// softirq + steal (guest time is already part of user and nice), busy = total − idle − iowait.
std::optional<CpuTimes> parseProcStat(std::string_view text);

// Load in percent (0–100, rounded) over the interval between two samples. When the counters did
// not advance the load is 0; when they went backwards (processors taken offline) the current
// sample alone is used, i.e. the average since boot.
int cpuLoadPercent(const CpuTimes& previous, const CpuTimes& current);

struct MemoryInfo {
  std::uint64_t totalBytes = 0;
  std::uint64_t availableBytes = 0;

  friend bool operator==(const MemoryInfo&, const MemoryInfo&) = default;
};

// /proc/meminfo: MemTotal and MemAvailable (or, on kernels without it, MemFree + Buffers +
// Cached, capped at the total).
std::optional<MemoryInfo> parseMeminfo(std::string_view text);

// Memory in use as a rounded percentage of the total (0 when the total is 0).
int memoryUsagePercent(const MemoryInfo& memory);
// Installed memory in GiB, rounded to the nearest (MemTotal is a little below the modules' size).
int installedMemoryGiB(const MemoryInfo& memory);

// First number of /proc/uptime, in whole seconds.
std::optional<std::int64_t> parseUptimeSeconds(std::string_view text);

// Second number of /proc/<pid>/statm: resident pages.
std::optional<std::uint64_t> parseStatmResidentPages(std::string_view text);

// The interface of the default IPv4 route in /proc/net/route (lowest metric among the routes
// that are up with destination and mask 0), or nullopt.
std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute);

struct IPv4Candidate {
  std::string interfaceName;
  // In host byte order: 10.0.0.5 is 0x0A000005.
  std::uint32_t address = 0;
};

// The address to show the manager: the default-route interface's first routable address, else
// the first routable one, else the first link-local (169.254/16) one, else "0.0.0.0". Loopback
// and unspecified addresses are never chosen.
std::string preferredIPv4(const std::vector<IPv4Candidate>& candidates,
                          const std::optional<std::string>& defaultInterface);

std::string dottedDecimal(std::uint32_t address);

// Uptime as the manager shows durations: days, hours, minutes and seconds ("일", "시간", "분",
// "초"), largest first, zero parts left out, separated by a blank ("2일 3시간 5초"); "0초" for
// nothing (and for a negative value).
std::string uptimeText(std::int64_t seconds);

// Live readers. Each returns nullopt (or an empty list) when the source cannot be read.
std::optional<std::string> readSystemFile(const char* path);
std::vector<IPv4Candidate> localIPv4Addresses();

struct VolumeSpace {
  std::int64_t totalBytes = 0;
  std::int64_t availableBytes = 0;
};
// statvfs of the path: the volume's size and the bytes an unprivileged user may still write
// (what `df` shows as available).
std::optional<VolumeSpace> volumeSpace(const char* path);

// Resident memory of this process in bytes.
std::optional<std::int64_t> processResidentBytes();

}  // namespace SystemInfoMetrics
}  // namespace vantrel
