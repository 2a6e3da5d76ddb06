#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "Model/Settings/AccountLoginSettings.hpp"
#include "Model/Settings/UserDefaults.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

using Value = UserDefaults::Value;
using S = AccountLoginSettings;

// "02" then five ":XX" octets of upper-case hexadecimal.
bool isInstallationMAC(const std::string& mac) {
  if (mac.size() != 17 || mac.compare(0, 2, "02") != 0) return false;
  for (std::size_t i = 2; i < mac.size(); i += 3) {
    if (mac[i] != ':') return false;
    for (std::size_t k = i + 1; k < i + 3; ++k) {
      if (std::string_view("0123456789ABCDEF").find(mac[k]) == std::string_view::npos) return false;
    }
  }
  return true;
}

std::optional<std::string> hostNamed(std::optional<std::string> name) { return name; }

TEST(AccountLoginSettings, FirstLaunchCompletesEverythingAndWritesAllSixKeysAtOnce) {
  InMemoryUserDefaults defaults;
  const auto settings = S::load(defaults, [] { return hostNamed("Build Box"); });
  EXPECT_TRUE(settings.rememberAccountID);
  EXPECT_EQ(settings.accountID, "");
  EXPECT_EQ(settings.requestedSlotText, "0");
  EXPECT_EQ(settings.setupName, "Build Box");
  EXPECT_GE(settings.serial, 100'000'000U);
  EXPECT_LE(settings.serial, 999'999'999U);
  EXPECT_TRUE(isInstallationMAC(settings.installationMAC)) << settings.installationMAC;
  EXPECT_EQ(defaults.writeCount(), 1U);
  EXPECT_EQ(defaults.snapshot(), (Value{{std::string(S::accountIDKey), ""},
                                        {std::string(S::requestedSlotKey), "0"},
                                        {std::string(S::setupNameKey), "Build Box"},
                                        {std::string(S::rememberAccountIDKey), true},
                                        {std::string(S::serialKey), settings.serial},
                                        {std::string(S::installationMACKey), settings.installationMAC}}));
  // A later launch returns the same identity.
  const auto again = S::load(defaults, [] { return hostNamed("Another Name"); });
  EXPECT_EQ(again.serial, settings.serial);
  EXPECT_EQ(again.installationMAC, settings.installationMAC);
  EXPECT_EQ(again.setupName, "Build Box");
}

TEST(AccountLoginSettings, WithoutAHostNameTheSetupNameIsMac) {
  InMemoryUserDefaults defaults;
  EXPECT_EQ(S::load(defaults, [] { return hostNamed(std::nullopt); }).setupName, "Mac");
}

TEST(AccountLoginSettings, AStoredEmptySetupNameStaysEmpty) {
  InMemoryUserDefaults defaults(Value{{std::string(S::setupNameKey), ""}});
  EXPECT_EQ(S::load(defaults, [] { return hostNamed("Host"); }).setupName, "");
}

struct RememberCase {
  Value stored;  // null: missing
  bool remember;
  const char* accountID;
};

class AutoLoginKey : public ::testing::TestWithParam<RememberCase> {};

// Only a stored Bool false turns AUTO LOGIN off; the text "false" or a 0 do not.
TEST_P(AutoLoginKey, OnlyAStoredBoolFalseTurnsItOff) {
  Value initial{{std::string(S::accountIDKey), "alice"}};
  if (!GetParam().stored.is_null()) initial[std::string(S::rememberAccountIDKey)] = GetParam().stored;
  InMemoryUserDefaults defaults(initial);
  const auto settings = S::load(defaults, [] { return hostNamed("h"); });
  EXPECT_EQ(settings.rememberAccountID, GetParam().remember) << GetParam().stored;
  EXPECT_EQ(settings.accountID, GetParam().accountID) << GetParam().stored;
  EXPECT_EQ(defaults.storedString(S::accountIDKey), GetParam().accountID);
  // What this launch uses is what is stored from now on, as a Bool.
  EXPECT_EQ(defaults.value(S::rememberAccountIDKey), Value(GetParam().remember));
}

INSTANTIATE_TEST_SUITE_P(AccountLoginSettings, AutoLoginKey,
                         ::testing::Values(RememberCase{nullptr, true, "alice"},
                                           RememberCase{false, false, ""}, RememberCase{true, true, "alice"},
                                           RememberCase{"false", true, "alice"},
                                           RememberCase{0, true, "alice"},
                                           RememberCase{"NO", true, "alice"}));

