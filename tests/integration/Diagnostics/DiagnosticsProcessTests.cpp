#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/AsyncTest.hpp"
#include "support/ChildProcess.hpp"
#include "support/PrivateXServer.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ProgramProcess;
using namespace testing::programs;

// The test endpoint's address: it exists only on the loopback interface of the namespace that
// each test makes for itself, so nothing ever leaves this machine.
const std::string testAddress = "192.168.77.1";

// Runs `body` on a thread of its own inside a new network namespace (with the loopback interface
// up and the test address on it); every process the body starts lives in that namespace. Returns
// why it could not, or an empty text.
std::string inPrivateNetwork(const std::function<void()>& body) {
  std::string skipReason;
  std::thread scenario([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skipReason =
          std::string("network namespaces are not permitted here (unshare: ") + std::strerror(errno) + ")";
      return;
    }
    if (testing::runProgram({"ip", "link", "set", "lo", "up"}) != 0 ||
        testing::runProgram({"ip", "addr", "add", testAddress + "/32", "dev", "lo"}) != 0) {
      skipReason = "the namespace's loopback interface could not be set up (ip)";
      return;
    }
    body();
  });
  scenario.join();
  return skipReason;
}

// Inside the namespace of `inPrivateNetwork`: gives the calling thread (and what it starts) a mount
// namespace of its own in which `hosts` is the hosts file. Returns why it could not, or an empty text.
std::string withHostsFile(const fs::path& hosts) {
  if (::unshare(CLONE_NEWNS) != 0) {
    return std::string("mount namespaces are not permitted here (unshare: ") + std::strerror(errno) + ")";
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    return std::string("the hosts file could not be replaced (mount: ") + std::strerror(errno) + ")";
  }
  return {};
}

class DiagnosticsProcess : public ::testing::Test {
 protected:
  // The saved direct connection whose user ID and connection number the run uses.
  void SetUp() override {
    const auto folder = home_.path() / ".config" / "local.vantrel.VantrelMac";
    fs::create_directories(folder);
    std::ofstream(folder / "defaults.json") << nlohmann::json{
        {"VantrelMac.directConnection.host", "10.9.9.9"},
        {"VantrelMac.directConnection.port", 65333},
        {"VantrelMac.directConnection.userID", "qa-diag"},
        {"VantrelMac.directConnection.connectionNumber",
         6}}.dump();
  }

