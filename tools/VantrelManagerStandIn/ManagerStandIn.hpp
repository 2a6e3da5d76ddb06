#pragma once

// A stand-in for the operator's manager program: listens on loopback, accepts agents, answers
// their authentication and plays a script of requests (system information, screen, input, files
// both ways, folder listing, clipboard). Everything it sees goes into a JSON report. The bytes it
// writes come from the test support's hand-written wire layouts, never from the agent's own
// builders, so a fault shared by a builder and its parser cannot hide.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel::standin {

struct StandInOptions {
  std::string address = "127.0.0.1";  // where it listens (a test's private namespace may give another)
  std::uint16_t port = 0;             // 0: an ephemeral port
  std::filesystem::path portFile;     // where the chosen port is written (optional)
  nlohmann::json script = nlohmann::json::array();
  std::filesystem::path reportPath;   // the JSON report (optional)
  std::filesystem::path picturePath;  // the last decoded picture as PNG (optional)
  std::filesystem::path fetchFolder;  // where files fetched from the agent are kept (optional)
  bool serve = false;                 // keep accepting agents after the script has run
  double stepTimeoutSeconds = 15.0;   // how long one step waits for the agent
  bool rejectAuthentication = false;  // answer every authentication with '0'
  // A manager behind a slow link: reads the agent at most this many bytes a second (0: as fast as
  // they come) through a receive buffer of this size (0: the system's).
  double readBytesPerSecond = 0;
  int receiveBufferBytes = 0;
  // One line per access unit received (optional; StreamLog.hpp says what a line holds).
  std::filesystem::path streamLogPath;
};

// Runs until the script is done (and, with `serve`, until `stop` is set). Returns 0 when every
// step succeeded, 1 otherwise. The report is written after the script and again on exit.
int runManagerStandIn(const StandInOptions& options, const std::atomic<bool>& stop);

}  // namespace vantrel::standin
