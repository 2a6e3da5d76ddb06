#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Update/CodeRequirement.hpp"

namespace vantrel {

// How the agent recognises the relay daemon, and how the daemon can recognise the agent's
// programs: code requirements over the product's team and program identifiers.
namespace XPCPeerPolicy {

inline constexpr const char* teamID = "M7Q3XK9ZLD";
inline constexpr const char* daemonID = "local.vantrel.VantrelMacDaemon";
// The agent's two code identities, in this order.
const std::vector<std::string>& clientIDs();

// anchor apple generic and certificate leaf[subject.OU] = "M7Q3XK9ZLD" and identifier
// "local.vantrel.VantrelMacDaemon"
std::string daemonRequirement();
// anchor apple generic and certificate leaf[subject.OU] = "M7Q3XK9ZLD" and (identifier
// "local.vantrel.VantrelMac" or identifier "local.vantrel.VantrelMacSessionAgent")
std::string clientRequirement();

// True when the text compiles into a code requirement.
bool validateSyntax(std::string_view requirement);

// The identity of an installed program of the product. The product's programs are installed in
// one folder, beside the running executable; a program there, of a trusted installation, is
// "local.vantrel." + its file name with the product's team. Anything else has no identity.
std::optional<CodeIdentity> installedProgramIdentity(const PeerCredentials& peer);

}  // namespace XPCPeerPolicy

}  // namespace vantrel
