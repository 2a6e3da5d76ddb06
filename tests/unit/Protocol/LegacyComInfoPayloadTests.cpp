#include <gtest/gtest.h>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyComInfoPayload.hpp"
#include "Protocol/LegacyComInfoSnapshot.hpp"

namespace vantrel {
namespace {

using namespace testbytes;
namespace Payload = LegacyComInfoPayload;

Bytes lengthPrefixed(std::string_view text) {
  return cat({Bytes{static_cast<std::uint8_t>(text.size())}, ascii(text)});
}

// The 21 member names, length-prefixed; "설정이름" (12 bytes) is the fourth.
Bytes memberNames() {
  Bytes out;
  for (const std::string_view name : {"ComNum",
                                      "Lasttime",
                                      "Ver",
                                      "width",
                                      "height",
                                      "externalIp",
                                      "vpnInfo",
                                      "CpuUsage",
                                      "GpuUsage",
                                      "RamUsage",
                                      "RamSize",
                                      "HddSize",
                                      "HddRemain",
                                      "MyUsedMem",
                                      "UsedTime",
                                      "ConType",
                                      "Remoting",
                                      "screenRate",
                                      "ScreenProtocolVersion",
                                      "MobileProxyProtocolVersion"}) {
    append(out, name == "Ver" ? cat({lengthPrefixed(name), hex("0C EC84A4 ECA095 EC9DB4 EBA684")})
                              : lengthPrefixed(name));
  }
  return out;
}

// Bytes 236…523 of the reply: the TBasicInfo class record, laid out by hand.
Bytes basicInfoClassRecord() {
  return cat({
      hex("09 04000000"),  // DataClass: reference to object 4
      hex("05 04000000 14"), ascii("Corvantis.TBasicInfo"), hex("15000000"), memberNames(),
      hex("00 00 01 01 00 00 01 01 00 00 00 00 00 00 00 01 01 01 00 00 00"),  // binary types
      hex("08 0D 08 08 02 02 02 08 08 09 09 08 08 08"),                       // primitive types
      hex("02000000"),                                                        // library 2
  });
}

TEST(LegacyComInfoPayload, TemplateMatchesTheHandLaidBytes) {
  const auto expected = cat({
      commonPrefix("52000000 00000000"),  // Kind 82, ComNum 0
      basicInfoClassRecord(),
      hex("00000000"),          // 524 ComNum
      hex("0000000000000000"),  // 528 Lasttime
      hex("06 05000000 07"),
      ascii("mac-0.2"),  // 536 Ver
      hex("06 06000000 0A"),
      ascii("VantrelMac"),       // 549 설정이름
      hex("00000000 00000000"),  // 565 width, 569 height
      hex("06 07000000 0F"),
      ascii("000.000.000.000"),                  // 573 externalIp
      hex("06 08000000 00"),                     // 594 vpnInfo
      hex("00 00 00"),                           // 600 Cpu, Gpu, Ram usage
      hex("00000000 00000000"),                  // 603 RamSize, 607 HddSize
      hex("0000000000000000 0000000000000000"),  // 611 HddRemain, 619 MyUsedMem
      hex("06 09000000 0B"),
      ascii("000000h 00m"),  // 627 UsedTime
      hex("06 0A000000 01"),
      ascii("D"),  // 644 ConType
      hex("06 0B000000 09"),
      ascii("0,0,0,0,0"),                 // 651 Remoting
      hex("64000000 03000000 00000000"),  // 666 rate 100, 670 version 3, 674 0
      hex("0B"),
  });
  ASSERT_EQ(expected.size(), 679u);
  EXPECT_EQ(Payload::templateBytes(), expected);
  EXPECT_EQ(sha256Hex(Payload::templateBytes()),
            "cf92c41401ade5e22f815fdbde936914444734984b1bcd6d47b111856157e395");
}

TEST(LegacyComInfoPayload, MinimalFallbackReplyMatchesTheHandLaidBytes) {
  const auto reply = Payload::makePayload(7, LegacyComInfoSnapshot::minimalFallback());
  const auto expected = cat({
      commonPrefix("52000000 07000000"),
      basicInfoClassRecord(),
      hex("07000000 0000000000000000"),
      hex("06 05000000 07"),
      ascii("mac-0.2"),
      hex("06 06000000 0A"),
      ascii("VantrelMac"),
      hex("00000000 00000000"),
      hex("06 07000000 07"),
      ascii("0.0.0.0"),
      hex("06 08000000 00"),
      hex("00 00 00 00000000 00000000 0000000000000000 0000000000000000"),
      hex("06 09000000 04 30 ECB488"),  // "0초"
      hex("06 0A000000 01"),
      ascii("D"),
      hex("06 0B000000 09"),
      ascii("0,0,0,0,0"),
      hex("64000000 03000000 00000000 0B"),
  });
  ASSERT_EQ(expected.size(), 664u);
  EXPECT_EQ(reply, expected);
  EXPECT_EQ(sha256Hex(reply), "e4f5ba28ac3d41fddb59c7a8184fdbc427702b974e94cba508881c112ed352bd");
}

LegacyComInfoSnapshot sample() {
  return LegacyComInfoSnapshot{"10.0.0.5", 12,   3,   40, 16, 500'000'000'000LL, 1000, 123'456'789, "3h",
                               1920,       1080, 200, 3,  1};
}

TEST(LegacyComInfoPayload, PatchesEveryNumberOfASnapshot) {
  const auto reply = Payload::makePayload(0xBEEF, sample());
  // "10.0.0.5" is 7 bytes shorter than its placeholder and "3h" 9 bytes shorter than its own.
  ASSERT_EQ(reply.size(), 679u - 7u - 9u);
  EXPECT_EQ(Bytes(reply.begin() + 228, reply.begin() + 236), hex("52000000 EFBE0000"));
  EXPECT_EQ(Bytes(reply.begin() + 524, reply.begin() + 528), hex("EFBE0000"));
  EXPECT_EQ(Bytes(reply.begin() + 565, reply.begin() + 573), hex("80070000 38040000"));
  EXPECT_EQ(Bytes(reply.begin() + 573, reply.begin() + 587), cat({hex("06 07000000 08"), ascii("10.0.0.5")}));
  // Everything after externalIp moved 7 bytes forward.
  const std::size_t s = 7;
  EXPECT_EQ(Bytes(reply.begin() + 594 - s, reply.begin() + 600 - s), hex("06 08000000 00"));
  EXPECT_EQ(Bytes(reply.begin() + 600 - s, reply.begin() + 627 - s),
            hex("0C 03 28 10000000 FFFFFF7F E803000000000000 15CD5B0700000000"));
  EXPECT_EQ(Bytes(reply.begin() + 627 - s, reply.begin() + 635 - s),
            cat({hex("06 09000000 02"), ascii("3h")}));
  EXPECT_EQ(Bytes(reply.end() - 13, reply.end()), hex("C8000000 03000000 01000000 0B"));
}

TEST(LegacyComInfoPayload, ClampsPercentagesAndWideNumbers) {
  auto snapshot = LegacyComInfoSnapshot::minimalFallback();
  snapshot.externalIP = "000.000.000.001";  // same length as the placeholder: offsets stay put
  snapshot.usedTime = "000000h 01m";
  snapshot.cpuUsage = 150;
  snapshot.gpuUsage = -3;
  snapshot.ramUsage = 100;
  snapshot.width = 5'000'000'000LL;
  snapshot.height = -5'000'000'000LL;
  snapshot.ramSizeGB = INT64_MAX;
  snapshot.hddSizeBytes = 3'000'000'000LL;
  snapshot.hddRemainBytes = -1;
  snapshot.processUsedMemoryBytes = -1;
  snapshot.screenRate = INT64_MIN;
  snapshot.screenProtocolVersion = 2'147'483'648LL;
  snapshot.mobileProxyProtocolVersion = -2'147'483'648LL;
  const auto reply = Payload::makePayload(0, snapshot);
  ASSERT_EQ(reply.size(), 679u);
  EXPECT_EQ(Bytes(reply.begin() + 565, reply.begin() + 573), hex("FFFFFF7F 00000080"));
  EXPECT_EQ(Bytes(reply.begin() + 600, reply.begin() + 627),
            hex("64 00 64 FFFFFF7F FFFFFF7F FFFFFFFFFFFFFFFF 0000000000000000"));
  EXPECT_EQ(Bytes(reply.begin() + 666, reply.begin() + 678), hex("00000080 FFFFFF7F 00000080"));
  EXPECT_EQ(Bytes(reply.begin() + 579, reply.begin() + 594), ascii("000.000.000.001"));
  EXPECT_EQ(Bytes(reply.begin() + 633, reply.begin() + 644), ascii("000000h 01m"));
}

TEST(LegacyComInfoPayload, StringLengthBoundaryIs127Bytes) {
  auto snapshot = sample();
  snapshot.externalIP = std::string(127, 'b');
  auto reply = Payload::makePayload(1, snapshot);
  ASSERT_EQ(reply.size(), 679u - 15u + 127u - 9u);
  EXPECT_EQ(reply[578], 0x7F);
  EXPECT_EQ(Bytes(reply.begin() + 579, reply.begin() + 579 + 127), ascii(std::string(127, 'b')));

  snapshot.externalIP = std::string(128, 'b');
  reply = Payload::makePayload(1, snapshot);
  EXPECT_EQ(reply[578], 0x0F);

  // The limit counts UTF-8 bytes: 43 Hangul syllables are 129 bytes.
  std::string hangul;
  for (int i = 0; i < 43; ++i) hangul += "초";
  snapshot.externalIP = "1.2.3.4";
  snapshot.usedTime = hangul;
  reply = Payload::makePayload(1, snapshot);
  EXPECT_EQ(Bytes(reply.begin() + 627 - 8, reply.begin() + 627 - 8 + 6), hex("06 09000000 0B"));
}

TEST(LegacyComInfoPayload, ReplaceBinaryObjectStringChecksEverything) {
  const auto& t = Payload::templateBytes();
  const auto attempt = [&](std::int64_t offset, std::uint32_t id, std::string_view placeholder,
                           std::string_view value) {
    Bytes data = t;
    const bool replaced = Payload::replaceBinaryObjectString(data, offset, id, placeholder, value);
    if (!replaced) {
      EXPECT_EQ(data, t);  // unchanged on failure
    }
    return replaced;
  };
  EXPECT_TRUE(attempt(573, 7, "000.000.000.000", "x"));
  EXPECT_FALSE(attempt(573, 8, "000.000.000.000", "x"));  // wrong object ID
  EXPECT_FALSE(attempt(574, 7, "000.000.000.000", "x"));  // not a string record
  EXPECT_FALSE(attempt(573, 7, "000.000.000.00", "x"));   // wrong placeholder length
  EXPECT_FALSE(attempt(573, 7, "000.000.000.001", "x"));  // wrong placeholder bytes
  EXPECT_FALSE(attempt(-1, 7, "000.000.000.000", "x"));   // negative offset
  EXPECT_FALSE(attempt(670, 7, "000.000.000.000", "x"));  // runs past the end
  EXPECT_FALSE(attempt(INT64_MAX, 7, "000.000.000.000", "x"));
  EXPECT_FALSE(attempt(573, 7, "000.000.000.000", std::string(128, 'x')));
  EXPECT_TRUE(attempt(573, 7, "000.000.000.000", std::string(127, 'x')));
  EXPECT_TRUE(attempt(594, 8, "", "vpn"));  // the empty vpnInfo record

  Bytes data = t;
  ASSERT_TRUE(Payload::replaceBinaryObjectString(data, 573, 7, "000.000.000.000", ""));
  EXPECT_EQ(data.size(), 664u);
  EXPECT_EQ(Bytes(data.begin() + 573, data.begin() + 585), hex("06 07000000 00 06 08000000 00"));
}

TEST(LegacyComInfoPayloadDeathTest, OffsetOutsideTheDataIsAProgrammingError) {
  Bytes data(4, 0);
  EXPECT_DEATH(Payload::writeInt64LittleEndian(1, data, 0), "outside");
  EXPECT_DEATH((void)Payload::readInt32LittleEndian(data, 1), "outside");
}

}  // namespace
}  // namespace vantrel
