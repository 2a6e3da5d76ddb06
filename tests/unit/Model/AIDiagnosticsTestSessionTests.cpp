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

INSTANTIATE_TEST_SUITE_P(
    AIDiagnosticsTestSession, DiagnosticsEndpoint,
    ::testing::Values(
        EndpointCase{{exe, mode, "--test-host", "192.168.1.20", "--test-port", "65333"},
                     AIDiagnosticsEndpoint{"192.168.1.20", 65333}},
        EndpointCase{{exe, "--test-port", "1", mode, "--test-host", "192.168.0.1"},
                     AIDiagnosticsEndpoint{"192.168.0.1", 1}},
        EndpointCase{{exe, mode, "--test-host", "192.168.1.20", "--test-port", "+80"},
                     AIDiagnosticsEndpoint{"192.168.1.20", 80}},
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
  EXPECT_EQ(probe.ranWith, (AIDiagnosticsEndpoint{"192.168.7.7", 9000}));
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
