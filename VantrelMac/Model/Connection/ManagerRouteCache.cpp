#include "Model/Connection/ManagerRouteCache.hpp"

#include <limits>

#include <nlohmann/json.hpp>

#include "Model/Settings/UserDefaults.hpp"
#include "Support/JSONNesting.hpp"

namespace vantrel {
namespace {

using nlohmann::json;

// An integer number that fits the platform's Int; fractional numbers and text do not decode.
std::optional<std::int64_t> integerField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return UserDefaults::integerValue(*it);
}

std::optional<int> intField(const json& object, const char* key) {
  const auto value = integerField(object, key);
  if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

std::optional<std::string> stringField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<AccountManagerRoute> decodeRoute(const json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto index = intField(value, "managerIndex");
  auto inside = stringField(value, "insideHost");
  auto outside = stringField(value, "publicHost");
  const auto port = integerField(value, "port");
  if (!index || !inside || !outside || !port || *port < 0 || *port > 65535) return std::nullopt;
  return AccountManagerRoute{*index, std::move(*inside), std::move(*outside),
                             static_cast<std::uint16_t>(*port)};
}

}  // namespace

std::optional<std::string> ManagerRouteCache::encode() const {
  json routeArray = json::array();
  for (const auto& route : routes) {
    routeArray.push_back(json{{"managerIndex", route.managerIndex},
                              {"insideHost", route.insideHost},
                              {"publicHost", route.publicHost},
                              {"port", route.port}});
  }
  const json document{{"version", version},
                      {"accountID", accountID},
                      {"assignedSlot", assignedSlot},
                      {"primaryManagerIndex", primaryManagerIndex},
                      {"routes", std::move(routeArray)}};
  try {
    return document.dump();
  } catch (const json::exception&) {
    return std::nullopt;  // a text that is not valid UTF-8
  }
}

std::optional<ManagerRouteCache> ManagerRouteCache::decode(ByteView bytes) {
  if (!jsonNestingWithin(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
    return std::nullopt;
  }
  const auto document = json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  ManagerRouteCache cache;
  const auto version = intField(document, "version");
  auto account = stringField(document, "accountID");
  const auto slot = intField(document, "assignedSlot");
  const auto primary = intField(document, "primaryManagerIndex");
  const auto routes = document.find("routes");
  if (!version || !account || !slot || !primary || routes == document.end() || !routes->is_array()) {
    return std::nullopt;
  }
  cache.version = *version;
  cache.accountID = std::move(*account);
  cache.assignedSlot = *slot;
  cache.primaryManagerIndex = *primary;
  cache.routes.reserve(routes->size());
  for (const auto& item : *routes) {
    auto route = decodeRoute(item);
    if (!route) return std::nullopt;
    cache.routes.push_back(std::move(*route));
  }
  return cache;
}

bool ManagerRouteCache::isAcceptable() const {
  if (version != currentVersion) return false;
  if (assignedSlot < 1 || assignedSlot > 65536) return false;
  if (accountID.empty() || routes.empty()) return false;
  for (const auto& route : routes) {
    if (route.managerIndex == primaryManagerIndex) return true;
  }
  return false;
}

void ManagerRouteCache::save(UserDefaults& defaults) const {
  const auto document = encode();
  if (!document) return;  // nothing is written; the previous cache stays
  defaults.setData(std::string(key), asBytes(*document));
}

std::optional<ManagerRouteCache> ManagerRouteCache::load(const UserDefaults& defaults) {
  const auto stored = defaults.data(key);
  if (!stored) return std::nullopt;
  auto cache = decode(*stored);
  if (!cache || !cache->isAcceptable()) return std::nullopt;
  return cache;
}

}  // namespace vantrel
