#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "SystemInfo/SystemInfoMetrics.hpp"

namespace vantrel {
namespace {

using namespace SystemInfoMetrics;

TEST(ProcStat, SumsTheEightCountersAndCountsIdleAndIowaitAsNotBusy) {
  const std::string text =
      "cpu  100 20 30 400 50 6 7 8 9 10\n"
      "cpu0 50 10 15 200 25 3 3 4 4 5\n"
      "intr 12345\n";
  const auto times = parseProcStat(text);
  ASSERT_TRUE(times);
  // total = 100+20+30+400+50+6+7+8 = 621 (guest 9 and guest_nice 10 are inside user and nice)
  EXPECT_EQ(times->total, 621u);
  EXPECT_EQ(times->busy, 621u - 400u - 50u);
}

TEST(ProcStat, AcceptsOlderKernelsWithFewerColumns) {
  const auto times = parseProcStat("cpu 10 0 10 80\n");
  ASSERT_TRUE(times);
  EXPECT_EQ(times->total, 100u);
  EXPECT_EQ(times->busy, 20u);
}

TEST(ProcStat, RejectsMalformedText) {
  EXPECT_FALSE(parseProcStat(""));
  EXPECT_FALSE(parseProcStat("cpu0 1 2 3 4\n"));                    // no aggregate line
  EXPECT_FALSE(parseProcStat("cpu 1 2 3\n"));                       // too few counters
  EXPECT_FALSE(parseProcStat("cpu 1 2 x 4\n"));                     // not a number
  EXPECT_FALSE(parseProcStat("cpu 1 2 -3 4\n"));                    // negative
  EXPECT_FALSE(parseProcStat("cpu 18446744073709551615 1 0 0\n"));  // sum overflows
}

TEST(CpuLoad, IsTheBusyShareOfTheIntervalRounded) {
  EXPECT_EQ(cpuLoadPercent({100, 1000}, {150, 1100}), 50);
  EXPECT_EQ(cpuLoadPercent({100, 1000}, {100, 1100}), 0);
  EXPECT_EQ(cpuLoadPercent({100, 1000}, {200, 1100}), 100);
  EXPECT_EQ(cpuLoadPercent({0, 0}, {2, 3}), 67);   // 66.67 rounds up
  EXPECT_EQ(cpuLoadPercent({0, 0}, {1, 200}), 1);  // 0.5 rounds away from zero
}

TEST(CpuLoad, NoElapsedTimeIsZeroAndCountersGoingBackUseTheAverageSinceBoot) {
  EXPECT_EQ(cpuLoadPercent({100, 1000}, {100, 1000}), 0);
  EXPECT_EQ(cpuLoadPercent({500, 1000}, {25, 100}), 25);
  EXPECT_EQ(cpuLoadPercent({50, 100}, {40, 200}), 20);  // busy went back
}

TEST(Meminfo, ReadsTotalAndAvailableInBytes) {
  const std::string text =
      "MemTotal:       16318196 kB\n"
      "MemFree:         1000000 kB\n"
      "MemAvailable:    8159098 kB\n"
      "Buffers:          200000 kB\n"
      "Cached:          3000000 kB\n"
      "HugePages_Total:       0\n";
  const auto memory = parseMeminfo(text);
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory->totalBytes, 16318196ull * 1024);
  EXPECT_EQ(memory->availableBytes, 8159098ull * 1024);
  EXPECT_EQ(memoryUsagePercent(*memory), 50);
  EXPECT_EQ(installedMemoryGiB(*memory), 16);  // 15.56 GiB
}

TEST(Meminfo, FallsBackToFreeBuffersAndCachedWithoutMemAvailable) {
  const auto memory = parseMeminfo("MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 100 kB\n");
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory->availableBytes, 250u * 1024);
  EXPECT_EQ(memoryUsagePercent(*memory), 75);
}

TEST(Meminfo, RejectsMissingTotalAndCapsAvailableAtTotal) {
  EXPECT_FALSE(parseMeminfo("MemAvailable: 10 kB\n"));
  EXPECT_FALSE(parseMeminfo("MemTotal: 0 kB\nMemAvailable: 0 kB\n"));
  EXPECT_FALSE(parseMeminfo("MemTotal: 100 kB\n"));  // nothing to tell what is free
  EXPECT_FALSE(parseMeminfo("MemTotal: 99999999999999999999 kB\nMemAvailable: 1 kB\n"));
  const auto memory = parseMeminfo("MemTotal: 100 kB\nMemAvailable: 300 kB\n");
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory->availableBytes, memory->totalBytes);
  EXPECT_EQ(memoryUsagePercent(*memory), 0);
}

