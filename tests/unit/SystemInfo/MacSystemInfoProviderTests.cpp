#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "SystemInfo/MacSystemInfoProvider.hpp"
#include "support/AsyncTest.hpp"
#include "support/ChildProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

// Independent readings, taken the plain way, to compare the provider against.
std::uint64_t meminfoKiB(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  std::uint64_t value = 0;
  std::string unit;
  while (in >> name >> value) {
    std::getline(in, unit);
    if (name == key + ":") return value;
  }
  return 0;
}

std::uint64_t statusKiB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1));
  }
  return 0;
}

double uptimeSeconds() {
  std::ifstream in("/proc/uptime");
  double seconds = 0;
  in >> seconds;
  return seconds;
}

// `df` in bytes for the root volume: size and available.
std::optional<std::pair<std::int64_t, std::int64_t>> dfRoot() {
  const auto df = testing::runShell("df -B1 --output=size,avail / 2>/dev/null");
  if (df.status != 0) return std::nullopt;
  std::istringstream in(df.output);
  std::string header1;
  std::string header2;
  std::int64_t size = 0;
  std::int64_t avail = 0;
  if (!(in >> header1 >> header2 >> size >> avail)) return std::nullopt;
  return std::make_pair(size, avail);
}

std::set<std::string> interfaceAddresses() {
  std::set<std::string> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return result;
  for (auto* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
    result.insert(text);
  }
  ::freeifaddrs(list);
  return result;
}

TEST(MacSystemInfoProvider, SnapshotAgreesWithProcAndDf) {
  testing::NoDisplay noDisplay;
  MacSystemInfoProvider provider;
  asio::io_context io;
  const LegacyComInfoSnapshot snapshot = testing::runAwaitable(io, provider.makeSnapshot());

  // Memory: installed size exactly, usage within a few points (other processes move it).
  const double totalKiB = static_cast<double>(meminfoKiB("MemTotal"));
  ASSERT_GT(totalKiB, 0);
  EXPECT_EQ(snapshot.ramSizeGB, std::llround(totalKiB / (1024.0 * 1024.0)));
  const double usedPercent = 100.0 * (totalKiB - static_cast<double>(meminfoKiB("MemAvailable"))) / totalKiB;
  EXPECT_NEAR(static_cast<double>(snapshot.ramUsage), usedPercent, 5.0);

  // Disk: what df reports for "/", within 1 % of the size (files come and go meanwhile).
  const auto df = dfRoot();
  ASSERT_TRUE(df) << "df did not answer";
  EXPECT_EQ(snapshot.hddSizeBytes, df->first);
  EXPECT_NEAR(static_cast<double>(snapshot.hddRemainBytes), static_cast<double>(df->second),
              static_cast<double>(df->first) * 0.01);

  // This process's resident memory, within 16 MiB of what the kernel says right after.
  const double residentBytes = static_cast<double>(statusKiB("VmRSS")) * 1024.0;
  EXPECT_NEAR(static_cast<double>(snapshot.processUsedMemoryBytes), residentBytes, 16.0 * 1024 * 1024);
  EXPECT_GT(snapshot.processUsedMemoryBytes, 0);

  // Uptime text of the same second or the next.
  const auto seconds = static_cast<std::int64_t>(uptimeSeconds());
  EXPECT_TRUE(snapshot.usedTime == SystemInfoMetrics::uptimeText(seconds) ||
              snapshot.usedTime == SystemInfoMetrics::uptimeText(seconds - 1) ||
              snapshot.usedTime == SystemInfoMetrics::uptimeText(seconds + 1))
      << snapshot.usedTime;

  // An address of this machine (never loopback), or the unspecified one.
  if (snapshot.externalIP != "0.0.0.0") {
    EXPECT_TRUE(interfaceAddresses().count(snapshot.externalIP)) << snapshot.externalIP;
    EXPECT_NE(snapshot.externalIP.rfind("127.", 0), 0u) << snapshot.externalIP;
  }

  EXPECT_GE(snapshot.cpuUsage, 0);
  EXPECT_LE(snapshot.cpuUsage, 100);

  // Without a display the screen fields keep the fallback's values.
  EXPECT_EQ(snapshot.width, 0);
  EXPECT_EQ(snapshot.height, 0);
  EXPECT_EQ(snapshot.screenRate, 100);
}

TEST(MacSystemInfoProvider, CpuLoadOfLaterSamplesCoversOnlyTheTimeSinceThePreviousOne) {
  testing::NoDisplay noDisplay;
  MacSystemInfoProvider provider;
  // Keep one processor busy between two samples: the second sample must see load, whereas an
  // average since boot on an idle machine would not move.
  provider.sample();
  const auto ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  const auto readTotal = [] {
    std::ifstream in("/proc/stat");
    std::string cpu;
    std::uint64_t total = 0;
    std::uint64_t value = 0;
    in >> cpu;
    for (int i = 0; i < 8 && in >> value; ++i) total += value;
    return total;
  };
  // Spin until the machine as a whole has advanced by at least a few ticks per processor.
  const auto processors = static_cast<std::uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN));
  const std::uint64_t start = readTotal();
  volatile std::uint64_t sink = 0;
  while (readTotal() < start + processors * static_cast<std::uint64_t>(ticksPerSecond) / 10) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<std::uint64_t>(i);
  }
  const auto busy = provider.sample();
  // One busy processor out of `processors` gives at least roughly 100 / processors percent.
  EXPECT_GE(static_cast<double>(busy.cpuUsage), 100.0 / static_cast<double>(processors) * 0.5)
      << "processors=" << processors;
  EXPECT_LE(busy.cpuUsage, 100);
}

}  // namespace
}  // namespace vantrel
