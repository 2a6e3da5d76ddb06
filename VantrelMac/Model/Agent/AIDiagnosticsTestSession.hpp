#pragma once

// The QA diagnostics mode: one connection to a test endpoint on the local network, named by
// "--test-host" (which must begin with "192.168.") and "--test-port".

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Support/Async.hpp"

namespace vantrel {

struct AIDiagnosticsEndpoint {
  std::string host;
  std::uint16_t port = 0;

  friend bool operator==(const AIDiagnosticsEndpoint&, const AIDiagnosticsEndpoint&) = default;
};

class AIDiagnosticsTestSession {
 public:
  // What `start` needs from the program: the main executor, a queued request to end the event
  // loop with an exit status, and the diagnostics run itself.
  struct Environment {
    Executor mainExecutor;
    std::function<void(int exitStatus)> terminate;
    // Runs the diagnostics against the endpoint and ends the program through `terminate` when
    // it is done. Its coroutine must keep nothing but its parameters (the function object itself
    // may be gone before the run ends).
    std::function<Awaitable<void>(AIDiagnosticsEndpoint, std::function<void(int exitStatus)> terminate)> run;
  };

  static constexpr std::string_view hostSwitch = "--test-host";
  static constexpr std::string_view portSwitch = "--test-port";
  static constexpr std::string_view requiredHostPrefix = "192.168.";
  static constexpr std::string_view invalidEndpointLogLine = "AI_DIAGNOSTICS invalid explicit QA endpoint";
  // The exit status of a run that could not start: no or an invalid endpoint, or no run at all.
  static constexpr int invalidEndpointExitStatus = 2;

  // The value after each switch: a host beginning with "192.168." and a port written as a
  // decimal integer (an optional sign, no blanks) in 1…65535; nullopt when either is missing or
  // invalid.
  static std::optional<AIDiagnosticsEndpoint> endpoint(const std::vector<std::string>& arguments);

  // With a valid endpoint, starts the run as a task on the main executor and returns at once.
  // Otherwise logs "AI_DIAGNOSTICS invalid explicit QA endpoint" and requests termination with
  // status 2 (which takes effect once the event loop runs). Returns whether the run was started.
  static bool start(const std::vector<std::string>& arguments, const Environment& environment);
};

}  // namespace vantrel