struct SerialCase {
  Value stored;
  std::optional<std::uint64_t> kept;  // nullopt: a new one is generated
};

class SerialKey : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialKey, AStoredNumberIsKeptAnythingElseIsReplaced) {
  InMemoryUserDefaults defaults(Value{{std::string(S::serialKey), GetParam().stored}});
  const auto serial = S::load(defaults, [] { return hostNamed("h"); }).serial;
  if (GetParam().kept) {
    EXPECT_EQ(serial, *GetParam().kept);
  } else {
    EXPECT_GE(serial, 100'000'000U);
    EXPECT_LE(serial, 999'999'999U);
  }
  EXPECT_EQ(defaults.unsignedInteger(S::serialKey), serial);
  EXPECT_TRUE(defaults.value(S::serialKey)->is_number_unsigned());
}

INSTANTIATE_TEST_SUITE_P(
    AccountLoginSettings, SerialKey,
    ::testing::Values(SerialCase{123456789, 123456789}, SerialCase{5, 5},
                      SerialCase{std::uint64_t{18446744073709551615ULL}, 18446744073709551615ULL},
                      SerialCase{123456789.0, 123456789}, SerialCase{"123456789", std::nullopt},
                      SerialCase{-7, std::nullopt}, SerialCase{1.5, std::nullopt},
                      SerialCase{true, std::nullopt}, SerialCase{nullptr, std::nullopt}));

// The text keys take stored text only: a number, a list or a Boolean there is a value of the wrong
// type and gives the key's default, which load then stores in its place.
struct WrongTypeCase {
  const char* name;
  Value stored;
};

class TextKeysOfAnotherType : public ::testing::TestWithParam<WrongTypeCase> {};

TEST_P(TextKeysOfAnotherType, GetTheirDefaultsAndTheAssembledSettingsAreStored) {
  const Value stored = GetParam().stored;
  InMemoryUserDefaults defaults(Value{{std::string(S::requestedSlotKey), stored},
                                      {std::string(S::setupNameKey), stored},
                                      {std::string(S::accountIDKey), stored},
                                      {std::string(S::installationMACKey), stored},
                                      {std::string(S::rememberAccountIDKey), "NO"},
                                      {std::string(S::serialKey), 123456789}});
  const auto settings = S::load(defaults, [] { return hostNamed("Host"); });
  EXPECT_EQ(settings.requestedSlotText, "0");
  EXPECT_EQ(settings.setupName, "Host");
  EXPECT_EQ(settings.accountID, "");
  EXPECT_TRUE(settings.rememberAccountID);
  EXPECT_TRUE(isInstallationMAC(settings.installationMAC)) << settings.installationMAC;
  EXPECT_EQ(settings.serial, 123456789U);
  // All six keys hold what this launch uses, with the types save writes, in one write.
  EXPECT_EQ(defaults.writeCount(), 1U);
  EXPECT_EQ(defaults.snapshot(), (Value{{std::string(S::accountIDKey), ""},
                                        {std::string(S::requestedSlotKey), "0"},
                                        {std::string(S::setupNameKey), "Host"},
                                        {std::string(S::rememberAccountIDKey), true},
                                        {std::string(S::serialKey), 123456789U},
                                        {std::string(S::installationMACKey), settings.installationMAC}}));
  // The next launch reads the same settings back.
  EXPECT_EQ(S::load(defaults, [] { return hostNamed("Another"); }), settings);
}

