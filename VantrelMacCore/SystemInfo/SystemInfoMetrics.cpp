#include "SystemInfo/SystemInfoMetrics.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

namespace vantrel::SystemInfoMetrics {
namespace {

// /proc files of interest are small; a cap keeps a strange one from growing without bound.
constexpr std::size_t maxSystemFileBytes = 1 << 20;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view nextLine(std::string_view& text) {
  const auto end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  return line;
}

// Splits off the next blank-separated field; empty when none is left.
std::string_view nextField(std::string_view& text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  std::size_t length = 0;
  while (length < text.size() && !isBlank(text[length])) ++length;
  const std::string_view field = text.substr(0, length);
  text.remove_prefix(length);
  return field;
}

template <typename T>
std::optional<T> parseNumber(std::string_view field, int base = 10) {
  if (field.empty()) return std::nullopt;
  T value{};
  const auto [rest, error] = std::from_chars(field.data(), field.data() + field.size(), value, base);
  if (error != std::errc{} || rest != field.data() + field.size()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
  if (a > std::numeric_limits<std::uint64_t>::max() - b) return std::nullopt;
  return a + b;
}

int roundedPercent(long double part, long double whole) {
  if (whole <= 0) return 0;
  const long double percent = std::round(part * 100.0L / whole);
  if (percent <= 0) return 0;
  if (percent >= 100) return 100;
  return static_cast<int>(percent);
}

bool isLoopback(std::uint32_t address) { return (address >> 24) == 127; }
bool isLinkLocal(std::uint32_t address) { return (address >> 16) == 0xA9FE; }

std::int64_t clampedProduct(std::uint64_t count, std::uint64_t unit) {
  constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (unit != 0 && count > limit / unit) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(count * unit);
}

}  // namespace

std::optional<CpuTimes> parseProcStat(std::string_view text) {
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    if (nextField(line) != "cpu") continue;
    // user nice system idle iowait irq softirq steal; older kernels stop after iowait or irq.
    std::array<std::uint64_t, 8> values{};
    std::size_t count = 0;
    for (; count < values.size(); ++count) {
      const std::string_view field = nextField(line);
      if (field.empty()) break;
      const auto value = parseNumber<std::uint64_t>(field);
      if (!value) return std::nullopt;
      values[count] = *value;
    }
    if (count < 4) return std::nullopt;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto sum = checkedAdd(total, values[i]);
      if (!sum) return std::nullopt;
      total = *sum;
    }
    const std::uint64_t idle = values[3] + values[4];  // both are parts of `total`, no overflow
    return CpuTimes{total - idle, total};
  }
  return std::nullopt;
}

int cpuLoadPercent(const CpuTimes& previous, const CpuTimes& current) {
  if (current.total < previous.total || current.busy < previous.busy) {
    return roundedPercent(static_cast<long double>(current.busy), static_cast<long double>(current.total));
  }
  const std::uint64_t total = current.total - previous.total;
  const std::uint64_t busy = current.busy - previous.busy;
  if (total == 0) return 0;
  return roundedPercent(static_cast<long double>(busy), static_cast<long double>(total));
}

std::optional<MemoryInfo> parseMeminfo(std::string_view text) {
  std::optional<std::uint64_t> total;
  std::optional<std::uint64_t> available;
  std::uint64_t freeParts = 0;
  bool sawFree = false;
  while (!text.empty()) {
    std::string_view line = nextLine(text);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    std::string_view rest = line.substr(colon + 1);
    const auto value = parseNumber<std::uint64_t>(nextField(rest));
    if (!value) continue;
    const std::string_view unit = nextField(rest);
    std::uint64_t bytes = *value;
    if (unit == "kB") {
      if (bytes > std::numeric_limits<std::uint64_t>::max() / 1024) continue;
      bytes *= 1024;
    } else if (!unit.empty()) {
      continue;
    }
    if (key == "MemTotal") {
      total = bytes;
    } else if (key == "MemAvailable") {
      available = bytes;
    } else if (key == "MemFree" || key == "Buffers" || key == "Cached") {
      if (const auto sum = checkedAdd(freeParts, bytes)) freeParts = *sum;
      sawFree = sawFree || key == "MemFree";
    }
  }
  if (!total || *total == 0) return std::nullopt;
  if (!available) {
    if (!sawFree) return std::nullopt;
    available = freeParts;
  }
  return MemoryInfo{*total, std::min(*available, *total)};
}

int memoryUsagePercent(const MemoryInfo& memory) {
  if (memory.totalBytes == 0) return 0;
  const std::uint64_t available = std::min(memory.availableBytes, memory.totalBytes);
  return roundedPercent(static_cast<long double>(memory.totalBytes - available),
                        static_cast<long double>(memory.totalBytes));
}

int installedMemoryGiB(const MemoryInfo& memory) {
  const long double gib = static_cast<long double>(memory.totalBytes) / (1024.0L * 1024.0L * 1024.0L);
  const long double rounded = std::round(gib);
  if (rounded >= static_cast<long double>(std::numeric_limits<int>::max())) {
    return std::numeric_limits<int>::max();
  }
  return static_cast<int>(rounded);
}

