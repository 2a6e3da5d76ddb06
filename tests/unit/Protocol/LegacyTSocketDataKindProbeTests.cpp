#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyTSocketDataKindProbe.hpp"
#include "Protocol/ManagerSlot.hpp"

namespace vantrel {
namespace {

using namespace testbytes;
namespace Cmd = LegacyMgrProtocolCommand;

TEST(LegacyMgrProtocolCommand, UnknownCodesUseUpperCaseHexWithAtLeastTwoDigits) {
  EXPECT_EQ(Cmd::displayName(17), "UNKNOWN_0x11");
  EXPECT_EQ(Cmd::displayName(300), "UNKNOWN_0x12C");
  EXPECT_EQ(Cmd::displayName(0), "UNKNOWN_0x00");
  EXPECT_EQ(Cmd::displayName(255), "UNKNOWN_0xFF");
  EXPECT_EQ(Cmd::displayName(256), "UNKNOWN_0x100");
  EXPECT_EQ(Cmd::displayName(0xFFFFFFFFu), "UNKNOWN_0xFFFFFFFF");
  EXPECT_EQ(Cmd::hexString(5), "0x05");
  EXPECT_EQ(Cmd::hexString(255), "0xFF");
  EXPECT_EQ(Cmd::hexString(256), "0x100");
  EXPECT_EQ(Cmd::hexString(0xABCDEF), "0xABCDEF");
}

// A GET_SCREEN envelope prefix (Kind 21, ComNum 3) followed by a null DataClass and the end.
Bytes envelope(std::string_view kindAndComNum = "15000000 03000000") {
  return cat({commonPrefix(kindAndComNum), hex("0A 0B")});
}

TEST(LegacyTSocketDataKindProbe, HandLaidPrefixPutsTheMarkerAt214AndKindAt228) {
  const auto bytes = envelope();
  ASSERT_EQ(bytes.size(), 238u);
  EXPECT_EQ(Bytes(bytes.begin() + 214, bytes.begin() + 228), hex("07 76616C75655F5F 00 08 02000000"));
  EXPECT_EQ(LegacyTSocketDataKindProbe::kindFieldOffset, 228u);
  EXPECT_EQ(LegacyTSocketDataKindProbe::kindFieldByteCount, 4u);
  EXPECT_EQ(LegacyTSocketDataKindProbe::minimumPayloadByteCount, 232u);
  EXPECT_EQ(LegacyTSocketDataKindProbe::probeKind(bytes), 21u);
}

TEST(LegacyTSocketDataKindProbe, ReadsKindAfterTheFirstMarkerOnlyWhereItsRulesHold) {
  const auto full = envelope();
  const auto with = [&](std::size_t at, std::uint8_t value) {
    auto bytes = full;
    bytes[at] = value;
    return bytes;
  };
  const auto first = [&](std::size_t n) {
    return Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
  };
  const Bytes header = hex("00 01000000 FFFFFFFF 01000000 00000000");
  const Bytes marker = hex("07 76616C75655F5F 00 08 02000000");
  const Bytes className = ascii("Corvantis.TSocketData");
  const std::size_t classNameEnd = 89 + 5 + 20;  // last byte of the class record's name
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<std::uint32_t> kind;
  };
  const std::vector<Case> cases{
      {"the full UInt32", envelope("78563412 00000000"), 0x12345678u},
      {"all ones", envelope("FFFFFFFF FFFFFFFF"), 0xFFFFFFFFu},
      {"Kind and ComNum exactly", first(236), 21u},
      {"ComNum missing", first(232), std::nullopt},
      {"ComNum short", first(235), std::nullopt},
      {"Kind short", first(231), std::nullopt},
      {"empty", {}, std::nullopt},
      {"wrong first header byte", with(0, 0x01), std::nullopt},
      {"wrong minor version", with(16, 0x01), std::nullopt},
      {"class name missing", with(classNameEnd, 'b'), std::nullopt},
      // Only the class name's presence counts: behind the message end is enough.
      {"class name anywhere", cat({with(classNameEnd, 'b'), className}), 21u},
      {"7 bytes after the marker", cat({header, className, Bytes(200, 0x41), marker, hex("15000000 000000")}),
       std::nullopt},
      {"8 bytes after the marker",
       cat({header, className, Bytes(200, 0x41), marker, hex("15000000 00000000")}), 21u},
      // A marker earlier than the common layout's 214 wins.
      {"first marker wins",
       cat({header, className, marker, hex("2A000000 00000000"), Bytes(200, 0x41), marker,
            hex("15000000 00000000")}),
       42u},
      {"no marker (not Int32)", with(214 + 9, 0x09), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(LegacyTSocketDataKindProbe::probeKind(c.bytes), c.kind) << c.name;
}

TEST(ManagerSlot, ConvertsBetweenSlotsAndComNums) {
  EXPECT_EQ(ManagerSlot::minimumSlot, 1);
  EXPECT_EQ(ManagerSlot::maximumSlot, 65536);
  EXPECT_EQ(ManagerSlot::slotFromComNum(0), 1);
  EXPECT_EQ(ManagerSlot::slotFromComNum(65535), 65536);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(1), 0);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(65536), 65535);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(0), std::nullopt);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(-1), std::nullopt);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(65537), std::nullopt);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(INT64_MIN), std::nullopt);
  EXPECT_EQ(ManagerSlot::comNumFromSlot(INT64_MAX), std::nullopt);
}

TEST(ManagerSlot, ParsesSlotTexts) {
  const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> table{
      {" 12\n", 11},
      {"\t\u3000 7 \r\n", 6},  // Unicode white space is trimmed too
      {"+1", 0},
      {"1", 0},
      {"65536", 65535},
      {"0065536", 65535},
      {"0", std::nullopt},
      {"-5", std::nullopt},
      {"-0", std::nullopt},
      {"65537", std::nullopt},
      {"12a", std::nullopt},
      {"1 2", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"-+1", std::nullopt},
      {"++1", std::nullopt},
      {"0x10", std::nullopt},
      {"1.0", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // a full-width digit one is not a decimal digit here
      {"9223372036854775807", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
  };
  for (const auto& [text, expected] : table)
    EXPECT_EQ(ManagerSlot::comNumFromSlotText(text), expected) << text;
}

}  // namespace
}  // namespace vantrel
