#pragma once

#include <cstdint>
#include <string>

#include "Support/Async.hpp"

namespace vantrel {

// One sample of the machine as reported to the manager's GET_COMINFO request.
struct LegacyComInfoSnapshot {
  std::string externalIP;                   // the address shown to the manager as the client's IP
  std::int64_t cpuUsage = 0;                // percent
  std::int64_t gpuUsage = 0;                // percent
  std::int64_t ramUsage = 0;                // memory in use, percent
  std::int64_t ramSizeGB = 0;               // installed memory in GiB
  std::int64_t hddSizeBytes = 0;            // disk size
  std::int64_t hddRemainBytes = 0;          // free disk space in bytes
  std::int64_t processUsedMemoryBytes = 0;  // memory of the agent process in bytes
  std::string usedTime;                     // uptime text
  std::int64_t width = 0;                   // main display width in pixels
  std::int64_t height = 0;                  // main display height in pixels
  std::int64_t screenRate = 0;              // display scale rate (100 = 100 %)
  std::int64_t screenProtocolVersion = 0;
  std::int64_t mobileProxyProtocolVersion = 0;

  // What the session sends when no snapshot can be had: "0.0.0.0", zeros, "0초", rate 100,
  // screen protocol 3, mobile proxy protocol 0.
  static const LegacyComInfoSnapshot& minimalFallback();

  friend bool operator==(const LegacyComInfoSnapshot&, const LegacyComInfoSnapshot&) = default;
};

// Yields system-information snapshots; the session falls back to `minimalFallback()` when this
// throws.
class LegacyComInfoSnapshotProviding {
 public:
  virtual ~LegacyComInfoSnapshotProviding() = default;
  virtual Awaitable<LegacyComInfoSnapshot> makeSnapshot() = 0;
};

// The short record of a sent reply that the session reports in its events.
struct LegacyComInfoResponseSummary {
  std::string externalIP;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t cpuUsage = 0;
  std::int64_t ramUsage = 0;
  std::int64_t ramSizeGB = 0;
  std::int64_t hddRemainBytes = 0;
  std::string usedTime;

  LegacyComInfoResponseSummary() = default;
  LegacyComInfoResponseSummary(std::string externalIP, std::int64_t width, std::int64_t height,
                               std::int64_t cpuUsage, std::int64_t ramUsage, std::int64_t ramSizeGB,
                               std::int64_t hddRemainBytes, std::string usedTime);
  explicit LegacyComInfoResponseSummary(const LegacyComInfoSnapshot& snapshot);

  // "ip=10.0.0.5, 1920x1080, cpu=12%, ram=40%/16GB, diskFree=1000, uptime=3h".
  std::string diagnosticFragment() const;

  friend bool operator==(const LegacyComInfoResponseSummary&, const LegacyComInfoResponseSummary&) = default;
};

}  // namespace vantrel