  std::unique_ptr<ProgramProcess> startManager(const std::vector<std::string>& extra,
                                               const std::string& address = testAddress) {
    std::vector<std::string> arguments{standInPath,         "--address", address,          "--port-file",
                                       portFile().string(), "--report",  report().string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto manager = std::make_unique<ProgramProcess>(arguments, ProgramProcess::Options{true, true});
    EXPECT_TRUE(manager->waitForOutput("listening on " + address + ":")) << manager->output();
    return manager;
  }
  std::string port() const {
    int value = 0;
    std::ifstream(portFile()) >> value;
    return std::to_string(value);
  }
  std::unique_ptr<ProgramProcess> startDiagnostics(const std::string& portText,
                                                   const std::string& host = testAddress,
                                                   ProgramProcess::Options options = {}) {
    return std::make_unique<ProgramProcess>(
        std::vector<std::string>{programPath, "--ai-diagnostics-test", "--test-host", host, "--test-port",
                                 portText},
        options);
  }
  std::string logFile() const {
    std::ifstream in(home_.path() / ".local" / "state" / "VantrelMac.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  fs::path portFile() const { return home_.root() / "manager.port"; }
  fs::path report() const { return home_.root() / "manager.json"; }

  testing::TemporaryHome home_;
};

bool has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The text of the diagnostics log's last line, without its time stamp.
std::string lastLine(std::string log) {
  if (!log.empty() && log.back() == '\n') log.pop_back();
  const auto start = log.rfind('\n');
  auto line = start == std::string::npos ? log : log.substr(start + 1);
  const auto space = line.find(' ');
  return space == std::string::npos ? line : line.substr(space + 1);
}

TEST_F(DiagnosticsProcess, AuthenticatesServesTheManagerAndEndsWithStatusZeroWhenItCloses) {
  std::string output;
  std::optional<int> status;
  nlohmann::json seen;
  const auto skip = inPrivateNetwork([&] {
    // The manager asks for the system information once, then closes the connection.
    auto manager = startManager({"--steps", R"([{"step": "comInfo"}])"});
    auto program = startDiagnostics(port());
    status = program->waitForExit();
    output = program->output();
    manager->waitForExit();
    std::ifstream in(report());
    seen = nlohmann::json::parse(in, nullptr, false);
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(status, 0)) << output;
  for (const auto* line : {"Auth accepted", "AI_DIAGNOSTICS authenticated at 192.168.77.1:",
                           "AI_DIAGNOSTICS the manager closed the connection", "AI_DIAGNOSTICS finished"}) {
    EXPECT_TRUE(has(output, line)) << line << "\n" << output;
    EXPECT_TRUE(has(logFile(), line)) << line << "\n" << logFile();
  }
  EXPECT_EQ(lastLine(logFile()), "AI_DIAGNOSTICS finished") << logFile();
  // Once, with the saved identity.
  ASSERT_FALSE(seen.is_discarded());
  ASSERT_EQ(seen["authentications"].size(), 1u) << seen.dump(2);
  EXPECT_EQ(seen["authentications"][0]["userID"], "qa-diag");
  EXPECT_EQ(seen["authentications"][0]["comNum"], 6);
  EXPECT_EQ(seen["basicKinds"].size(), 1u) << "the system-information reply: " << seen.dump(2);
}

TEST_F(DiagnosticsProcess, NothingListeningEndsWithStatusOneAndTheReason) {
  std::string output;
  std::optional<int> status;
  std::chrono::steady_clock::duration took{};
  const auto skip = inPrivateNetwork([&] {
    const auto started = std::chrono::steady_clock::now();
    auto program = startDiagnostics("9");  // nothing listens on the discard port here
    status = program->waitForExit();
    took = std::chrono::steady_clock::now() - started;
    output = program->output();
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(status, 1)) << output;
  EXPECT_TRUE(has(output, "AI_DIAGNOSTICS could not authenticate at 192.168.77.1:9: ")) << output;
  EXPECT_FALSE(has(output, "AI_DIAGNOSTICS finished")) << output;
  // The result is the log's last line, after the connect failure and the closing that explain it.
  const auto log = logFile();
  EXPECT_TRUE(lastLine(log).starts_with("AI_DIAGNOSTICS could not authenticate at 192.168.77.1:9: ")) << log;
  EXPECT_LT(log.find("TCP connect failed"), log.find("AI_DIAGNOSTICS could not authenticate")) << log;
  EXPECT_LT(log.find("Disconnected"), log.find("AI_DIAGNOSTICS could not authenticate")) << log;
  // The refusal itself is the reason, not the time-out: there is no retry to wait for.
  EXPECT_TRUE(has(output, "refused")) << output;
  RecordProperty("milliseconds",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(DiagnosticsProcess, ARejectedAuthenticationEndsWithStatusOne) {
  std::string output;
  std::optional<int> status;
  nlohmann::json seen;
  const auto skip = inPrivateNetwork([&] {
    auto manager = startManager({"--reject", "--steps", "[]", "--step-timeout", "30"});
    auto program = startDiagnostics(port());
    status = program->waitForExit();
    output = program->output();
    std::ifstream in(report());
    seen = nlohmann::json::parse(in, nullptr, false);
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(status, 1)) << output;
  EXPECT_TRUE(has(output, "Auth rejected")) << output;
  EXPECT_TRUE(has(output, "AI_DIAGNOSTICS could not authenticate at 192.168.77.1:")) << output;
  const auto log = logFile();
  EXPECT_TRUE(lastLine(log).starts_with("AI_DIAGNOSTICS could not authenticate at 192.168.77.1:")) << log;
  EXPECT_LT(log.find("Auth rejected"), log.find("AI_DIAGNOSTICS could not authenticate")) << log;
}

// The diagnostics log's lines whose text, after the time stamp, is exactly `text`.
std::size_t linesReading(const std::string& log, std::string_view text) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < log.size()) {
    auto end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string_view line(log.data() + start, end - start);
    const auto space = line.find(' ');
    if (space != std::string_view::npos && line.substr(space + 1) == text) ++count;
    start = end + 1;
  }
  return count;
}

// A manager on the test address that takes one connection, waits for the agent's first bytes
// (its authentication frame) and resets the connection instead of answering.
class ResettingManager {
 public:
  ResettingManager() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, testAddress.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd_, 1) == 0 && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~ResettingManager() {
    if (fd_ >= 0) ::close(fd_);
  }
  ResettingManager(const ResettingManager&) = delete;
  ResettingManager& operator=(const ResettingManager&) = delete;

  bool listens() const { return port_ != 0; }
  std::string port() const { return std::to_string(port_); }

  // False when no connection came, or it sent nothing, within the hang guard.
  bool resetAfterTheFirstBytes() const {
    const int guard = static_cast<int>(std::chrono::milliseconds(testing::hangGuard).count());
    pollfd listening{fd_, POLLIN, 0};
    if (::poll(&listening, 1, guard) != 1) return false;
    const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return false;
    pollfd reading{connection, POLLIN, 0};
    char bytes[256];
    const bool spoke = ::poll(&reading, 1, guard) == 1 && ::read(connection, bytes, sizeof bytes) > 0;
    const linger abort{1, 0};  // closing now sends a reset
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(connection);
    return spoke;
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// A failed attempt reports the session's closing once: the run's own disconnect after the failure
// adds no second "Disconnected".
TEST_F(DiagnosticsProcess, ARefusedConnectionLogsTheClosingOnce) {
  std::string output;
  std::optional<int> status;
  const auto skip = inPrivateNetwork([&] {
    auto program = startDiagnostics("9");  // nothing listens on the discard port here
    status = program->waitForExit();
    output = program->output();
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(status, 1)) << output;
  EXPECT_TRUE(has(output, "refused")) << output;
  const auto log = logFile();
  EXPECT_EQ(linesReading(log, "Disconnected"), 1u) << log;
  EXPECT_TRUE(lastLine(log).starts_with("AI_DIAGNOSTICS could not authenticate at 192.168.77.1:9: ")) << log;
}

TEST_F(DiagnosticsProcess, AResetDuringAuthenticationLogsTheClosingOnce) {
  std::string output;
  std::optional<int> status;
  bool listened = false;
  bool reset = false;
  const auto skip = inPrivateNetwork([&] {
    const ResettingManager manager;
    listened = manager.listens();
    if (!listened) return;
    auto program = startDiagnostics(manager.port());
    reset = manager.resetAfterTheFirstBytes();
    status = program->waitForExit();
    output = program->output();
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(listened) << "the resetting manager cannot listen on " << testAddress;
  ASSERT_TRUE(reset) << output;
  EXPECT_TRUE(testing::exitedWith(status, 1)) << output;
  EXPECT_TRUE(has(output, "Connection reset by peer")) << output;
  const auto log = logFile();
  EXPECT_EQ(linesReading(log, "Disconnected"), 1u) << log;
  EXPECT_TRUE(lastLine(log).starts_with("AI_DIAGNOSTICS could not authenticate at 192.168.77.1:")) << log;
}

// A host given by name is never resolved, even when the name begins like a local address: here the
// hosts file maps "192.168.evil.test" to an address outside the local network where a manager
// listens, and the run refuses the endpoint without connecting.
TEST_F(DiagnosticsProcess, ANameThatLooksLikeALocalAddressIsRefusedWithoutConnecting) {
  const std::string outsideAddress = "10.66.0.1";
  const auto hosts = home_.root() / "hosts";
  std::ofstream(hosts) << "127.0.0.1 localhost\n" << outsideAddress << " 192.168.evil.test\n";
  std::string setupFailure;
  std::string output;
  std::string managerOutput;
  std::optional<int> status;
  const auto skip = inPrivateNetwork([&] {
    setupFailure = withHostsFile(hosts);
    if (!setupFailure.empty()) return;
    if (testing::runProgram({"ip", "addr", "add", outsideAddress + "/32", "dev", "lo"}) != 0) {
      setupFailure = "the outside address could not be added (ip)";
      return;
    }
    // The name does lead to the listening manager here.
    if (testing::runProgram({"getent", "hosts", "192.168.evil.test"}) != 0) {
      setupFailure = "the replaced hosts file is not read (getent)";
      return;
    }
    auto manager =
        startManager({"--steps", R"([{"step": "comInfo"}])", "--step-timeout", "30"}, outsideAddress);
    auto program = startDiagnostics(port(), "192.168.evil.test");
    status = program->waitForExit();
    output = program->output();
    manager->signal(SIGTERM);
    manager->waitForExit();
    managerOutput = manager->output();
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  if (!setupFailure.empty()) GTEST_SKIP() << setupFailure;
  EXPECT_TRUE(testing::exitedWith(status, 2)) << output;
  EXPECT_TRUE(has(output, "AI_DIAGNOSTICS invalid explicit QA endpoint")) << output;
  EXPECT_FALSE(has(output, "AI_DIAGNOSTICS connecting")) << output;
  EXPECT_FALSE(has(managerOutput, "agent 0")) << managerOutput;
}

// Told to quit in the middle of a run, the program closes the session and ends cleanly (the
// sanitize build checks that nothing of the session outlives the runtime it ran on).
TEST_F(DiagnosticsProcess, AQuitSignalDuringTheRunClosesTheSessionAndEndsCleanly) {
  std::string output;
  std::optional<int> status;
  const auto skip = inPrivateNetwork([&] {
    auto manager = startManager(
        {"--steps", R"([{"step": "comInfo"}, {"step": "wait", "seconds": 60}])", "--step-timeout", "90"});
    auto program = startDiagnostics(port());
    EXPECT_TRUE(program->waitForOutput("AI_DIAGNOSTICS authenticated at")) << program->output();
    EXPECT_TRUE(manager->waitForOutput("step comInfo ok")) << manager->output();
    program->signal(SIGTERM);
    status = program->waitForExit();
    output = program->output();
    EXPECT_TRUE(manager->waitForOutput("agent 0 disconnected")) << manager->output();
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(status, 0)) << output;
  EXPECT_FALSE(has(output, "AI_DIAGNOSTICS finished")) << output;
  EXPECT_FALSE(has(output, "unexpectedly")) << output;
  // Stopped, and said so after the session's closing.
  const auto log = logFile();
  EXPECT_TRUE(has(log, "Disconnected\n")) << log;
  EXPECT_EQ(lastLine(log), "AI_DIAGNOSTICS stopped: the program is quitting") << log;
}

// The run's X server is killed and started again between the manager's input events, as when the
// desktop's X server restarts during a session, and the session's io threads take the events in
// turn: after every restart the run still answers input and system-information requests, and
// it ends cleanly when the manager closes.
TEST_F(DiagnosticsProcess, KeepsAnsweringAcrossXServerRestartsBetweenInputEvents) {
  constexpr int cycles = 10;
  const auto gate = [&](int cycle, const char* what) {
    return (home_.root() / ("x-server-" + std::to_string(cycle) + "-" + what)).string();
  };
  const auto move = [](int x, int y) { return nlohmann::json{{"step", "move"}, {"x", x}, {"y", y}}; };
  nlohmann::json steps = nlohmann::json::array();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    steps.push_back(move(10 + cycle, 20));
    steps.push_back({{"step", "waitForFile"}, {"path", gate(cycle, "stopped")}});
    steps.push_back(move(20 + cycle, 30));  // meets the lost connection
    steps.push_back({{"step", "waitForFile"}, {"path", gate(cycle, "restarted")}});
    steps.push_back({{"step", "comInfo"}});
    steps.push_back(move(30 + cycle, 40));
    steps.push_back({{"step", "comInfo"}});
  }
  std::string output;
  std::string managerOutput;
  std::optional<int> status;
  std::optional<int> managerStatus;
  nlohmann::json seen;
  const auto skip = inPrivateNetwork([&] {
    testing::PrivateXServer server;
    testing::DisplayOverride useServer(server.displayName());
    auto manager = startManager({"--steps", steps.dump(), "--step-timeout", "20"});
    auto program = startDiagnostics(port(), testAddress, ProgramProcess::Options{true, true});
    for (int cycle = 0; cycle < cycles; ++cycle) {
      SCOPED_TRACE("cycle " + std::to_string(cycle));
      if (!manager->waitForOutput("waiting for " + gate(cycle, "stopped"))) break;
      server.stop();
      std::ofstream(gate(cycle, "stopped")).put('\n');
      // An event meets the broken connection before the server comes back.
      if (!program->waitForOutput("Remote input ignored: ", static_cast<std::size_t>(cycle) + 1)) break;
      server.restart();
      std::ofstream(gate(cycle, "restarted")).put('\n');
    }
    managerStatus = manager->waitForExit();
    managerOutput = manager->output();
    status = program->waitForExit();
    output = program->output();
    std::ifstream in(report());
    seen = nlohmann::json::parse(in, nullptr, false);
  });
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_TRUE(testing::exitedWith(managerStatus, 0)) << managerOutput << "\n" << output;
  ASSERT_FALSE(seen.is_discarded());
  EXPECT_EQ(seen["steps"].size(), steps.size()) << seen.dump(2);
  EXPECT_EQ(seen["basicKinds"].size(), 1u) << seen.dump(2);
  for (const auto& [kind, count] : seen["basicKinds"].items()) {
    EXPECT_EQ(count, 2 * cycles) << "system-information replies: " << seen.dump(2);
  }
  EXPECT_TRUE(testing::exitedWith(status, 0)) << output;
  EXPECT_TRUE(has(output, "AI_DIAGNOSTICS the manager closed the connection")) << output;
  EXPECT_FALSE(has(output, "without teardown")) << output;
}

// A manager asks for the screen of a 30-bit display, which the capture refuses, in the rhythm
// that overlaps the agent's own display questions with the delayed start and its refusal: a
// request, a pause about as long as the start delay, then at random an end at once or soon after,
// nothing, or request and end together. Each request opens and closes the agent's display
// connections on several threads at once; the run keeps answering and ends cleanly.
TEST_F(DiagnosticsProcess, ScreenRequestsARefusedCaptureMeetsInAnyRhythmEndCleanly) {
  constexpr int sessions = 2;
  constexpr int requestsPerSession = 40;
  std::mt19937 random(20261207);  // fixed: the same script every run
  const auto between = [&](double low, double high) {
    return std::uniform_real_distribution(low, high)(random);
  };
  for (int session = 0; session < sessions; ++session) {
    SCOPED_TRACE("session " + std::to_string(session));
    nlohmann::json steps = nlohmann::json::array({{{"step", "comInfo"}}});
    for (int request = 0; request < requestsPerSession; ++request) {
      const double shape = between(0, 1);
      const double pauseSeconds = between(0.10, 0.22);
      nlohmann::json screen = {{"step", "screenRequest"}, {"width", 1920}, {"height", 1080}};
      if (shape < 0.4) {
        screen["seconds"] = pauseSeconds;
        steps.push_back(screen);
        steps.push_back({{"step", "screenEnd"}, {"seconds", between(0, 1) < 0.5 ? 0.0 : between(0, 0.05)}});
      } else if (shape < 0.8) {
        screen["seconds"] = pauseSeconds;
        steps.push_back(screen);
      } else {
        steps.push_back(screen);
        steps.push_back({{"step", "screenEnd"}, {"seconds", pauseSeconds}});
      }
    }
    steps.push_back({{"step", "comInfo"}});
    std::string output;
    std::optional<int> status;
    std::optional<int> managerStatus;
    nlohmann::json seen;
    const auto skip = inPrivateNetwork([&] {
      testing::PrivateXServer server(1920, 1080, {}, 30);
      testing::DisplayOverride useServer(server.displayName());
      auto manager = startManager({"--steps", steps.dump(), "--step-timeout", "20"});
      auto program = startDiagnostics(port(), testAddress, ProgramProcess::Options{true, true});
      // The program's output is read while it runs: it logs every request.
      status = program->waitForExit();
      output = program->output();
      managerStatus = manager->waitForExit();
      std::ifstream in(report());
      seen = nlohmann::json::parse(in, nullptr, false);
    });
    if (!skip.empty()) GTEST_SKIP() << skip;
    EXPECT_TRUE(testing::exitedWith(managerStatus, 0)) << seen.dump(2) << "\n" << output;
    EXPECT_TRUE(testing::exitedWith(status, 0)) << output;
    ASSERT_FALSE(seen.is_discarded());
    EXPECT_EQ(seen["steps"].size(), steps.size()) << seen.dump(2);
    // The capture of that display was refused, never started.
    EXPECT_TRUE(has(output, "Screen stream start failed")) << output;
    EXPECT_EQ(seen["screen"]["units"], 0) << seen.dump(2);
    EXPECT_TRUE(has(output, "AI_DIAGNOSTICS the manager closed the connection")) << output;
  }
}

}  // namespace
}  // namespace vantrel