TEST(Meminfo, InstalledMemoryRoundsToTheNearestGiB) {
  constexpr std::uint64_t gib = 1024ull * 1024 * 1024;
  EXPECT_EQ(installedMemoryGiB({gib * 7 + gib / 2 + 1, 0}), 8);
  EXPECT_EQ(installedMemoryGiB({gib * 7 + gib / 2 - 1, 0}), 7);
  EXPECT_EQ(installedMemoryGiB({gib / 4, 0}), 0);
}

TEST(Uptime, ReadsWholeSecondsOfTheFirstNumber) {
  EXPECT_EQ(parseUptimeSeconds("350735.47 234388.90\n"), 350735);
  EXPECT_EQ(parseUptimeSeconds("12 3"), 12);
  EXPECT_FALSE(parseUptimeSeconds(""));
  EXPECT_FALSE(parseUptimeSeconds("-5.00 1.00"));
  EXPECT_FALSE(parseUptimeSeconds("abc 1.00"));
  EXPECT_FALSE(parseUptimeSeconds("12. 3"));
}

TEST(Statm, ReadsResidentPages) {
  EXPECT_EQ(parseStatmResidentPages("5000 1200 300 10 0 900 0\n"), 1200u);
  EXPECT_FALSE(parseStatmResidentPages("5000\n"));
  EXPECT_FALSE(parseStatmResidentPages("x 1200\n"));
}

struct UptimeCase {
  std::int64_t seconds;
  const char* text;
};

TEST(UptimeText, WritesNonZeroPartsLargestFirst) {
  const UptimeCase cases[] = {
      {0, "0초"},
      {-7, "0초"},
      {1, "1초"},
      {59, "59초"},
      {60, "1분"},
      {61, "1분 1초"},
      {3600, "1시간"},
      {3605, "1시간 5초"},
      {86400, "1일"},
      {90061, "1일 1시간 1분 1초"},
      {2 * 86400 + 3 * 3600 + 5, "2일 3시간 5초"},
      {400 * 86400 + 59 * 60, "400일 59분"},
  };
  for (const auto& c : cases) EXPECT_EQ(uptimeText(c.seconds), c.text) << c.seconds;
}

constexpr const char* routeTable =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
    "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "eth0\t0000000A\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
    "tun0\t00000000\t00000000\t0000\t0\t0\t1\t00000000\t0\t0\t0\n";

TEST(DefaultRoute, PicksTheLowestMetricDefaultRouteThatIsUpElseNone) {
  EXPECT_EQ(defaultRouteInterface(routeTable), std::optional<std::string>("eth0"));
  EXPECT_FALSE(
      defaultRouteInterface("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                            "eth0\t0000000A\t00000000\t0001\t0\t0\t100\t00FFFFFF\n"));
  EXPECT_FALSE(defaultRouteInterface(""));
  EXPECT_FALSE(defaultRouteInterface("header\neth0 zz 0 0003 0 0 0 00000000\n"));
}

TEST(PreferredAddress, DefaultRouteInterfaceFirstThenRoutableThenLinkLocal) {
  const std::vector<IPv4Candidate> all{
      {"lo", 0x7F000001},       // 127.0.0.1
      {"virbr0", 0xA9FE0102},   // 169.254.1.2
      {"docker0", 0xAC110001},  // 172.17.0.1
      {"eth0", 0x0A000005},     // 10.0.0.5
  };
  EXPECT_EQ(preferredIPv4(all, std::string("eth0")), "10.0.0.5");
  EXPECT_EQ(preferredIPv4(all, std::nullopt), "172.17.0.1");
  EXPECT_EQ(preferredIPv4(all, std::string("wlan0")), "172.17.0.1");
  EXPECT_EQ(preferredIPv4({{"lo", 0x7F000001}, {"eth1", 0xA9FE0102}}, std::nullopt), "169.254.1.2");
  EXPECT_EQ(preferredIPv4({{"lo", 0x7F000001}, {"x", 0}}, std::nullopt), "0.0.0.0");
  EXPECT_EQ(preferredIPv4({}, std::string("eth0")), "0.0.0.0");
}

}  // namespace
}  // namespace vantrel
