#include <gtest/gtest.h>

#include "Platform/X11/XSettings.hpp"

#include <cstdint>
#include <vector>

#include "support/XSettingsOwner.hpp"

namespace vantrel {
namespace {

using testing::XSettingsOwner;

const XSettingsOwner::Settings desktop = {
    {"Gtk/EnableAnimations", std::int32_t{0}},
    {"Net/ThemeName", std::string("Adwaita-dark")},  // 12 bytes: no padding
    {"Gtk/FontName", std::string("Cantarell 11")},
    {"Xft/DPI", std::int32_t{-1}},
    {"Net/IconThemeName", std::string("abc")},  // padded to 4
    {"Gtk/Color", XSettingColour{0x1111, 0x2222, 0x3333, 0xFFFF}},
};

TEST(XSettingsParse, ReadsEveryTypeInBothByteOrders) {
  for (const bool bigEndian : {false, true}) {
    const auto parsed = parseXSettings(XSettingsOwner::encode(7, desktop, bigEndian));
    ASSERT_TRUE(parsed.has_value()) << bigEndian;
    EXPECT_EQ(parsed->serial, 7u);
    ASSERT_EQ(parsed->values.size(), desktop.size());
    for (const auto& [name, value] : desktop) EXPECT_EQ(parsed->values.at(name), value) << name << bigEndian;
    EXPECT_EQ(parsed->integer("Gtk/EnableAnimations"), 0);
    EXPECT_EQ(parsed->integer("Xft/DPI"), -1);
    EXPECT_EQ(parsed->integer("Net/ThemeName"), std::nullopt);  // not an integer
    EXPECT_EQ(parsed->integer("Gtk/Missing"), std::nullopt);
  }
}

TEST(XSettingsParse, NoSettingsIsAnEmptyAnswer) {
  const auto parsed = parseXSettings(XSettingsOwner::encode(1, {}, false));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(parsed->values.empty());
}

TEST(XSettingsParse, RefusesBytesThatDoNotHoldWhatTheyAnnounce) {
  const std::vector<std::uint8_t> whole = XSettingsOwner::encode(3, desktop, false);
  // Every cut short of the whole property.
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_FALSE(parseXSettings(std::span(whole.data(), size)).has_value()) << size;
  }
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  };
  const Case cases[] = {
      {"unknown byte order", 0, 2},
      {"a count far beyond the bytes", 11, 0x7F},
      {"unknown setting type", 12, 3},
      {"a name longer than the property", 15, 0x40},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = whole;
    bytes[c.offset] = c.value;
    EXPECT_FALSE(parseXSettings(bytes).has_value()) << c.what;
  }
  // A string whose length field (after the name "S", its padding and the serial) runs past the end.
  std::vector<std::uint8_t> bytes = XSettingsOwner::encode(3, {{"S", std::string("x")}}, false);
  ASSERT_TRUE(parseXSettings(bytes).has_value());
  for (std::size_t i = 24; i < 28; ++i) bytes[i] = 0xFF;
  EXPECT_FALSE(parseXSettings(bytes).has_value());
}

}  // namespace
}  // namespace vantrel
