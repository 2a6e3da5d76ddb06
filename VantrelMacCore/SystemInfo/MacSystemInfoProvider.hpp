#pragma once

#include <mutex>
#include <optional>

#include "Protocol/LegacyComInfoSnapshot.hpp"
#include "SystemInfo/SystemInfoMetrics.hpp"

namespace vantrel {

// The session's system-information source: one sample of this machine per request, from /proc,
// statvfs("/"), getifaddrs and the X display. The CPU load covers the time since the previous
// sample (the first sample reports the average since boot). A source that cannot be read leaves
// its fields at the fallback's values; a snapshot is always produced.
//
// The only state is the previous CPU sample, guarded by a mutex, so `makeSnapshot` may be
// awaited from any executor; it finishes without suspending (a few small file reads and one
// short display query).
class MacSystemInfoProvider final : public LegacyComInfoSnapshotProviding {
 public:
  static constexpr std::int64_t screenProtocolVersion = 3;
  static constexpr std::int64_t mobileProxyProtocolVersion = 0;

  MacSystemInfoProvider() = default;

  Awaitable<LegacyComInfoSnapshot> makeSnapshot() override;

  // The sample `makeSnapshot` returns, taken synchronously.
  LegacyComInfoSnapshot sample();

 private:
  std::mutex mutex_;
  std::optional<SystemInfoMetrics::CpuTimes> previousCpu_;
};

}  // namespace vantrel
