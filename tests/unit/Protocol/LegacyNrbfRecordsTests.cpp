#include <gtest/gtest.h>

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

TEST(LegacyNrbf, CommonPrefixMatchesTheHandLaidBytes) {
  EXPECT_EQ(LegacyNrbf::commonSocketDataPrefix(21, -1), commonPrefix("15000000 FFFFFFFF"));
  EXPECT_EQ(LegacyNrbf::commonSocketDataPrefix(21, -1).size(), 236u);
}

}  // namespace
}  // namespace vantrel
