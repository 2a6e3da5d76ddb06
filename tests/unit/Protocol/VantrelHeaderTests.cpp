#include <gtest/gtest.h>

#include "Protocol/VantrelHeader.hpp"

namespace vantrel {
namespace {

TEST(VantrelHeaderCodec, EncodesFieldsBigEndianAfterSignature) {
  const VantrelHeader header{8, 0, 1, 0x1234, 300, 0xFFFF};
  const Bytes expected{0xFE, 0x08, 0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x01, 0x2C, 0xFF, 0xFF};
  EXPECT_EQ(VantrelHeaderCodec::encode(header), expected);
}

}  // namespace
}  // namespace vantrel
