// Sign-in to connected, measured on the real program against the stand-ins.
//
//   DISPLAY=:N bench_SignInToConnected [rounds] [managers] [program]
//
// Each round starts a login-server stand-in for one account whose answer names `managers` manager
// stand-ins on loopback, and the program with AUTO LOGIN ("ALogin") and the password saved. The
// figure is the span in the program's own log (stamped to the millisecond) from "Automatic account
// login requested by startup intent" to the primary's "Endpoint selected and cached", plus the
// process's start to that line as seen from outside. Prints every round and the median;
// run it pinned (taskset) and alternate builds when comparing (`program` measures another build
// of the program; the stand-ins stay this build's).

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace fs = std::filesystem;
using vantrel::testing::ProgramProcess;
using vantrel::testing::TemporaryHome;

namespace {

// Milliseconds since midnight of the log line that contains `text` ("YYYY-MM-DD HH:MM:SS.mmm" opens
// the program's log lines).
std::optional<long> stampOf(const std::string& log, const std::string& text) {
  const auto at = log.find(text);
  if (at == std::string::npos) return std::nullopt;
  const auto lineStart = log.rfind('\n', at);
  const auto line = log.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 23);
  int h = 0, m = 0, s = 0, ms = 0;
  if (std::sscanf(line.c_str(), "%*d-%*d-%*d %2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4) return std::nullopt;
  return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

int portFile(const fs::path& path) {
  int port = 0;
  std::ifstream(path) >> port;
  return port;
}

struct Round {
  long inLog = 0;
  long fromStart = 0;
};

std::optional<Round> runRound(int managers, const std::string& program) {
  TemporaryHome home;
  const auto tmp = home.root() / "tmp";
  fs::create_directories(tmp);
  home.setEnv("TMPDIR", tmp.string());

  std::vector<std::unique_ptr<ProgramProcess>> standIns;
  std::vector<int> ports;
  for (int i = 0; i < managers; ++i) {
    const auto portPath = home.root() / ("manager" + std::to_string(i) + ".port");
    standIns.push_back(std::make_unique<ProgramProcess>(
        std::vector<std::string>{VANTREL_MANAGER_STANDIN, "--steps", R"([{"step":"comInfo"}])", "--port-file",
                                 portPath.string(), "--port", "0", "--serve"},
        ProgramProcess::Options{true, true}));
    if (!standIns.back()->waitForOutput("listening on 127.0.0.1:")) return std::nullopt;
    ports.push_back(portFile(portPath));
  }
  const auto login = vantrel::testing::startLoginServerNamingManagers(
      home, VANTREL_LOGIN_SERVER, VANTREL_CREDENTIAL_SEED, "bench", "bench password", ports);
  const auto started = std::chrono::steady_clock::now();
  ProgramProcess agent({program, "ALogin"}, ProgramProcess::Options{true, false});
  std::optional<Round> round;
  if (agent.waitForOutput("Endpoint selected and cached")) {
    const auto seen = std::chrono::steady_clock::now();
    const auto begin = stampOf(agent.output(), "Automatic account login requested by startup intent");
    const auto end = stampOf(agent.output(), "Endpoint selected and cached");
    if (begin && end) {
      round = Round{
          *end - *begin,
          static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(seen - started).count())};
    }
  }
  agent.signal(SIGTERM);
  agent.waitForExit();
  if (!round) std::fprintf(stderr, "round failed:\n%s\n", agent.output().c_str());
  return round;
}

long median(std::vector<long> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const int managers = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 8) : 1;
  const std::string program = argc > 3 ? argv[3] : VANTREL_MAC_EXECUTABLE;
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "bench: needs an X display (DISPLAY)\n");
    return 2;
  }
  std::vector<long> inLog, fromStart;
  for (int i = 0; i < rounds; ++i) {
    const auto round = runRound(managers, program);
    if (!round) return 1;
    inLog.push_back(round->inLog);
    fromStart.push_back(round->fromStart);
    std::printf("round %d: sign-in to connected %ld ms (process start to connected %ld ms)\n", i + 1,
                round->inLog, round->fromStart);
  }
  std::printf(
      "median over %d rounds, %d manager(s): sign-in to connected %ld ms, process start to connected %ld "
      "ms\n",
      rounds, managers, median(inLog), median(fromStart));
  return 0;
}
