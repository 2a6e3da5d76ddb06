#include "Model/Agent/AIDiagnosticsTestSession.hpp"

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

std::optional<AIDiagnosticsEndpoint> AIDiagnosticsTestSession::endpoint(
    const std::vector<std::string>& arguments) {
  const auto host = valueAfter(arguments, hostSwitch);
  const auto portText = valueAfter(arguments, portSwitch);
  if (!host || !portText) return std::nullopt;
  if (host->size() <= requiredHostPrefix.size() ||
      host->compare(0, requiredHostPrefix.size(), requiredHostPrefix) != 0) {
    return std::nullopt;
  }
  // A port that no connection could use is as invalid as a missing one.
  if (text::trimmed(*portText) != *portText) return std::nullopt;
  const auto port = DirectConnectionFormParser::parsePort(*portText);
  if (!port) return std::nullopt;
  return AIDiagnosticsEndpoint{*host, *port};
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
  spawnTask(environment.mainExecutor, environment.run(*target, environment.terminate), "AI diagnostics run");
  return true;
}

}  // namespace vantrel
