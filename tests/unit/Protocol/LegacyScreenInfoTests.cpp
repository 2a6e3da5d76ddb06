#include <gtest/gtest.h>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyScreenInfo.hpp"

namespace vantrel {
namespace {

using namespace testbytes;
namespace Codec = LegacyScreenInfoCodec;

// 247 bytes standing for the manager's object between the envelope fields and the numbers.
Bytes managerObject() {
  Bytes out(247);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0x80 + i % 97);
  return out;
}

// clientWidth 2560, clientHeight 1440, picWidth 1366, picHeight 768, accel 5, cursor 1,
// version 2, monitorCount 2, selectedIndex 1, dpiRate 150.
const char* const kRequestNumbers =
    "000A0000 A0050000 56050000 00030000 05000000 01000000 02000000 02000000 01000000 96000000";

// A 527-byte request: kind and comNum (little-endian hex), the object, the numbers, 4 more bytes.
Bytes request(std::string_view kindAndComNum, const char* numbers = kRequestNumbers) {
  return cat({commonPrefix(kindAndComNum), managerObject(), hex(numbers), hex("DEADBEEF")});
}

TEST(LegacyScreenInfoCodec, ParsesAGetScreenRequest) {
  const auto fields = Codec::parse(request("15000000 03000000"));
  ASSERT_TRUE(fields);
  EXPECT_EQ(*fields, (LegacyScreenInfoFields{21, 3, 2560, 1440, 1366, 768, 5, 1, 2, 2, 1, 150}));
  EXPECT_TRUE(fields->showsCursor());
}

TEST(LegacyScreenInfoCodec, ParsesNegativeFieldsAndNoCursor) {
  const auto fields = Codec::parse(
      request("19000000 FFFFFFFF",
              "FFFFFFFF 00000080 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"));
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->kind, 25u);
  EXPECT_EQ(fields->comNum, -1);
  EXPECT_EQ(fields->clientWidth, -1);
  EXPECT_EQ(fields->clientHeight, INT32_MIN);
  EXPECT_FALSE(fields->showsCursor());
}

TEST(LegacyScreenInfoCodec, LengthBoundaryAt523) {
  const auto full = request("19000000 03000000");
  EXPECT_TRUE(Codec::parse(ByteView(full).first(523)));
  EXPECT_FALSE(Codec::parse(ByteView(full).first(522)));
  const auto getScreen = request("15000000 03000000");
  EXPECT_TRUE(Codec::makeGetScreenInfoResponse(ByteView(getScreen).first(523), 1, 1, 1, 1, 1, 100));
  EXPECT_FALSE(Codec::makeGetScreenInfoResponse(ByteView(getScreen).first(522), 1, 1, 1, 1, 1, 100));
  EXPECT_TRUE(Codec::makeDecoderResetResponse(ByteView(getScreen).first(523), 1));
  EXPECT_FALSE(Codec::makeDecoderResetResponse(ByteView(getScreen).first(522), 1));
}

TEST(LegacyScreenInfoCodec, KindsOtherThan21And25AreNotScreenRequests) {
  EXPECT_FALSE(Codec::parse(request("18000000 03000000")));  // GET_SCREEN_END
  EXPECT_FALSE(Codec::makeDecoderResetResponse(request("18000000 03000000"), 3));
  EXPECT_FALSE(Codec::makeGetScreenInfoResponse(request("18000000 03000000"), 3, 1, 1, 1, 1, 1));
  auto notEnvelope = request("15000000 03000000");
  notEnvelope[0] = 0xFF;
  EXPECT_FALSE(Codec::parse(notEnvelope));
  EXPECT_FALSE(Codec::makeDecoderResetResponse(notEnvelope, 3));
}

