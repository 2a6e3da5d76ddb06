#include "Account/AccountLoginTypes.hpp"

#include <set>

#include <nlohmann/json.hpp>

#include "Support/JSONNesting.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

constexpr std::size_t maxRoutes = 5;
constexpr int maxSlot = 65536;

std::optional<int> integerIn(const nlohmann::json& value, std::int64_t low, std::int64_t high) {
  if (!value.is_number_integer()) return std::nullopt;
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(high) || static_cast<std::int64_t>(v) < low) return std::nullopt;
    return static_cast<int>(v);
  }
  const auto v = value.get<std::int64_t>();
  if (v < low || v > high) return std::nullopt;
  return static_cast<int>(v);
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

}  // namespace

AccountLoginResult parseAccountLoginAnswer(int status, std::string_view body) {
  if (status != 200) throw AccountLoginError::invalidHTTPStatus(status);
  if (body.size() > maxAccountLoginAnswerSize) throw AccountLoginError::invalidResponse();
  if (!jsonNestingWithin(body)) throw AccountLoginError::invalidResponse();
  const auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) throw AccountLoginError::invalidResponse();

  const auto* kind = member(json, "status");
  if (!kind || !kind->is_string()) throw AccountLoginError::invalidResponse();
  const auto* message = member(json, "message");
  if (!message || !message->is_string()) throw AccountLoginError::invalidResponse();

  if (*kind == "rejected") {
    auto text = message->get<std::string>();
    // A rejection without words would show the user an empty error.
    if (text::isBlank(text)) throw AccountLoginError::invalidResponse();
    throw AccountLoginError::serverRejected(std::move(text));
  }
  if (*kind != "ok") throw AccountLoginError::invalidResponse();

  const auto* slot = member(json, "assignedSlot");
  const auto* account = member(json, "accountID");
  const auto* routes = member(json, "routes");
  if (!slot || !account || !routes) throw AccountLoginError::invalidResponse();
  const auto slotValue = integerIn(*slot, 1, maxSlot);
  if (!slotValue || !account->is_string() || text::isBlank(account->get_ref<const std::string&>()) ||
      !routes->is_array() || routes->size() > maxRoutes) {
    throw AccountLoginError::invalidResponse();
  }

  AccountLoginResult result;
  result.assignedSlot = *slotValue;
  result.accountID = account->get<std::string>();
  result.serverMessage = message->get<std::string>();
  std::set<int> indices;
  for (const auto& item : *routes) {
    auto route = decodeAccountManagerRoute(item);
    if (!route || route->managerIndex < 1 || route->managerIndex > static_cast<int>(maxRoutes) ||
        !indices.insert(route->managerIndex).second) {
      throw AccountLoginError::invalidResponse();
    }
    result.routes.push_back(std::move(*route));
  }
  return result;
}

}  // namespace vantrel
