#include "Model/Agent/AIDiagnosticsTestSession.hpp"

#include <fmt/format.h>

#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Model/Status/DiagnosticLog.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

// The element after the switch, when there is one.
std::optional<std::string> valueAfter(const std::vector<std::string>& arguments,
                                      std::string_view switchText) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == switchText) return arguments[i + 1];
  }
  return std::nullopt;
}

}  // namespace

std::string AIDiagnosticsEndpoint::host() const {
  return fmt::format("{}.{}.{}.{}", address[0], address[1], address[2], address[3]);
}

std::optional<std::array<std::uint8_t, 4>> AIDiagnosticsTestSession::parseIPv4(std::string_view text) {
  std::array<std::uint8_t, 4> address{};
  std::size_t part = 0;
  std::size_t position = 0;
  for (;;) {
    const auto start = position;
    unsigned value = 0;
    // At most three digits: a longer run is out of range however it goes on.
    while (position < text.size() && position - start < 3 && text[position] >= '0' && text[position] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[position] - '0');
      ++position;
    }
    const auto digits = position - start;
    if (digits == 0 || value > 255) return std::nullopt;
    if (digits > 1 && text[start] == '0') return std::nullopt;
    address[part] = static_cast<std::uint8_t>(value);
    if (++part == address.size()) break;
    if (position >= text.size() || text[position] != '.') return std::nullopt;
    ++position;
  }
  if (position != text.size()) return std::nullopt;
  return address;
}

std::optional<AIDiagnosticsEndpoint> AIDiagnosticsTestSession::endpoint(
    const std::vector<std::string>& arguments) {
  const auto host = valueAfter(arguments, hostSwitch);
  const auto portText = valueAfter(arguments, portSwitch);
  if (!host || !portText) return std::nullopt;
  const auto address = parseIPv4(*host);
  if (!address || (*address)[0] != requiredNetwork[0] || (*address)[1] != requiredNetwork[1]) {
    return std::nullopt;
  }
  // A port that no connection could use is as invalid as a missing one.
  if (text::trimmed(*portText) != *portText) return std::nullopt;
  const auto port = DirectConnectionFormParser::parsePort(*portText);
  if (!port) return std::nullopt;
  return AIDiagnosticsEndpoint{*address, *port};
}

bool AIDiagnosticsTestSession::start(const std::vector<std::string>& arguments,
                                     const Environment& environment) {
  const auto target = endpoint(arguments);
  if (!target) {
    programLog().error("{}", invalidEndpointLogLine);
    if (environment.terminate) environment.terminate(invalidEndpointExitStatus);
    return false;
  }
  if (!environment.run) {
    programLog().error("AI_DIAGNOSTICS no diagnostics run is available");
    if (environment.terminate) environment.terminate(invalidEndpointExitStatus);
    return false;
  }
  spawnTask(environment.mainExecutor, environment.run(*target, environment.terminate), "AI diagnostics run",
            TaskStart::afterCaller);
  return true;
}

}  // namespace vantrel