TEST(LegacyScreenInfoCodec, GetScreenInfoRequestIsNotAnsweredAsGetScreen) {
  const auto info = request("19000000 03000000");
  EXPECT_TRUE(Codec::parse(info));
  EXPECT_FALSE(Codec::makeGetScreenInfoResponse(info, 3, 1920, 1080, 1920, 1080, 100));
  EXPECT_TRUE(Codec::makeDecoderResetResponse(info, 3));
}

TEST(LegacyScreenInfoCodec, GetScreenAnswerMatchesTheHandLaidBytes) {
  const auto answer = Codec::makeGetScreenInfoResponse(request("15000000 03000000"), 0x0102, 3'000'000'000LL,
                                                       1800, 1728, 1080, 200);
  // Kind 25, comNum 0x0102; clientWidth clamped to 2^31-1; accel 5 and cursor 1 kept; version 3,
  // one monitor (the request said 2), index 0, DPI 200; the manager's bytes around it unchanged.
  const auto expected = cat({commonPrefix("19000000 02010000"), managerObject(),
                             hex("FFFFFF7F 08070000 C0060000 38040000 05000000 01000000 03000000 01000000 "
                                 "00000000 C8000000"),
                             hex("DEADBEEF")});
  EXPECT_EQ(answer, expected);
}

TEST(LegacyScreenInfoCodec, GetScreenAnswerClampsNegativeValuesToInt32Min) {
  const auto answer = Codec::makeGetScreenInfoResponse(request("15000000 03000000"), 0, -5'000'000'000LL, 0,
                                                       -1, INT64_MAX, INT64_MIN);
  ASSERT_TRUE(answer);
  const auto fields = Codec::parse(*answer);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->clientWidth, INT32_MIN);
  EXPECT_EQ(fields->clientHeight, 0);
  EXPECT_EQ(fields->picWidth, -1);
  EXPECT_EQ(fields->picHeight, INT32_MAX);
  EXPECT_EQ(fields->dpiRate, INT32_MIN);
  EXPECT_EQ(fields->comNum, 0);
}

TEST(LegacyScreenInfoCodec, DecoderResetMatchesTheHandLaidBytes) {
  const auto answer = Codec::makeDecoderResetResponse(request("19000000 03000000"), 0xFFFF);
  // Sizes zero, version 3; accel, cursor, monitorCount, selectedIndex and dpiRate as sent.
  const auto expected = cat({commonPrefix("19000000 FFFF0000"), managerObject(),
                             hex("00000000 00000000 00000000 00000000 05000000 01000000 03000000 02000000 "
                                 "01000000 96000000"),
                             hex("DEADBEEF")});
  EXPECT_EQ(answer, expected);
  // A GET_SCREEN request gets the same reset answer, of kind 25.
  const auto fromGetScreen = Codec::makeDecoderResetResponse(request("15000000 03000000"), 0xFFFF);
  EXPECT_EQ(fromGetScreen, expected);
}

TEST(LegacyScreenInfoCodec, AnswerKeepsTheRequestLengthBeyond527) {
  auto longer = request("15000000 03000000");
  append(longer, hex("0102030405"));
  const auto answer = Codec::makeGetScreenInfoResponse(longer, 1, 10, 10, 10, 10, 100);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->size(), 532u);
  EXPECT_EQ(Bytes(answer->begin() + 523, answer->end()), hex("DEADBEEF 0102030405"));
}

TEST(LegacyScreenInfoCodec, FitAspect) {
  EXPECT_EQ(Codec::fitAspect(2880, 1800, 1920, 1080), (Codec::PixelSize{1728, 1080}));
  EXPECT_EQ(Codec::fitAspect(1000, 500, 1920, 1080), (Codec::PixelSize{1000, 500}));
  EXPECT_EQ(Codec::fitAspect(0, 0, 0, 0), (Codec::PixelSize{1, 1}));
  EXPECT_EQ(Codec::fitAspect(-7, 100, 1920, 1080), (Codec::PixelSize{1, 100}));
  EXPECT_EQ(Codec::fitAspect(3840, 2160, 1920, 1080), (Codec::PixelSize{1920, 1080}));
  // Not rounded to even numbers; a tiny side stays at least 1.
  EXPECT_EQ(Codec::fitAspect(1001, 3, 500, 500), (Codec::PixelSize{500, 1}));
  // Plain double arithmetic: 100000 × (1920 ÷ 100000) is just below 1920.
  EXPECT_EQ(Codec::fitAspect(100000, 1, 1920, 1080), (Codec::PixelSize{1919, 1}));
  // Extreme inputs saturate instead of overflowing.
  const auto huge = Codec::fitAspect(INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX);
  EXPECT_EQ(huge.width, INT64_MAX);
  EXPECT_EQ(huge.height, INT64_MAX);
}

