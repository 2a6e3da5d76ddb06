#include <gtest/gtest.h>

#include "Model/Agent/AIDiagnosticsTestSession.hpp"
#include "Support/SystemLog.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using Args = std::vector<std::string>;

struct EndpointCase {
  Args arguments;
  std::optional<AIDiagnosticsEndpoint> endpoint;
};

class DiagnosticsEndpoint : public ::testing::TestWithParam<EndpointCase> {};

TEST_P(DiagnosticsEndpoint, NeedsALocalNetworkHostAndAPort) {
  EXPECT_EQ(AIDiagnosticsTestSession::endpoint(GetParam().arguments), GetParam().endpoint);
}

const std::string exe = "/bin/VantrelMac";
const std::string mode = "--ai-diagnostics-test";

AIDiagnosticsEndpoint at(std::uint8_t third, std::uint8_t fourth, std::uint16_t port) {
  return AIDiagnosticsEndpoint{{192, 168, third, fourth}, port};
}

INSTANTIATE_TEST_SUITE_P(
    AIDiagnosticsTestSession, DiagnosticsEndpoint,
    ::testing::Values(
        EndpointCase{{exe, mode, "--test-host", "192.168.1.20", "--test-port", "65333"}, at(1, 20, 65333)},
        EndpointCase{{exe, "--test-port", "1", mode, "--test-host", "192.168.0.1"}, at(0, 1, 1)},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.20", "--test-port", "+80"}, at(1, 20, 80)},
        EndpointCase{{exe, mode, "--test-host", "10.0.0.1", "--test-port", "1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "127.0.0.1", "--test-port", "1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.", "--test-port", "1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.1680.1.1", "--test-port", "1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", " 192.168.1.1", "--test-port", "1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1", "--test-port", "0"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1", "--test-port", "65536"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1", "--test-port", "80x"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1", "--test-port", " 80"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1", "--test-port"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.1"}, std::nullopt},
        EndpointCase{{exe, mode, "--test-host=192.168.1.1", "--test-port=80"}, std::nullopt},
        EndpointCase{{exe, mode}, std::nullopt}));

// The host is an address written out, inside 192.168.0.0/16, and nothing else: a name that merely
// begins like one would be resolved (DNS, the hosts file) to wherever its owner wants.
struct HostCase {
  std::string host;
  std::optional<std::array<std::uint8_t, 2>> lastParts;  // nullopt: refused
};

class DiagnosticsHost : public ::testing::TestWithParam<HostCase> {};

TEST_P(DiagnosticsHost, IsAnIPv4AddressInsideTheLocalNetworkWrittenOutExactly) {
  const auto found =
      AIDiagnosticsTestSession::endpoint({exe, mode, "--test-host", GetParam().host, "--test-port", "7"});
  if (!GetParam().lastParts) {
    EXPECT_EQ(found, std::nullopt);
    return;
  }
  const auto [third, fourth] = *GetParam().lastParts;
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, at(third, fourth, 7));
  // What is connected to is the parsed address in its canonical form.
  EXPECT_EQ(found->host(), GetParam().host);
}

