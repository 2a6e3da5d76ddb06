#include "Model/Status/StatusEnvironment.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "AIChannel/AIChannelConfiguration.hpp"
#include "AIChannel/MacAIChannelBinding.hpp"
#include "Model/Connection/DesktopSessionCollaborators.hpp"
#include "Transport/DirectTCPTransport.hpp"

namespace vantrel {

DirectAuthClientFactory::DirectAuthClientFactory(Executor ioExecutor,
                                                 std::optional<std::string> bundleIdentifier,
                                                 std::shared_ptr<UpdateActivityGate> gate)
    : ioExecutor_(std::move(ioExecutor)),
      bundleIdentifier_(std::move(bundleIdentifier)),
      gate_(std::move(gate)) {}

std::shared_ptr<ManagerSessionClient> DirectAuthClientFactory::makePrimary() { return make(nullptr); }

std::shared_ptr<ManagerSessionClient> DirectAuthClientFactory::makeSecondary(
    std::shared_ptr<AIAccountLoginContext> context) {
  return make(std::move(context));
}

std::shared_ptr<ManagerSessionClient> DirectAuthClientFactory::make(
    std::shared_ptr<AIAccountLoginContext> context) {
  return makeClient(ioExecutor_, DirectTCPTransport::create(ioExecutor_, std::nullopt, connectTimeoutSeconds),
                    bundleIdentifier_, std::move(context), gate_);
}

std::shared_ptr<ManagerSessionClient> DirectAuthClientFactory::makeClient(
    Executor ioExecutor, std::shared_ptr<NetworkTransporting> transport,
    std::optional<std::string> bundleIdentifier, std::shared_ptr<AIAccountLoginContext> context,
    std::shared_ptr<UpdateActivityGate> gate) {
  const auto bundle = bundleIdentifier.value_or(std::string(AIChannelConfiguration::defaultBundleIdentifier));
  auto c = makeDesktopSessionCollaborators(
      ioExecutor, std::move(transport),
      makeMacAIChannelFactory({AIChannelConfiguration::load(bundle),
                               [bundle] { return AIChannelConfiguration::load(bundle); }, std::move(context),
                               nullptr}));
  c.updateActivityGate = std::move(gate);
  return std::make_shared<DirectAuthManagerSessionClient>(DirectAuthClient::create(std::move(c)));
}

std::optional<std::string> SystemHostInformation::localizedName() const {
  return AccountLoginSettings::currentHostLocalizedName();
}

std::vector<std::string> SystemHostInformation::addresses() const {
  std::vector<std::string> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return result;
  for (auto* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (entry->ifa_addr->sa_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) result.emplace_back(text);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) != nullptr) result.emplace_back(text);
    }
  }
  ::freeifaddrs(list);
  return result;
}

}  // namespace vantrel
