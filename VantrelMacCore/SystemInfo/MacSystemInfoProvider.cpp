#include "SystemInfo/MacSystemInfoProvider.hpp"

#include "Platform/Ports/DisplayCaptureSource.hpp"

namespace vantrel {

Awaitable<LegacyComInfoSnapshot> MacSystemInfoProvider::makeSnapshot() { co_return sample(); }

LegacyComInfoSnapshot MacSystemInfoProvider::sample() {
  namespace metrics = SystemInfoMetrics;
  LegacyComInfoSnapshot snapshot = LegacyComInfoSnapshot::minimalFallback();
  snapshot.gpuUsage = 0;
  snapshot.screenProtocolVersion = screenProtocolVersion;
  snapshot.mobileProxyProtocolVersion = mobileProxyProtocolVersion;

  std::optional<std::string> defaultInterface;
  if (const auto routes = metrics::readSystemFile("/proc/net/route")) {
    defaultInterface = metrics::defaultRouteInterface(*routes);
  }
  snapshot.externalIP = metrics::preferredIPv4(metrics::localIPv4Addresses(), defaultInterface);

  if (const auto stat = metrics::readSystemFile("/proc/stat")) {
    if (const auto current = metrics::parseProcStat(*stat)) {
      std::lock_guard lock(mutex_);
      snapshot.cpuUsage = metrics::cpuLoadPercent(previousCpu_.value_or(metrics::CpuTimes{}), *current);
      previousCpu_ = *current;
    }
  }

  if (const auto meminfo = metrics::readSystemFile("/proc/meminfo")) {
    if (const auto memory = metrics::parseMeminfo(*meminfo)) {
      snapshot.ramUsage = metrics::memoryUsagePercent(*memory);
      snapshot.ramSizeGB = metrics::installedMemoryGiB(*memory);
    }
  }

  if (const auto root = metrics::volumeSpace("/")) {
    snapshot.hddSizeBytes = root->totalBytes;
    snapshot.hddRemainBytes = root->availableBytes;
  }

  if (const auto resident = metrics::processResidentBytes()) snapshot.processUsedMemoryBytes = *resident;

  if (const auto uptime = metrics::readSystemFile("/proc/uptime")) {
    if (const auto seconds = metrics::parseUptimeSeconds(*uptime))
      snapshot.usedTime = metrics::uptimeText(*seconds);
  }

  if (const auto display = readMainDisplay()) {
    snapshot.width = display->geometry.width;
    snapshot.height = display->geometry.height;
    snapshot.screenRate = display->scaleRate;
  }
  return snapshot;
}

}  // namespace vantrel
