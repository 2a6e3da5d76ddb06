#include "Protocol/LegacyComInfoSnapshot.hpp"

#include <fmt/format.h>

#include <utility>

namespace vantrel {

const LegacyComInfoSnapshot& LegacyComInfoSnapshot::minimalFallback() {
  static const LegacyComInfoSnapshot fallback{
      .externalIP = "0.0.0.0",
      .cpuUsage = 0,
      .gpuUsage = 0,
      .ramUsage = 0,
      .ramSizeGB = 0,
      .hddSizeBytes = 0,
      .hddRemainBytes = 0,
      .processUsedMemoryBytes = 0,
      .usedTime = "0초",
      .width = 0,
      .height = 0,
      .screenRate = 100,
      .screenProtocolVersion = 3,
      .mobileProxyProtocolVersion = 0,
  };
  return fallback;
}

LegacyComInfoResponseSummary::LegacyComInfoResponseSummary(std::string externalIP_, std::int64_t width_,
                                                           std::int64_t height_, std::int64_t cpuUsage_,
                                                           std::int64_t ramUsage_, std::int64_t ramSizeGB_,
                                                           std::int64_t hddRemainBytes_,
                                                           std::string usedTime_)
    : externalIP(std::move(externalIP_)),
      width(width_),
      height(height_),
      cpuUsage(cpuUsage_),
      ramUsage(ramUsage_),
      ramSizeGB(ramSizeGB_),
      hddRemainBytes(hddRemainBytes_),
      usedTime(std::move(usedTime_)) {}

LegacyComInfoResponseSummary::LegacyComInfoResponseSummary(const LegacyComInfoSnapshot& snapshot)
    : LegacyComInfoResponseSummary(snapshot.externalIP, snapshot.width, snapshot.height, snapshot.cpuUsage,
                                   snapshot.ramUsage, snapshot.ramSizeGB, snapshot.hddRemainBytes,
                                   snapshot.usedTime) {}

std::string LegacyComInfoResponseSummary::diagnosticFragment() const {
  return fmt::format("ip={}, {}x{}, cpu={}%, ram={}%/{}GB, diskFree={}, uptime={}", externalIP, width, height,
                     cpuUsage, ramUsage, ramSizeGB, hddRemainBytes, usedTime);
}

}  // namespace vantrel