TEST(LegacyScreenInfoCodec, ChooseTargetSize) {
  EXPECT_EQ(Codec::chooseTargetSize(2880, 1800, 1366, 768), (Codec::PixelSize{1366, 768}));
  EXPECT_EQ(Codec::chooseTargetSize(2880, 1800, 100, 100), (Codec::PixelSize{1728, 1080}));
  EXPECT_EQ(Codec::chooseTargetSize(0, 1800, 1366, 768), (Codec::PixelSize{1280, 720}));
  EXPECT_EQ(Codec::chooseTargetSize(2880, 0, 1366, 768), (Codec::PixelSize{1280, 720}));
  // Limited by the display and by 1920 × 1080, each side rounded down to even.
  EXPECT_EQ(Codec::chooseTargetSize(1365, 767, 3840, 2160), (Codec::PixelSize{1364, 766}));
  EXPECT_EQ(Codec::chooseTargetSize(5120, 2880, 3840, 2160), (Codec::PixelSize{1920, 1080}));
  // Range edges of the request: 320…3840 × 180…2160.
  EXPECT_EQ(Codec::chooseTargetSize(1920, 1080, 320, 180), (Codec::PixelSize{320, 180}));
  EXPECT_EQ(Codec::chooseTargetSize(1920, 1080, 319, 180), (Codec::PixelSize{1920, 1080}));
  EXPECT_EQ(Codec::chooseTargetSize(1920, 1080, 320, 179), (Codec::PixelSize{1920, 1080}));
  EXPECT_EQ(Codec::chooseTargetSize(1920, 1080, 3841, 1000), (Codec::PixelSize{1920, 1080}));
  EXPECT_EQ(Codec::chooseTargetSize(1920, 1080, 1000, 2161), (Codec::PixelSize{1920, 1080}));
  // A one-pixel-wide display: step 2 yields width 0, fitting yields width 1 → 0 → fallback.
  EXPECT_EQ(Codec::chooseTargetSize(1, 1080, 1366, 768), (Codec::PixelSize{1280, 720}));
  // Odd fitted sides are rounded down to even: 1921 × 1081 fits as 1919 × 1080.
  EXPECT_EQ(Codec::chooseTargetSize(1921, 1081, 0, 0), (Codec::PixelSize{1918, 1080}));
  EXPECT_EQ(Codec::chooseTargetSize(1025, 769, 0, 0), (Codec::PixelSize{1024, 768}));
}

TEST(LegacyScreenInfoCodec, RecommendedBitrate) {
  EXPECT_EQ(Codec::recommendedBitrate(1920, 1080), 3'000'000);
  EXPECT_EQ(Codec::recommendedBitrate(3840, 2160), 3'000'000);
  EXPECT_EQ(Codec::recommendedBitrate(1280, 720), 2'166'667);
  EXPECT_EQ(Codec::recommendedBitrate(1440, 900), 2'437'500);
  EXPECT_EQ(Codec::recommendedBitrate(0, 0), 1'500'001);
  EXPECT_EQ(Codec::recommendedBitrate(-100, -100), 1'500'001);
  EXPECT_EQ(Codec::recommendedBitrate(INT64_MAX, INT64_MAX), 3'000'000);
}

}  // namespace
}  // namespace vantrel
