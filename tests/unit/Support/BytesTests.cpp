#include <gtest/gtest.h>

#include "Support/Bytes.hpp"

namespace vantrel {
namespace {

TEST(Bytes, ReadsBothByteOrdersAtOffsets) {
  const Bytes b{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  EXPECT_EQ(readU16LE(b, 0), 0x0201);
  EXPECT_EQ(readU16BE(b, 0), 0x0102);
  EXPECT_EQ(readU32LE(b, 1), 0x05040302u);
  EXPECT_EQ(readU32BE(b, 1), 0x02030405u);
  EXPECT_EQ(readU64LE(b, 1), 0x0908070605040302ull);
  EXPECT_EQ(readI32LE(Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 0), -1);
}

TEST(Bytes, ReadsRefuseToCrossTheEnd) {
  const Bytes b{1, 2, 3, 4};
  EXPECT_FALSE(readU32LE(b, 1).has_value());
  EXPECT_FALSE(readU16LE(b, 3).has_value());
  EXPECT_FALSE(readU16LE(b, 4).has_value());
  EXPECT_FALSE(readU16LE(b, SIZE_MAX).has_value());  // offset + size would overflow
  EXPECT_TRUE(readU16LE(b, 2).has_value());
}

TEST(Bytes, WritesAreBoundsCheckedAndLeaveBufferUntouchedOnFailure) {
  Bytes b(6, 0);
  EXPECT_TRUE(writeInteger<std::uint32_t>(b, 2, 0xA1B2C3D4u, Endian::little));
  EXPECT_EQ(b, (Bytes{0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_FALSE(writeInteger<std::uint32_t>(b, 3, 0xFFFFFFFFu, Endian::big));
  EXPECT_EQ(b, (Bytes{0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_TRUE(writeInteger<std::uint16_t>(b, 0, 0x1234, Endian::big));
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[1], 0x34);
}

TEST(ByteReader, StopsAtFirstShortReadWithoutMoving) {
  const Bytes b{0x10, 0x20, 0x30, 0x40, 0x50};
  ByteReader r(b);
  EXPECT_EQ(r.u16le(), 0x2010);
  EXPECT_FALSE(r.u32le().has_value());
  EXPECT_EQ(r.position(), 2u);
  auto rest = r.bytes(3);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->size(), 3u);
  EXPECT_TRUE(r.atEnd());
  EXPECT_FALSE(r.u8().has_value());
  EXPECT_FALSE(r.skip(1));
  EXPECT_TRUE(r.seek(5));
  EXPECT_FALSE(r.seek(6));
}

TEST(ByteWriter, AppendsInOrder) {
  ByteWriter w;
  w.u8(0xAA).u16le(0x0102).u32be(0x03040506).i32le(-2).zeros(2).bytes(asBytes("hi"));
  EXPECT_EQ(std::move(w).take(),
            (Bytes{0xAA, 0x02, 0x01, 0x03, 0x04, 0x05, 0x06, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 'h', 'i'}));
}

TEST(Bytes, ClampsInsteadOfWrapping) {
  EXPECT_EQ(clampToUInt32(std::uint64_t{1} << 40), UINT32_MAX);
  EXPECT_EQ(clampToUInt32(std::int64_t{-5}), 0u);
  EXPECT_EQ(clampToUInt32(std::uint64_t{123}), 123u);
  EXPECT_EQ(clampToInt32(std::int64_t{1} << 40), INT32_MAX);
  EXPECT_EQ(clampToInt32(-(std::int64_t{1} << 40)), INT32_MIN);
  EXPECT_EQ(clampToInt32(std::uint32_t{0x80000000u}), INT32_MAX);
  EXPECT_EQ(clampToInt32(std::int64_t{-7}), -7);
}

TEST(Bytes, HexRoundTrip) {
  const Bytes b{0x00, 0x0A, 0xFF, 0x5c};
  EXPECT_EQ(hexString(b), "000AFF5C");
  EXPECT_EQ(hexStringLower(b), "000aff5c");
  EXPECT_EQ(bytesFromHex("000aFF5C"), b);
  EXPECT_FALSE(bytesFromHex("abc").has_value());
  EXPECT_FALSE(bytesFromHex("zz").has_value());
  EXPECT_TRUE(startsWith(b, Bytes{0x00, 0x0A}));
  EXPECT_FALSE(startsWith(Bytes{0x00}, Bytes{0x00, 0x0A}));
}

}  // namespace
}  // namespace vantrel
