#include <gtest/gtest.h>

#include <algorithm>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyFileTransfer.hpp"

namespace vantrel {
namespace {

using namespace testbytes;

Bytes padded(std::string_view text, std::size_t size) {
  Bytes out = ascii(text);
  out.resize(size, 0);
  return out;
}

TEST(LegacyFileMetadata, EncodesTheHandLaidRecord) {
  const LegacyFileMetadata record{3, 1, 2, true, 0x0102030405LL, "a.txt", "/Users/me/Desktop", "sub"};
  const auto expected = cat({hex("03000000 01000000 02000000 01000000 0504030201000000"), padded("a.txt", 96),
                             padded("/Users/me/Desktop", 256), padded("sub", 256)});
  ASSERT_EQ(expected.size(), 632u);
  EXPECT_EQ(record.encode(), expected);
}

TEST(LegacyFileMetadata, EmptyRecordIsZerosFromOffset24) {
  const LegacyFileMetadata record{-1, -2, 7, false, 0, "", "", ""};
  const auto bytes = record.encode();
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 632u);
  EXPECT_EQ(Bytes(bytes->begin(), bytes->begin() + 24),
            hex("FFFFFFFF FEFFFFFF 07000000 00000000 0000000000000000"));
  EXPECT_TRUE(std::all_of(bytes->begin() + 24, bytes->end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(LegacyFileMetadata, NegativeSizeDoesNotEncode) {
  LegacyFileMetadata record;
  record.fileSize = -1;
  EXPECT_EQ(record.encode(), std::nullopt);
  record.fileSize = INT64_MIN;
  EXPECT_EQ(record.encode(), std::nullopt);
  record.fileSize = INT64_MAX;
  const auto bytes = record.encode();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Bytes(bytes->begin() + 16, bytes->begin() + 24), hex("FFFFFFFFFFFFFF7F"));
}

TEST(LegacyFileMetadata, NameFieldsLeaveRoomForOneZeroByte) {
  LegacyFileMetadata record;
  record.filename = std::string(95, 'n');
  EXPECT_TRUE(record.encode());
  record.filename = std::string(96, 'n');
  EXPECT_EQ(record.encode(), std::nullopt);

  std::string hangul31;
  for (int i = 0; i < 31; ++i) hangul31 += "가";
  record.filename = hangul31;  // 93 bytes
  EXPECT_TRUE(record.encode());
  record.filename = hangul31 + "가";  // 96 bytes
  EXPECT_EQ(record.encode(), std::nullopt);

  record.filename = "f";
  record.destinationFolder = std::string(255, 'd');
  record.additionalFolder = std::string(255, 'a');
  const auto full = record.encode();
  ASSERT_TRUE(full);
  EXPECT_EQ((*full)[120 + 254], 'd');
  EXPECT_EQ((*full)[120 + 255], 0);
  EXPECT_EQ((*full)[631], 0);
  record.destinationFolder = std::string(256, 'd');
  EXPECT_EQ(record.encode(), std::nullopt);
  record.destinationFolder = "d";
  record.additionalFolder = std::string(256, 'a');
  EXPECT_EQ(record.encode(), std::nullopt);
}

TEST(LegacyFileMetadata, DecodesOnlyExactly632Bytes) {
  EXPECT_FALSE(LegacyFileMetadata::decode(Bytes(631, 0)));
  EXPECT_FALSE(LegacyFileMetadata::decode(Bytes(633, 0)));
  EXPECT_FALSE(LegacyFileMetadata::decode(ByteView()));
  const auto empty = LegacyFileMetadata::decode(Bytes(632, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, LegacyFileMetadata{});
}

TEST(LegacyFileMetadata, IsClipboardOnlyForTheInt32One) {
  Bytes bytes(632, 0);
  bytes[12] = 0x01;
  EXPECT_TRUE(LegacyFileMetadata::decode(bytes)->isClipboard);
  bytes[12] = 0x02;
  EXPECT_FALSE(LegacyFileMetadata::decode(bytes)->isClipboard);
  bytes[12] = 0x01;
  bytes[15] = 0x01;  // 0x01000001
  EXPECT_FALSE(LegacyFileMetadata::decode(bytes)->isClipboard);
}

TEST(LegacyFileMetadata, StringFieldsOnDecode) {
  Bytes bytes(632, 0);
  std::fill(bytes.begin() + 24, bytes.begin() + 120, 'x');  // no zero byte: full width
  bytes[120] = 0;                                           // starts with zero: empty
  bytes[121] = 'y';
  bytes[376] = 'o';
  bytes[377] = 'k';
  bytes[378] = 0xFF;  // invalid UTF-8: empty
  auto record = LegacyFileMetadata::decode(bytes);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->filename, std::string(96, 'x'));
  EXPECT_EQ(record->destinationFolder, "");
  EXPECT_EQ(record->additionalFolder, "");
  // Bytes after the first zero are ignored, even invalid ones.
  bytes[378] = 0;
  bytes[379] = 0xFF;
  EXPECT_EQ(LegacyFileMetadata::decode(bytes)->additionalFolder, "ok");
  // Truncated multi-byte sequence, overlong form and an encoded surrogate are all invalid.
  for (const auto& bad : {hex("EAB0"), hex("C0AF"), hex("EDA080")}) {
    std::fill(bytes.begin() + 24, bytes.begin() + 120, 0);
    std::copy(bad.begin(), bad.end(), bytes.begin() + 24);
    EXPECT_EQ(LegacyFileMetadata::decode(bytes)->filename, "") << hexString(bad);
  }
}

// The destination folder is the one name a message shows: its bytes are kept when they do not
// decode, and only then.
TEST(LegacyFileMetadata, AnUndecodableDestinationFolderKeepsItsBytesForMessages) {
  Bytes bytes(632, 0);
  const auto folder = hex("433A5CFFFEC0AFEDA08078");  // C:\ FF FE C0 AF ED A0 80 x
  std::copy(folder.begin(), folder.end(), bytes.begin() + 120);
  bytes[120 + folder.size() + 1] = 0xFF;  // after the zero byte: not part of the name
  auto record = LegacyFileMetadata::decode(bytes);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->destinationFolder, "");
  EXPECT_EQ(record->undecodableDestinationFolder, toString(folder));
  // Encoded again, it is the record that came, to the byte up to the name's zero byte.
  const auto again = record->encode();
  ASSERT_TRUE(again);
  bytes[120 + folder.size() + 1] = 0;
  EXPECT_EQ(*again, bytes);
  EXPECT_EQ(LegacyFileMetadata::decode(*again), record);

  for (const std::string valid : {"", "/home/u/Downloads", "C:\\Downloads"}) {
    LegacyFileMetadata plain;
    plain.destinationFolder = valid;
    const auto decoded = LegacyFileMetadata::decode(*plain.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->undecodableDestinationFolder, "") << valid;
    EXPECT_EQ(*decoded, plain);
  }
}

}  // namespace
}  // namespace vantrel
