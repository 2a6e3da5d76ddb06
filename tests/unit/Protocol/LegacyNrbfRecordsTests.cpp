#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyNrbfRecords.hpp"

namespace vantrel {
namespace {

using namespace testbytes;

TEST(LegacyNrbf, LengthPrefixWritesUpToFiveBytes) {
  const auto prefix = [](std::size_t n) {
    Bytes out;
    EXPECT_TRUE(LegacyNrbf::appendLengthPrefix(out, n));
    return out;
  };
  EXPECT_EQ(prefix(0), hex("00"));
  EXPECT_EQ(prefix(127), hex("7F"));
  EXPECT_EQ(prefix(128), hex("8001"));
  EXPECT_EQ(prefix(300), hex("AC02"));
  EXPECT_EQ(prefix(268'435'455), hex("FFFFFF7F"));
  EXPECT_EQ(prefix(268'435'456), hex("8080808001"));
  EXPECT_EQ(prefix(0x7FFF'FFFF), hex("FFFFFFFF07"));
  Bytes out = hex("AA");
  EXPECT_FALSE(LegacyNrbf::appendLengthPrefix(out, 0x8000'0000u));
  EXPECT_EQ(out, hex("AA"));  // nothing appended
}

TEST(LegacyNrbf, LengthPrefixReadsAtMostFiveBytes) {
  const auto read = [](std::string_view bytes, std::size_t offset = 0) {
    return LegacyNrbf::readLengthPrefix(hex(bytes), offset);
  };
  auto p = read("7F");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, 127u);
  EXPECT_EQ(p->byteCount, 1u);
  p = read("AC02 FF");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, 300u);
  EXPECT_EQ(p->byteCount, 2u);
  p = read("FFFFFFFF7F");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, 0x7FFFFFFFFULL);  // a fifth byte's high bits are kept, not wrapped
  EXPECT_EQ(p->byteCount, 5u);
  EXPECT_FALSE(read("8080808080 00"));  // a sixth byte would be needed
  EXPECT_FALSE(read("80"));             // data ends first
  EXPECT_FALSE(read(""));
  EXPECT_FALSE(read("05", 1));
  EXPECT_FALSE(read("05", 99));
  p = read("FF 05", 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->length, 5u);
}

TEST(LegacyNrbf, FindHandlesEveryBoundary) {
  const auto hay = hex("01 02 03 01 02");
  EXPECT_EQ(LegacyNrbf::find(hay, hex("01 02")), 0u);
  EXPECT_EQ(LegacyNrbf::find(hay, hex("01 02"), 1), 3u);
  EXPECT_EQ(LegacyNrbf::find(hay, hex("01 02"), 4), std::nullopt);
  EXPECT_EQ(LegacyNrbf::find(hay, hex("01 02"), 99), std::nullopt);
  EXPECT_EQ(LegacyNrbf::find(hay, Bytes{}), std::nullopt);
  EXPECT_EQ(LegacyNrbf::find(hex("01"), hex("01 02")), std::nullopt);
  EXPECT_EQ(LegacyNrbf::memberMarkerEnd(hex("07 76616C75655F5F 00 08 02000000")), 14u);
  EXPECT_EQ(LegacyNrbf::memberMarkerEnd(hex("07 76616C75655F5F 00 08 020000")), std::nullopt);
}

// Record heads `06 01000000 C2 80 XX` back to back: the length prefix's first two bytes are a
// two-byte UTF-8 character, so each claimed string runs over the following heads as valid text
// until an invalid byte placed once per claimed length. Rescanning each candidate from scratch
// costs about size²/64 bytes of decoding.
Bytes worstStringScan(std::size_t size) {
  const std::uint8_t high = static_cast<std::uint8_t>(std::clamp<std::size_t>((size / 2) >> 14, 1, 0x7F));
  const std::size_t claimed = 0x42 + (std::size_t{high} << 14);
  Bytes out;
  while (out.size() < size) {
    for (std::size_t run = 0; run < claimed && out.size() < size; run += 8) {
      append(out, hex("06 01000000 C280"));
      out.push_back(high);
    }
    out.push_back(0xFF);
  }
  return out;
}

TEST(LegacyNrbf, StringScanDecodesEachByteAtMostOnce) {
  const auto hostile = worstStringScan(1u << 20);
  const auto found = LegacyNrbf::scanStringRecords(hostile, 0, 4'194'304);
  EXPECT_EQ(found.count, 0u);
  EXPECT_LE(found.decodedBytes, hostile.size());
}

TEST(LegacyNrbf, StringScanReusesDecodedRunsOnlyAtCharacterBoundaries) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t count;
    std::string last;
  };
  const std::vector<Case> cases{
      // The outer string fails on FF; the record inside it is read from the same decoded run.
      {"inner record of a failed one", cat({hex("06 01000000 09 06 02000000 02"), ascii("ok"), hex("FF")}), 1,
       "ok"},
      // The inner string would end inside a three-byte character (E3 81 | 82).
      {"ends inside a sequence", hex("06 01000000 0B 06 02000000 03 41 E38182 FF"), 0, ""},
      {"ends after a sequence", hex("06 01000000 0B 06 02000000 04 41 E38182 FF"), 1, "A\xE3\x81\x82"},
      {"starts on a continuation byte", hex("06 01000000 02 81 41"), 0, ""},
      // A run broken by FF, then a record after it: decoding starts again past the break.
      {"record after a broken run", hex("06 01000000 04 41 FF 42 43 06 02000000 01 44"), 1, "D"},
      {"surrogate is not UTF-8", hex("06 01000000 03 EDA080"), 0, ""},
      {"empty string", hex("06 01000000 00"), 1, ""},
  };
  for (const auto& c : cases) {
    const auto found = LegacyNrbf::scanStringRecords(c.bytes, 0, 100);
    EXPECT_EQ(found.count, c.count) << c.name;
    EXPECT_EQ(toString(found.last), c.last) << c.name;
  }
}

TEST(LegacyNrbf, CommonPrefixMatchesTheHandLaidBytes) {
  EXPECT_EQ(LegacyNrbf::commonSocketDataPrefix(21, -1), commonPrefix("15000000 FFFFFFFF"));
  EXPECT_EQ(LegacyNrbf::commonSocketDataPrefix(21, -1).size(), 236u);
}

}  // namespace
}  // namespace vantrel
