#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "Protocol/VantrelHeader.hpp"
#include "Protocol/VantrelProtocol.hpp"

namespace vantrel {
namespace {

template <typename F>
VantrelHeaderError headerErrorOf(F&& f) {
  try {
    f();
  } catch (const VantrelHeaderError& e) {
    return e;
  }
  ADD_FAILURE() << "no VantrelHeaderError thrown";
  return VantrelHeaderError::packetTooShort(999, 999);
}

TEST(VantrelHeaderCodec, EncodesFieldsBigEndianAtTheirOffsetsUnvalidated) {
  const std::vector<std::pair<VantrelHeader, Bytes>> cases{
      {{8, 0, 1, 0x1234, 300, 0xFFFF},
       {0xFE, 0x08, 0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x01, 0x2C, 0xFF, 0xFF}},
      {{0xAB, 0x0102, 0x0304, 0x0506, 0x0708, 0x090A},
       {0xFE, 0xAB, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A}},
      // Zero chunks, a sequence number past them and an oversized chunk are written and read as
      // they are; only decoding a stream checks them.
      {{1, 5, 0, 0, 0xFFFF, 0}, {0xFE, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}},
  };
  for (const auto& [header, expected] : cases) {
    EXPECT_EQ(VantrelHeaderCodec::encode(header), expected);
    EXPECT_EQ(VantrelHeaderCodec::decode(expected), header);
  }
}

TEST(VantrelHeaderCodec, DecodeRoundTripsAndIgnoresTrailingBytes) {
  Bytes bytes{0xFE, 0x04, 0x00, 0x02, 0x00, 0x03, 0xBE, 0xEF, 0xEA, 0x60, 0x00, 0x07};
  bytes.insert(bytes.end(), 8, 0x55);
  const auto header = VantrelHeaderCodec::decode(bytes);
  EXPECT_EQ(header, (VantrelHeader{4, 2, 3, 0xBEEF, 60000, 7}));
  EXPECT_EQ(VantrelHeaderCodec::encode(header), Bytes(bytes.begin(), bytes.begin() + 12));
}

TEST(VantrelHeaderCodec, ShortInputReportsLengthFirst) {
  const auto e = headerErrorOf([] { VantrelHeaderCodec::decode(Bytes(11, 0xFE)); });
  EXPECT_EQ(e, VantrelHeaderError::packetTooShort(11, 12));
  EXPECT_EQ(e.localizedDescription(), "Vantrel header too short: got 11 byte(s), need at least 12.");
  EXPECT_EQ(e.failureReason(), "The packet does not contain a complete 12-byte Vantrel v1 header.");

  EXPECT_EQ(headerErrorOf([] { VantrelHeaderCodec::decode(Bytes{}); }),
            VantrelHeaderError::packetTooShort(0, 12));
  // Length is checked before the signature.
  EXPECT_EQ(headerErrorOf([] { VantrelHeaderCodec::decode(Bytes(5, 0x00)); }).kind(),
            VantrelHeaderError::Case::packetTooShort);
}

TEST(VantrelHeaderCodec, BadSignatureNamesBothBytesInUpperCaseHex) {
  Bytes bytes(12, 0);
  bytes[0] = 0xFF;
  const auto e = headerErrorOf([&] { VantrelHeaderCodec::decode(bytes); });
  EXPECT_EQ(e, VantrelHeaderError::invalidSignature(0xFF, 0xFE));
  EXPECT_EQ(e.localizedDescription(), "Vantrel header invalid signature: got 0xFF, expected 0xFE.");
  EXPECT_EQ(e.failureReason(), "The first byte must be the Vantrel signature 0xFE.");
  bytes[0] = 10;
  EXPECT_EQ(headerErrorOf([&] { VantrelHeaderCodec::decode(bytes); }).localizedDescription(),
            "Vantrel header invalid signature: got 0x0A, expected 0xFE.");
}

}  // namespace
}  // namespace vantrel
