#include "Account/AccountLoginTypes.hpp"

#include <algorithm>
#include <string_view>

#include "Support/Text.hpp"

namespace vantrel {

std::vector<std::string> AccountManagerRoute::connectionHosts() const {
  std::vector<std::string> hosts;
  auto add = [&](std::string_view candidate) {
    auto host = text::trimmed(candidate);
    if (host.empty() || std::find(hosts.begin(), hosts.end(), host) != hosts.end()) return;
    hosts.push_back(std::move(host));
  };
  std::string_view inside = insideHost;
  while (true) {
    const auto comma = inside.find(',');
    add(inside.substr(0, comma));
    if (comma == std::string_view::npos) break;
    inside.remove_prefix(comma + 1);
  }
  add(publicHost);
  return hosts;
}

}  // namespace vantrel
