#include "Transport/XPCPeerPolicy.hpp"

#include <filesystem>

namespace vantrel::XPCPeerPolicy {
namespace {

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string requirementOpening() {
  return std::string("anchor apple generic and certificate leaf[subject.OU] = ") + inQuotes(teamID);
}

}  // namespace

const std::vector<std::string>& clientIDs() {
  static const std::vector<std::string> ids{"local.vantrel.VantrelMac",
                                            "local.vantrel.VantrelMacSessionAgent"};
  return ids;
}

std::string daemonRequirement() { return requirementOpening() + " and identifier " + inQuotes(daemonID); }

std::string clientRequirement() {
  std::string clauses;
  for (const auto& id : clientIDs()) {
    if (!clauses.empty()) clauses += " or ";
    clauses += "identifier " + inQuotes(id);
  }
  return requirementOpening() + " and (" + clauses + ")";
}

bool validateSyntax(std::string_view requirement) {
  return CodeRequirement::compile(requirement).has_value();
}

std::optional<CodeIdentity> installedProgramIdentity(const PeerCredentials& peer) {
  if (peer.executable.empty()) return std::nullopt;
  std::error_code ec;
  const auto own = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  const auto program = std::filesystem::weakly_canonical(peer.executable, ec);
  if (ec || program.parent_path() != own.parent_path()) return std::nullopt;
  if (!isTrustedInstallation(program)) return std::nullopt;
  return CodeIdentity{teamID, "local.vantrel." + program.filename().string()};
}

}  // namespace vantrel::XPCPeerPolicy
