#include <gtest/gtest.h>

#include "Model/Settings/DirectConnectionSettings.hpp"
#include "Model/Settings/UserDefaults.hpp"

namespace vantrel {
namespace {

using Value = UserDefaults::Value;
using D = DirectConnectionSettings;
using V = DirectConnectionFormValidation;

struct StoredCase {
  Value port;  // null: missing
  Value number;
  std::uint16_t expectedPort;
  std::uint16_t expectedNumber;
};

class DirectConnectionLoad : public ::testing::TestWithParam<StoredCase> {};

TEST_P(DirectConnectionLoad, OnlyStoredIntegersInRangeCountEverythingElseGetsTheDefaults) {
  Value initial{{std::string(D::hostKey), "mgr"}, {std::string(D::userIDKey), "u"}};
  if (!GetParam().port.is_null()) initial[std::string(D::portKey)] = GetParam().port;
  if (!GetParam().number.is_null()) initial[std::string(D::connectionNumberKey)] = GetParam().number;
  InMemoryUserDefaults defaults(initial);
  const auto settings = D::load(defaults);
  EXPECT_EQ(settings.port, GetParam().expectedPort) << GetParam().port;
  EXPECT_EQ(settings.connectionNumber, GetParam().expectedNumber) << GetParam().number;
  EXPECT_EQ(settings.host, "mgr");
  EXPECT_EQ(settings.userID, "u");
}

INSTANTIATE_TEST_SUITE_P(
    DirectConnectionSettings, DirectConnectionLoad,
    ::testing::Values(StoredCase{nullptr, nullptr, 65333, 0}, StoredCase{80, 65535, 80, 65535},
                      StoredCase{1, 0, 1, 0}, StoredCase{65535, 1, 65535, 1}, StoredCase{0, 65536, 65333, 0},
                      StoredCase{70000, -1, 65333, 0},
                      // Text is no integer, whatever it spells: a port typed into the file as text
                      // must not connect to whatever number it begins with.
                      StoredCase{"41517", "6", 65333, 0}, StoredCase{"41517xyz", "12ab", 65333, 0},
                      StoredCase{" 8080", "+3", 65333, 0}, StoredCase{"abc", "x", 65333, 0},
                      StoredCase{"70000", "-1", 65333, 0}, StoredCase{80.0, 5.0, 80, 5},
                      StoredCase{80.9, 5.5, 65333, 0}, StoredCase{true, true, 65333, 0},
                      StoredCase{Value::array({80}), Value::object(), 65333, 0},
                      StoredCase{1e300, -1e300, 65333, 0}, StoredCase{65535.0, 65536.0, 65535, 0},
                      StoredCase{-80, std::int64_t{-9223372036854775807LL}, 65333, 0},
                      StoredCase{std::uint64_t{18446744073709551615ULL}, 4294967296LL, 65333, 0}));

TEST(DirectConnectionSettings, MissingTextsAreEmptyAndOnlyStoredTextIsText) {
  InMemoryUserDefaults defaults(Value{{std::string(D::hostKey), 5}, {std::string(D::userIDKey), true}});
  EXPECT_EQ(D::load(defaults), (D{"", 65333, "", 0}));
  InMemoryUserDefaults listed(Value{{std::string(D::hostKey), Value::array({"a"})}});
  EXPECT_EQ(D::load(listed), (D{"", 65333, "", 0}));
}

TEST(DirectConnectionSettings, SaveWritesTextsAndIntegersInOneWriteAndLoadsBack) {
  InMemoryUserDefaults defaults;
  const D settings{"10.1.2.3", 7000, "user 1", 65535};
  settings.save(defaults);
  EXPECT_EQ(defaults.writeCount(), 1U);
  EXPECT_EQ(defaults.snapshot(), (Value{{std::string(D::hostKey), "10.1.2.3"},
                                        {std::string(D::portKey), 7000},
                                        {std::string(D::userIDKey), "user 1"},
                                        {std::string(D::connectionNumberKey), 65535}}));
  EXPECT_TRUE(defaults.value(D::portKey)->is_number_integer());
  EXPECT_EQ(D::load(defaults), settings);
}

struct FormCase {
  const char* host;
  const char* port;
  const char* userID;
  const char* slot;
  V outcome;
  std::optional<D> settings;
};

class FormParser : public ::testing::TestWithParam<FormCase> {};

TEST_P(FormParser, FirstFailingFieldWins) {
  const auto& c = GetParam();
  const auto result = DirectConnectionFormParser::validate(c.host, c.port, c.userID, c.slot);
  EXPECT_EQ(result.validation, c.outcome) << c.host << "|" << c.port << "|" << c.userID << "|" << c.slot;
  EXPECT_EQ(result.settings, c.settings);
}

INSTANTIATE_TEST_SUITE_P(
    DirectConnectionSettings, FormParser,
    ::testing::Values(FormCase{"mgr", "80", "u", "1", V::valid, D{"mgr", 80, "u", 0}},
                      FormCase{"  mgr.local \n", " 80 ", "u", "1", V::valid, D{"mgr.local", 80, "u", 0}},
                      FormCase{"h", "+80", "u", "65536", V::valid, D{"h", 80, "u", 65535}},
                      FormCase{"h", "65535", " ", "2", V::valid, D{"h", 65535, " ", 1}},
                      FormCase{"h", "1", " u ", " 3 ", V::valid, D{"h", 1, " u ", 2}},
                      FormCase{"", "x", "", "0", V::missingHost, std::nullopt},
                      FormCase{" \t\n", "80", "u", "1", V::missingHost, std::nullopt},
                      FormCase{"h", "0", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "65536", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "-5", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "-0", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "8a", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "+", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "8 0", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "0x50", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "99999999999999999999", "u", "1", V::invalidPort, std::nullopt},
                      FormCase{"h", "000080", "u", "1", V::valid, D{"h", 80, "u", 0}},
                      FormCase{"h", "80", "", "0", V::missingUserID, std::nullopt},
                      FormCase{"h", "80", "é", "1", V::nonASCIIUserID, std::nullopt},
                      FormCase{"h", "80", "a\x7F", "1", V::valid, D{"h", 80, "a\x7F", 0}},
                      FormCase{"h", "80", "user", "0", V::invalidManagerSlot, std::nullopt},
                      FormCase{"h", "80", "user", "65537", V::invalidManagerSlot, std::nullopt},
                      FormCase{"h", "80", "user", "", V::invalidManagerSlot, std::nullopt},
                      FormCase{"h", "80", "user", "one", V::invalidManagerSlot, std::nullopt}));

TEST(DirectConnectionSettings, AUserIDWithANulIsNotASCII) {
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(DirectConnectionFormParser::validate("h", "80", withNul, "1").validation, V::nonASCIIUserID);
}

TEST(DirectConnectionSettings, EachFailingOutcomeHasItsMessage) {
  EXPECT_EQ(message(V::missingHost), "Manager host must not be empty.");
  EXPECT_EQ(message(V::invalidPort), "Port must be an integer from 1 to 65535.");
  EXPECT_EQ(message(V::missingUserID), "User ID must not be empty.");
  EXPECT_EQ(message(V::nonASCIIUserID), "User ID must be strict ASCII.");
  EXPECT_EQ(message(V::invalidManagerSlot), "Manager slot must be an integer from 1 to 65536.");
  EXPECT_EQ(message(V::valid), "");
}

}  // namespace
}  // namespace vantrel