INSTANTIATE_TEST_SUITE_P(AccountLoginSettings, TextKeysOfAnotherType,
                         ::testing::Values(WrongTypeCase{"Number", 7}, WrongTypeCase{"Fraction", 1.5},
                                           WrongTypeCase{"Boolean", true},
                                           WrongTypeCase{"List", Value::array({"x"})},
                                           WrongTypeCase{"Object", Value{{"a", "b"}}},
                                           WrongTypeCase{"Null", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AccountLoginSettings, StoredTextIsKeptAsItIs) {
  InMemoryUserDefaults defaults(Value{{std::string(S::requestedSlotKey), "7"},
                                      {std::string(S::installationMACKey), "not a MAC"},
                                      {std::string(S::setupNameKey), " 12 "},
                                      {std::string(S::accountIDKey), "3"}});
  const auto settings = S::load(defaults, [] { return hostNamed("Host"); });
  EXPECT_EQ(settings.requestedSlotText, "7");
  EXPECT_EQ(settings.setupName, " 12 ");
  EXPECT_EQ(settings.accountID, "3");
  EXPECT_EQ(settings.installationMAC, "not a MAC");
}

TEST(AccountLoginSettings, SaveWritesTheAccountOnlyWhileAutoLoginIsOn) {
  InMemoryUserDefaults defaults;
  S settings{"bob", "12", "Desk", false, 123456789, "02:AA:BB:CC:DD:EE"};
  settings.save(defaults);
  EXPECT_EQ(defaults.storedString(S::accountIDKey), "");
  EXPECT_EQ(defaults.value(S::rememberAccountIDKey), Value(false));
  EXPECT_EQ(defaults.storedString(S::requestedSlotKey), "12");
  settings.rememberAccountID = true;
  settings.save(defaults);
  EXPECT_EQ(defaults.storedString(S::accountIDKey), "bob");
  EXPECT_EQ(S::load(defaults, [] { return hostNamed("h"); }), settings);
}

TEST(AccountLoginSettings, AutoLoginStoredOffWithAnAccountStillStoredClearsItOnTheNextSave) {
  InMemoryUserDefaults defaults(
      Value{{std::string(S::accountIDKey), "carol"}, {std::string(S::rememberAccountIDKey), false}});
  auto settings = S::load(defaults, [] { return hostNamed("h"); });
  EXPECT_EQ(settings.accountID, "");
  EXPECT_EQ(defaults.storedString(S::accountIDKey), "");
}

TEST(AccountLoginSettings, GeneratedIdentitiesAreDistinct) {
  std::set<std::string> macs;
  std::set<std::uint64_t> serials;
  for (int i = 0; i < 1000; ++i) {
    const auto mac = S::makeInstallationMAC();
    ASSERT_TRUE(isInstallationMAC(mac)) << mac;
    macs.insert(mac);
    const auto serial = S::makeSerial();
    ASSERT_GE(serial, 100'000'000U);
    ASSERT_LE(serial, 999'999'999U);
    serials.insert(serial);
  }
  EXPECT_EQ(macs.size(), 1000U);
  EXPECT_GT(serials.size(), 990U);  // 1000 draws from 900 million: a few collisions at most
}

struct MachineInfoCase {
  const char* text;
  std::optional<std::string> name;
};

class MachineInfo : public ::testing::TestWithParam<MachineInfoCase> {};

TEST_P(MachineInfo, PrettyHostNameIsReadLikeTheShellWould) {
  EXPECT_EQ(prettyHostNameFromMachineInfo(GetParam().text), GetParam().name) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    AccountLoginSettings, MachineInfo,
    ::testing::Values(MachineInfoCase{"PRETTY_HOSTNAME=\"Kim's Laptop\"\n", "Kim's Laptop"},
                      MachineInfoCase{"PRETTY_HOSTNAME='디자인 팀'\nCHASSIS=laptop\n", "디자인 팀"},
                      MachineInfoCase{"CHASSIS=vm\nPRETTY_HOSTNAME=plain\n", "plain"},
                      MachineInfoCase{"PRETTY_HOSTNAME=\"a \\\"quoted\\\" name\"", "a \"quoted\" name"},
                      MachineInfoCase{"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
                      MachineInfoCase{"#PRETTY_HOSTNAME=x\nXPRETTY_HOSTNAME=y\n", std::nullopt},
                      MachineInfoCase{"", std::nullopt}));

TEST(AccountLoginSettings, HostNameComesFromMachineInfoElseTheKernel) {
  testing::TemporaryHome home;
  std::filesystem::create_directories(home.systemRoot() / "etc");
  {
    const auto name = S::currentHostLocalizedName();
    ASSERT_TRUE(name);  // the kernel's host name
    EXPECT_FALSE(name->empty());
  }
  std::ofstream(home.systemRoot() / "etc" / "machine-info") << "PRETTY_HOSTNAME=\"Front Desk\"\n";
  EXPECT_EQ(S::currentHostLocalizedName(), "Front Desk");
}

}  // namespace
}  // namespace vantrel