std::optional<std::int64_t> parseUptimeSeconds(std::string_view text) {
  const std::string_view field = nextField(text);
  const auto dot = field.find('.');
  const auto seconds = parseNumber<std::int64_t>(field.substr(0, dot));
  if (!seconds || *seconds < 0) return std::nullopt;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = field.substr(dot + 1);
    if (fraction.empty() || !parseNumber<std::uint64_t>(fraction)) return std::nullopt;
  }
  return seconds;
}

std::optional<std::uint64_t> parseStatmResidentPages(std::string_view text) {
  if (!parseNumber<std::uint64_t>(nextField(text))) return std::nullopt;
  return parseNumber<std::uint64_t>(nextField(text));
}

std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute) {
  constexpr std::uint32_t routeUp = 0x0001;
  nextLine(procNetRoute);  // column titles
  std::optional<std::string> best;
  std::uint64_t bestMetric = std::numeric_limits<std::uint64_t>::max();
  while (!procNetRoute.empty()) {
    std::string_view line = nextLine(procNetRoute);
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    std::array<std::string_view, 8> fields;
    for (auto& field : fields) field = nextField(line);
    if (fields[7].empty()) continue;
    const auto destination = parseNumber<std::uint32_t>(fields[1], 16);
    const auto flags = parseNumber<std::uint32_t>(fields[3], 16);
    const auto metric = parseNumber<std::uint64_t>(fields[6]);
    const auto mask = parseNumber<std::uint32_t>(fields[7], 16);
    if (!destination || !flags || !metric || !mask) continue;
    if (*destination != 0 || *mask != 0 || (*flags & routeUp) == 0) continue;
    if (!best || *metric < bestMetric) {
      best = std::string(fields[0]);
      bestMetric = *metric;
    }
  }
  return best;
}

std::string dottedDecimal(std::uint32_t address) {
  return fmt::format("{}.{}.{}.{}", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                     address & 0xFF);
}

std::string preferredIPv4(const std::vector<IPv4Candidate>& candidates,
                          const std::optional<std::string>& defaultInterface) {
  const IPv4Candidate* routable = nullptr;
  const IPv4Candidate* linkLocal = nullptr;
  for (const auto& candidate : candidates) {
    if (candidate.address == 0 || isLoopback(candidate.address)) continue;
    if (isLinkLocal(candidate.address)) {
      if (!linkLocal) linkLocal = &candidate;
      continue;
    }
    if (defaultInterface && candidate.interfaceName == *defaultInterface) {
      return dottedDecimal(candidate.address);
    }
    if (!routable) routable = &candidate;
  }
  if (routable) return dottedDecimal(routable->address);
  if (linkLocal) return dottedDecimal(linkLocal->address);
  return "0.0.0.0";
}

std::string uptimeText(std::int64_t seconds) {
  if (seconds <= 0) return "0초";
  const std::int64_t days = seconds / 86400;
  const std::int64_t hours = seconds / 3600 % 24;
  const std::int64_t minutes = seconds / 60 % 60;
  const std::int64_t rest = seconds % 60;
  std::string text;
  const auto appendPart = [&text](std::int64_t value, std::string_view unit) {
    if (value == 0) return;
    if (!text.empty()) text += ' ';
    text += fmt::format("{}{}", value, unit);
  };
  appendPart(days, "일");
  appendPart(hours, "시간");
  appendPart(minutes, "분");
  appendPart(rest, "초");
  return text;
}

std::optional<std::string> readSystemFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer{};
  bool failed = false;
  while (text.size() < maxSystemFileBytes) {
    const ssize_t count =
        ::read(fd, buffer.data(), std::min(buffer.size(), maxSystemFileBytes - text.size()));
    if (count < 0) {
      if (errno == EINTR) continue;
      failed = true;
      break;
    }
    if (count == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return text;
}

std::vector<IPv4Candidate> localIPv4Addresses() {
  std::vector<IPv4Candidate> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return result;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    result.push_back(IPv4Candidate{entry->ifa_name, ntohl(inet->sin_addr.s_addr)});
  }
  ::freeifaddrs(list);
  return result;
}

std::optional<VolumeSpace> volumeSpace(const char* path) {
  struct statvfs info {};
  if (::statvfs(path, &info) != 0) return std::nullopt;
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  return VolumeSpace{clampedProduct(info.f_blocks, unit), clampedProduct(info.f_bavail, unit)};
}

std::optional<std::int64_t> processResidentBytes() {
  const auto statm = readSystemFile("/proc/self/statm");
  if (!statm) return std::nullopt;
  const auto pages = parseStatmResidentPages(*statm);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (!pages || pageSize <= 0) return std::nullopt;
  return clampedProduct(*pages, static_cast<std::uint64_t>(pageSize));
}

}  // namespace vantrel::SystemInfoMetrics
