#include <gtest/gtest.h>

#include "Model/Connection/ManagerRouteCache.hpp"
#include "Model/Settings/UserDefaults.hpp"

namespace vantrel {
namespace {

using Value = UserDefaults::Value;

Value document(Value overrides = Value::object()) {
  Value doc{
      {"version", 1},
      {"accountID", "acct"},
      {"assignedSlot", 7},
      {"primaryManagerIndex", 1},
      {"routes",
       Value::array(
           {Value{{"managerIndex", 1},
                  {"insideHost", "10.0.0.1,10.0.0.2"},
                  {"publicHost", "m1.example"},
                  {"port", 65333}},
            Value{{"managerIndex", 3}, {"insideHost", ""}, {"publicHost", "m3.example"}, {"port", 1}}})}};
  for (auto& [key, value] : overrides.items()) {
    if (value.is_null()) {
      doc.erase(key);
    } else {
      doc[key] = value;
    }
  }
  return doc;
}

InMemoryUserDefaults storing(std::string_view bytes) {
  InMemoryUserDefaults defaults;
  defaults.setData(std::string(ManagerRouteCache::key), asBytes(bytes));
  return InMemoryUserDefaults(defaults.snapshot());
}

struct CacheCase {
  const char* name;
  std::string stored;
  bool accepted;
};

class RouteCacheLoad : public ::testing::TestWithParam<CacheCase> {};

TEST_P(RouteCacheLoad, AcceptsOnlyAStrictAndPlausibleDocument) {
  auto defaults = storing(GetParam().stored);
  const auto before = defaults.snapshot();
  EXPECT_EQ(ManagerRouteCache::load(defaults).has_value(), GetParam().accepted) << GetParam().stored;
  // A rejected cache stays stored as it was.
  EXPECT_EQ(defaults.snapshot(), before);
}

Value withRoutePort(Value port) {
  auto doc = document();
  doc["routes"][0]["port"] = std::move(port);
  return doc;
}

Value withoutRouteKey(const char* key) {
  auto doc = document();
  doc["routes"][1].erase(key);
  return doc;
}

INSTANTIATE_TEST_SUITE_P(
    ManagerRouteCache, RouteCacheLoad,
    ::testing::Values(
        CacheCase{"Valid", document().dump(), true}, CacheCase{"NotJSON", "not json", false},
        CacheCase{"Truncated", document().dump().substr(0, 40), false}, CacheCase{"Array", "[]", false},
        CacheCase{"NoRoutes", document({{"routes", nullptr}}).dump(), false},
        CacheCase{"NoVersion", document({{"version", nullptr}}).dump(), false},
        CacheCase{"NoAccount", document({{"accountID", nullptr}}).dump(), false},
        CacheCase{"NoSlot", document({{"assignedSlot", nullptr}}).dump(), false},
        CacheCase{"NoPrimary", document({{"primaryManagerIndex", nullptr}}).dump(), false},
        CacheCase{"Version2", document({{"version", 2}}).dump(), false},
        CacheCase{"VersionAsText", document({{"version", "1"}}).dump(), false},
        CacheCase{"VersionFractional", document({{"version", 1.5}}).dump(), false},
        CacheCase{"Slot0", document({{"assignedSlot", 0}}).dump(), false},
        CacheCase{"Slot1", document({{"assignedSlot", 1}}).dump(), true},
        CacheCase{"Slot65536", document({{"assignedSlot", 65536}}).dump(), true},
        CacheCase{"Slot65537", document({{"assignedSlot", 65537}}).dump(), false},
        CacheCase{"SlotHuge", document({{"assignedSlot", std::uint64_t{18446744073709551615ULL}}}).dump(),
                  false},
        CacheCase{"AccountBlank", document({{"accountID", " "}}).dump(), true},
        CacheCase{"AccountEmpty", document({{"accountID", ""}}).dump(), false},
        CacheCase{"AccountNumber", document({{"accountID", 5}}).dump(), false},
        CacheCase{"RoutesEmpty", document({{"routes", Value::array()}}).dump(), false},
        CacheCase{"RoutesNotArray", document({{"routes", Value::object()}}).dump(), false},
        CacheCase{"PrimaryMissingFromRoutes", document({{"primaryManagerIndex", 2}}).dump(), false},
        CacheCase{"PrimaryIsTheSecondRoute", document({{"primaryManagerIndex", 3}}).dump(), true},
        CacheCase{"Port0", withRoutePort(0).dump(), true},
        CacheCase{"Port65535", withRoutePort(65535).dump(), true},
        CacheCase{"Port70000", withRoutePort(70000).dump(), false},
        CacheCase{"PortNegative", withRoutePort(-1).dump(), false},
        CacheCase{"PortAsText", withRoutePort("80").dump(), false},
        CacheCase{"RouteWithoutPublicHost", withoutRouteKey("publicHost").dump(), false},
        CacheCase{"RouteWithoutInsideHost", withoutRouteKey("insideHost").dump(), false},
        CacheCase{"RouteWithoutIndex", withoutRouteKey("managerIndex").dump(), false},
        CacheCase{"ExtraKeysIgnored", document({{"extra", true}}).dump(), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ManagerRouteCache, NothingStoredOrNotStoredAsDataIsNothing) {
  InMemoryUserDefaults empty;
  EXPECT_FALSE(ManagerRouteCache::load(empty));
  // The document as plain text instead of data is not the stored form.
  InMemoryUserDefaults text(Value{{std::string(ManagerRouteCache::key), document().dump()}});
  EXPECT_FALSE(ManagerRouteCache::load(text));
}

TEST(ManagerRouteCache, SaveThenLoadGivesAnEqualCache) {
  const ManagerRouteCache cache{
      1,
      "계정",
      65536,
      2,
      {AccountManagerRoute{2, "192.0.2.1, 192.0.2.2", "pub.example", 1}, AccountManagerRoute{5, "", "", 0}}};
  InMemoryUserDefaults defaults;
  cache.save(defaults);
  EXPECT_EQ(defaults.writeCount(), 1U);
  const auto stored = defaults.data(ManagerRouteCache::key);
  ASSERT_TRUE(stored);
  // The exact keys, numbers as numbers.
  const auto json = Value::parse(toString(*stored));
  EXPECT_EQ(json,
            Value::parse(R"({"version":1,"accountID":"계정","assignedSlot":65536,"primaryManagerIndex":2,
    "routes":[{"managerIndex":2,"insideHost":"192.0.2.1, 192.0.2.2","publicHost":"pub.example","port":1},
              {"managerIndex":5,"insideHost":"","publicHost":"","port":0}]})"));
  EXPECT_EQ(ManagerRouteCache::load(defaults), cache);
}

TEST(ManagerRouteCache, ACacheThatCannotBeEncodedWritesNothing) {
  auto defaults = storing(document().dump());
  const ManagerRouteCache broken{1, std::string("\xC3\x28", 2), 1, 1, {AccountManagerRoute{1, "h", "", 9}}};
  EXPECT_FALSE(broken.encode());
  broken.save(defaults);
  EXPECT_EQ(defaults.writeCount(), 0U);
  EXPECT_TRUE(ManagerRouteCache::load(defaults));
}

}  // namespace
}  // namespace vantrel
