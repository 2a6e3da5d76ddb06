#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/Screen/H264AnnexB.hpp"
#include "Platform/Screen/ScreenPixelConverter.hpp"
#include "Platform/Screen/X264Encoder.hpp"

namespace vantrel {
namespace {

// A BGRA picture with a gradient that moves with `step`, so that consecutive pictures differ.
std::vector<std::uint8_t> movingBgra(int width, int height, int step) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      auto* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<std::uint8_t>((x + step * 3) & 0xFF);
      p[1] = static_cast<std::uint8_t>((y * 2 + step) & 0xFF);
      p[2] = static_cast<std::uint8_t>(((x ^ y) + step) & 0xFF);
      p[3] = 0xFF;
    }
  }
  return pixels;
}

X264EncoderSettings smallSettings(int keyframeInterval = 60) {
  return {160, 96, 30, 500'000, keyframeInterval};
}

TEST(X264Encoder, PicturesComeOutAtOnceAndForcedKeyframesAreIdrWithParameterSets) {
  X264Encoder encoder(smallSettings(1000));
  ScreenPixelConverter converter(160, 96);
  for (int i = 0; i < 20; ++i) {
    auto bgra = movingBgra(160, 96, i);
    const bool force = i == 0 || i == 7 || i == 8 || i == 15;
    const auto picture = encoder.encode(converter.convert({bgra.data(), 160 * 4, 160, 96}), force);
    ASSERT_FALSE(picture.annexB.empty()) << i;
    EXPECT_EQ(picture.isKeyframe, force) << i;
    EXPECT_EQ(H264AnnexB::startsWithParameterSets(picture.annexB), force) << i;
    EXPECT_EQ(H264AnnexB::containsIdrSlice(picture.annexB), force) << i;
    if (!force) {
      // One picture of two slices per access unit, no B-frames: exactly two non-IDR slices.
      const auto units = H264AnnexB::splitNalUnits(picture.annexB);
      int slices = 0;
      for (const auto nal : units) slices += H264AnnexB::nalType(nal) == H264AnnexB::nalSliceNonIdr;
      EXPECT_EQ(slices, 2) << i;
    }
  }
}

// Keyframes are the caller's to place: over more pictures than the interval, a moving picture
// gets none but the one asked for (libx264 would place its own every interval pictures).
TEST(X264Encoder, PlacesNoKeyframeOfItsOwn) {
  X264Encoder encoder(smallSettings(60));
  ScreenPixelConverter converter(160, 96);
  std::vector<int> keys;
  for (int i = 0; i < 150; ++i) {
    auto bgra = movingBgra(160, 96, i);
    const auto picture = encoder.encode(converter.convert({bgra.data(), 160 * 4, 160, 96}), i == 0);
    EXPECT_EQ(H264AnnexB::containsIdrSlice(picture.annexB), picture.isKeyframe) << i;
    if (picture.isKeyframe) keys.push_back(i);
  }
  EXPECT_EQ(keys, std::vector<int>{0});
}

// A still picture refined by refreshes, then a keyframe: at the rate control's choice it comes
// out far coarser than the picture it replaces; given that picture's quantiser it keeps it.
TEST(X264Encoder, AKeyframeGivenTheStillPictureQuantiserKeepsItsQuality) {
  const auto run = [](bool keepQuality) {
    X264Encoder encoder({320, 192, 30, 1'000'000, 60});
    ScreenPixelConverter converter(320, 192);
    int stillQp = 0;
    for (int i = 0; i < 40; ++i) {  // moving, then still from picture 30 on
      auto bgra = movingBgra(320, 192, std::min(i, 30) * 5);
      stillQp = encoder.encode(converter.convert({bgra.data(), 320 * 4, 320, 192}), i == 0).qp;
    }
    auto bgra = movingBgra(320, 192, 150);
    const auto key = encoder.encode(converter.convert({bgra.data(), 320 * 4, 320, 192}), true, nullptr,
                                    keepQuality ? stillQp : 0);
    EXPECT_TRUE(key.isKeyframe);
    return std::pair{stillQp, key.qp};
  };
  const auto [stillQp, keptQp] = run(true);
  const auto [sameStillQp, rateControlQp] = run(false);
  EXPECT_EQ(stillQp, sameStillQp);
  EXPECT_LE(keptQp, stillQp + 1) << "a keyframe at the still picture's quantiser";
  EXPECT_GE(rateControlQp, stillQp + 4) << "the rate control's keyframe is much coarser (what is put right)";
}

TEST(X264Encoder, RejectsSizesItCannotEncode) {
  const std::vector<X264EncoderSettings> bad{
      {161, 96, 30, 500'000, 60}, {160, 95, 30, 500'000, 60},  {0, 96, 30, 500'000, 60},
      {-2, 96, 30, 500'000, 60},  {8194, 96, 30, 500'000, 60}, {160, 96, 0, 500'000, 60},
      {160, 96, 30, 10, 60},      {160, 96, 30, 500'000, 0},
  };
  for (const auto& settings : bad) {
    EXPECT_TRUE(X264Encoder::validate(settings).has_value()) << settings.width << "x" << settings.height;
    try {
      X264Encoder encoder(settings);
      ADD_FAILURE() << "accepted " << settings.width << "x" << settings.height;
    } catch (const X264EncoderError& error) {
      EXPECT_EQ(error.kind(), X264EncoderError::Case::invalidSettings);
    }
  }
  EXPECT_FALSE(X264Encoder::validate(smallSettings()).has_value());
}

TEST(X264Encoder, PictureOfAnotherSizeIsAnEncodeFailure) {
  X264Encoder encoder(smallSettings());
  ScreenPixelConverter converter(320, 192);
  auto bgra = movingBgra(320, 192, 0);
  try {
    (void)encoder.encode(converter.convert({bgra.data(), 320 * 4, 320, 192}), true);
    FAIL() << "a picture of the wrong size was encoded";
  } catch (const X264EncoderError& error) {
    EXPECT_EQ(error.kind(), X264EncoderError::Case::encodeFailed);
  }
}

// The map of unchanged macroblocks against hand-computed maps of a 50x36 picture: 4 x 3
// macroblocks, the last column and row only partly inside the picture.
TEST(X264Encoder, UnchangedMacroblocksAreThoseNoChangedPartTouches) {
  struct Case {
    const char* name;
    std::vector<ScreenRect> changed;
    bool whole;
    std::vector<std::uint8_t> map;
  };
  const std::vector<Case> cases{
      {"nothing changed", {}, false, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"everything changed", {}, true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"one macroblock exactly", {{16, 16, 16, 16}}, false, {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1}},
      {"two pixels across a corner of four", {{14, 14, 4, 4}}, false, {0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1}},
      {"the last column's pixels left of its edge",
       {{30, 0, 2, 2}},
       false,
       {1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"the first pixels right of an edge", {{32, 18, 2, 2}}, false, {1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1}},
      {"the partial bottom-right macroblock", {{48, 34, 2, 2}}, false, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
      {"a row through the middle", {{0, 20, 50, 2}}, false, {1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScreenDamage changed(50, 36);
    for (const auto& r : c.changed) changed.add(r);
    if (c.whole) changed.addWhole();
    EXPECT_EQ(X264Encoder::unchangedMacroblocks(changed, 50, 36), c.map);
  }
}

// Two encoders see the same pictures; one is told that nothing changed. Keyframes, the first
// picture, a whole change and a map of another size are analysed everywhere, so those come out
// byte for byte as without the map; between keyframes the map is followed.
TEST(X264Encoder, AMapOfUnchangedMacroblocksIsFollowedOnlyBetweenKeyframes) {
  X264Encoder plain(smallSettings(1000));
  X264Encoder told(smallSettings(1000));
  ScreenPixelConverter converter(160, 96);
  ScreenDamage nothing(160, 96);
  ScreenDamage whole(160, 96);
  whole.addWhole();
  ScreenDamage otherSize(320, 192);
  struct Step {
    const char* name;
    bool keyframe;
    const ScreenDamage* hint;
    bool followed;
  };
  const Step steps[] = {
      {"the first picture", false, &nothing, false}, {"a keyframe", true, &nothing, false},
      {"a whole change", false, &whole, false},      {"a map of another size", false, &otherSize, false},
      {"between keyframes", false, &nothing, true},
  };
  int step = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    auto bgra = movingBgra(160, 96, ++step * 7);
    const auto& picture = converter.convert({bgra.data(), 160 * 4, 160, 96});
    const auto expected = plain.encode(picture, s.keyframe);
    const auto got = told.encode(picture, s.keyframe, s.hint);
    EXPECT_EQ(got.isKeyframe, expected.isKeyframe);
    if (!s.followed) {
      EXPECT_EQ(got.annexB, expected.annexB);
      continue;
    }
    // Every macroblock skipped: the picture shows the previous one again, in a few bytes.
    EXPECT_FALSE(got.isKeyframe);
    EXPECT_LT(got.annexB.size() * 10, expected.annexB.size())
        << got.annexB.size() << " bytes told, " << expected.annexB.size() << " not";
  }
}

TEST(ScreenPixelConverter, ConvertsBgraToStudioRangeI420) {
  // Left half pure red, right half pure blue (B, G, R, A in memory).
  std::vector<std::uint8_t> bgra(8 * 2 * 4);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 8; ++x) {
      auto* p = &bgra[(static_cast<std::size_t>(y) * 8 + x) * 4];
      const bool red = x < 4;
      p[0] = red ? 0 : 255;
      p[1] = 0;
      p[2] = red ? 255 : 0;
      p[3] = 255;
    }
  }
  ScreenPixelConverter converter(8, 2);
  const auto& picture = converter.convert({bgra.data(), 8 * 4, 8, 2});
  // BT.601 studio range: red Y 82 U 90 V 240; blue Y 41 U 240 V 110.
  EXPECT_NEAR(picture.y[0], 82, 1);
  EXPECT_NEAR(picture.u[0], 90, 2);
  EXPECT_NEAR(picture.v[0], 240, 2);
  EXPECT_NEAR(picture.y[7], 41, 1);
  EXPECT_NEAR(picture.u[3], 240, 2);
  EXPECT_NEAR(picture.v[3], 110, 2);
}

TEST(ScreenPixelConverter, ScalesToTheTargetSizeAveragingNeighbours) {
  // 4x4 checkerboard of black and white 1-pixel squares scales to 2x2 mid grey.
  std::vector<std::uint8_t> bgra(4 * 4 * 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const std::uint8_t v = ((x + y) % 2) ? 255 : 0;
      auto* p = &bgra[(static_cast<std::size_t>(y) * 4 + x) * 4];
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  ScreenPixelConverter converter(2, 2);
  const auto& picture = converter.convert({bgra.data(), 16, 4, 4});
  ASSERT_EQ(picture.width, 2);
  ASSERT_EQ(picture.y.size(), 4u);
  for (const auto y : picture.y)
    EXPECT_NEAR(y, 125, 3);  // mid grey: halfway between video black 16 and white 235
  EXPECT_THROW(ScreenPixelConverter(0, 2), std::invalid_argument);
}

}  // namespace
}  // namespace vantrel
