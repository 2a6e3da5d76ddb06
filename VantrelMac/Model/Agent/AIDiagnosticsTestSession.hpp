#pragma once

// The QA diagnostics mode: one connection to a test endpoint on the local network, named by
// "--test-host" (an IPv4 address in 192.168.0.0/16, written out) and "--test-port".

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Support/Async.hpp"

namespace vantrel {

// The endpoint holds the parsed address, never a name: nothing between the command line and the
// connection resolves it, so the run cannot be pointed outside the local network through DNS or
// the hosts file.
struct AIDiagnosticsEndpoint {
  std::array<std::uint8_t, 4> address{};
  std::uint16_t port = 0;

  // The address in its one canonical form, "192.168.1.20": what is connected to and logged.
  std::string host() const;

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
  // The network every test host must belong to: 192.168.0.0/16.
  static constexpr std::array<std::uint8_t, 2> requiredNetwork{192, 168};
  static constexpr std::string_view invalidEndpointLogLine = "AI_DIAGNOSTICS invalid explicit QA endpoint";
  // The exit status of a run that could not start: no or an invalid endpoint, or no run at all.
  static constexpr int invalidEndpointExitStatus = 2;

  // The value after each switch: a host written as an IPv4 address in 192.168.0.0/16 and a port
  // written as a decimal integer (an optional sign, no blanks) in 1…65535; nullopt when either is
  // missing or invalid.
  static std::optional<AIDiagnosticsEndpoint> endpoint(const std::vector<std::string>& arguments);

  // An IPv4 address written as exactly four decimal numbers 0…255 joined by dots, nothing else:
  // no sign, blank or other character, no empty part, and no leading zero (which other readers
  // take as octal, so "010" would name a different host there). Never resolved.
  static std::optional<std::array<std::uint8_t, 4>> parseIPv4(std::string_view text);

  // With a valid endpoint, starts the run as a task on the main executor and returns at once.
  // Otherwise logs "AI_DIAGNOSTICS invalid explicit QA endpoint" and requests termination with
  // status 2 (which takes effect once the event loop runs). Returns whether the run was started.
  static bool start(const std::vector<std::string>& arguments, const Environment& environment);
};

}  // namespace vantrel
