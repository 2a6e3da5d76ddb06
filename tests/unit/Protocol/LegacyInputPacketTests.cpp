#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyInputPacket.hpp"

namespace vantrel {
namespace {

using namespace testbytes;

TEST(LegacyInputPacket, DecodesTheHandLaidMouseMove) {
  const auto bytes = hex("32000000 32 01 0000 10000000 20000000 0000 0000");
  const auto packet = LegacyInputPacket::decode(bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(*packet, (LegacyInputPacket{50, 50, 1, 0, 16, 32, 0}));
  EXPECT_EQ(packet->diagnosticKind(), "mouse-move");
}

TEST(LegacyInputPacket, ReadsEveryFieldLittleEndianWithSigns) {
  // comNum -2, command 7, mode 136, delay 0x1234, x -120 (wheel), y 0x7FFFFFFF, random -1,
  // and two trailing bytes that are not read.
  const auto bytes = hex("FEFFFFFF 07 88 3412 88FFFFFF FFFFFF7F FFFF ABCD");
  const auto packet = LegacyInputPacket::decode(bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->comNum, -2);
  EXPECT_EQ(packet->command, 7);  // carried as it is
  EXPECT_EQ(packet->mode, 136);
  EXPECT_EQ(packet->delay, 0x1234);
  EXPECT_EQ(packet->x, -120);
  EXPECT_EQ(packet->y, INT32_MAX);
  EXPECT_EQ(packet->random, -1);
  EXPECT_EQ(packet->diagnosticKind(), "wheel");
}

TEST(LegacyInputPacket, OnlyExactlyTwentyBytesDecode) {
  const Bytes twenty(20, 0);
  EXPECT_TRUE(LegacyInputPacket::decode(twenty));
  EXPECT_FALSE(LegacyInputPacket::decode(ByteView(twenty).first(19)));
  EXPECT_FALSE(LegacyInputPacket::decode(Bytes(21, 0)));
  EXPECT_FALSE(LegacyInputPacket::decode(ByteView()));
  EXPECT_EQ(LegacyInputPacket::byteCount, 20u);
  EXPECT_EQ(LegacyInputPacket::remoteMouseCommand, 50);
}

}  // namespace
}  // namespace vantrel