using Parts = std::array<std::uint8_t, 2>;
INSTANTIATE_TEST_SUITE_P(
    AIDiagnosticsTestSession, DiagnosticsHost,
    ::testing::Values(
        // Inside the network, from its first address to its last.
        HostCase{"192.168.0.0", Parts{0, 0}}, HostCase{"192.168.0.1", Parts{0, 1}},
        HostCase{"192.168.100.200", Parts{100, 200}}, HostCase{"192.168.255.255", Parts{255, 255}},
        HostCase{"192.168.10.9", Parts{10, 9}},
        // Names, however they begin.
        HostCase{"192.168.evil.test", std::nullopt}, HostCase{"192.168.1.1.nip.io", std::nullopt},
        HostCase{"192.168.1.example", std::nullopt}, HostCase{"localhost", std::nullopt},
        // Parts out of range, and digit runs long enough to wrap a 32- or 64-bit counter.
        HostCase{"192.168.256.1", std::nullopt}, HostCase{"192.168.1.256", std::nullopt},
        HostCase{"192.168.1.999", std::nullopt}, HostCase{"192.168.1.4294967297", std::nullopt},
        HostCase{"192.168.1.18446744073709551617", std::nullopt},
        HostCase{"192.168.1." + std::string(10000, '9'), std::nullopt},
        // Leading zeros: other readers take them as octal ("010" is 8 there).
        HostCase{"192.168.010.1", std::nullopt}, HostCase{"192.168.01.1", std::nullopt},
        HostCase{"192.168.1.00", std::nullopt}, HostCase{"192.168.1.0001", std::nullopt},
        HostCase{"0192.168.1.1", std::nullopt},
        // Other notations of the same address.
        HostCase{"0xC0.168.1.1", std::nullopt}, HostCase{"192.168.0x1.1", std::nullopt},
        HostCase{"3232235777", std::nullopt}, HostCase{"192.168.257", std::nullopt},
        HostCase{"::ffff:192.168.1.1", std::nullopt}, HostCase{"[192.168.1.1]", std::nullopt},
        // More or fewer parts, empty parts.
        HostCase{"192.168.1", std::nullopt}, HostCase{"192.168", std::nullopt},
        HostCase{"192.168.1.1.1", std::nullopt}, HostCase{"192.168..1", std::nullopt},
        HostCase{"192.168.1.", std::nullopt}, HostCase{"192.168.1.1.", std::nullopt},
        HostCase{".192.168.1.1", std::nullopt}, HostCase{"", std::nullopt},
        // Signs, blanks, line ends and what may follow an address.
        HostCase{"192.168.+1.1", std::nullopt}, HostCase{"192.168.-1.1", std::nullopt},
        HostCase{"192.168.1.1\n", std::nullopt}, HostCase{"\n192.168.1.1", std::nullopt},
        HostCase{"192.168.1.1\nX", std::nullopt}, HostCase{"192.168.1.1\r\n", std::nullopt},
        HostCase{"192.168.1.1 ", std::nullopt}, HostCase{"192.168.1.\t1", std::nullopt},
        HostCase{"192.168. 1.1", std::nullopt}, HostCase{std::string("192.168.1.1\0", 12), std::nullopt},
        HostCase{"192.168.0.1/../8.8.8.8", std::nullopt}, HostCase{"192.168.1.1/", std::nullopt},
        HostCase{"192.168.1.1:80", std::nullopt}, HostCase{"192.168.1.1%eth0", std::nullopt},
        // Digits of other scripts.
        HostCase{"192.168.\uFF11.1", std::nullopt}, HostCase{"192.168.\u0661.1", std::nullopt},
        // Outside the network.
        HostCase{"192.169.1.1", std::nullopt}, HostCase{"193.168.1.1", std::nullopt},
        HostCase{"172.16.0.1", std::nullopt}, HostCase{"8.8.8.8", std::nullopt},
        HostCase{"0.0.0.0", std::nullopt}, HostCase{"255.255.255.255", std::nullopt}));

struct Probe {
  int terminations = 0;
  std::optional<int> exitStatus;
  std::optional<AIDiagnosticsEndpoint> ranWith;
};

// A run that records its endpoint and ends the program like the real one does.
Awaitable<void> recordingRun(Probe* probe, AIDiagnosticsEndpoint endpoint,
                             std::function<void(int)> terminate) {
  probe->ranWith = endpoint;
  terminate(0);
  co_return;
}

AIDiagnosticsTestSession::Environment environmentFor(asio::io_context& io, Probe& probe) {
  return {io.get_executor(),
          [&probe](int status) {
            ++probe.terminations;
            probe.exitStatus = status;
          },
          [&probe](AIDiagnosticsEndpoint endpoint, std::function<void(int)> terminate) {
            return recordingRun(&probe, std::move(endpoint), std::move(terminate));
          }};
}

TEST(AIDiagnosticsTestSession, AnInvalidEndpointLogsAndRequestsTerminationWithoutRunning) {
  asio::io_context io;
  Probe probe;
  MemoryLogSink sink;
  EXPECT_FALSE(AIDiagnosticsTestSession::start({exe, mode, "--test-host", "10.1.1.1", "--test-port", "5"},
                                               environmentFor(io, probe)));
  EXPECT_EQ(probe.terminations, 1);
  EXPECT_EQ(probe.exitStatus, 2);
  EXPECT_TRUE(sink.contains("AI_DIAGNOSTICS invalid explicit QA endpoint"));
  testing::drain(io);
  EXPECT_FALSE(probe.ranWith);
}

TEST(AIDiagnosticsTestSession, AValidEndpointStartsTheRunAsATaskAndReturnsAtOnce) {
  asio::io_context io;
  Probe probe;
  MemoryLogSink sink;
  EXPECT_TRUE(AIDiagnosticsTestSession::start(
      {exe, mode, "--test-host", "192.168.7.7", "--test-port", "9000"}, environmentFor(io, probe)));
  // Nothing ran yet: the run is a task on the main executor.
  EXPECT_FALSE(probe.ranWith);
  EXPECT_EQ(probe.terminations, 0);
  testing::drain(io);
  EXPECT_EQ(probe.ranWith, at(7, 7, 9000));
  EXPECT_EQ(probe.terminations, 1);
  EXPECT_FALSE(sink.contains("invalid explicit QA endpoint"));
}

TEST(AIDiagnosticsTestSession, WithoutARunTheModeEndsInsteadOfWaitingForever) {
  asio::io_context io;
  Probe probe;
  auto environment = environmentFor(io, probe);
  environment.run = nullptr;
  EXPECT_FALSE(AIDiagnosticsTestSession::start(
      {exe, mode, "--test-host", "192.168.7.7", "--test-port", "9000"}, environment));
  EXPECT_EQ(probe.terminations, 1);
  EXPECT_EQ(probe.exitStatus, 2);
}

}  // namespace
}  // namespace vantrel
