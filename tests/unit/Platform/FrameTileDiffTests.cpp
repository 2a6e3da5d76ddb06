#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Platform/Screen/FrameTileDiff.hpp"

namespace vantrel {
namespace {

// A frame of `width` x `height` BGRx pixels with `padding` bytes after each row; every pixel holds
// a value of its own, the padding `pad`.
struct Frame {
  int width;
  int height;
  int stride;
  std::vector<std::uint8_t> bytes;

  Frame(int w, int h, int padding = 0, std::uint8_t pad = 0)
      : width(w), height(h), stride(w * 4 + padding), bytes(static_cast<std::size_t>(stride) * h, pad) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        auto* p = at(x, y);
        p[0] = static_cast<std::uint8_t>(x);
        p[1] = static_cast<std::uint8_t>(y);
        p[2] = static_cast<std::uint8_t>(x ^ y);
        p[3] = 0xFF;
      }
    }
  }
  std::uint8_t* at(int x, int y) { return bytes.data() + static_cast<std::size_t>(y) * stride + x * 4; }
  BgraImageView view() { return {bytes.data(), stride, width, height}; }
};

bool samePixels(Frame& a, Frame& b) {
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      if (std::memcmp(a.at(x, y), b.at(x, y), 4) != 0) return false;
    }
  }
  return true;
}

TEST(FrameTileDiff, AnIdenticalFrameChangesNothing) {
  Frame previous(300, 100), next(300, 100);
  ScreenDamage damage(300, 100);
  EXPECT_FALSE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  EXPECT_TRUE(damage.isEmpty());
}

TEST(FrameTileDiff, OneChangedPixelReportsAndCopiesItsTileAlone) {
  Frame previous(300, 100), next(300, 100);
  next.at(100, 37)[1] ^= 0x5A;
  ScreenDamage damage(300, 100);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  // The tile from x 64 to 128 and from y 32 to 48.
  ASSERT_EQ(damage.rects().size(), 1u);
  EXPECT_EQ(damage.rects()[0], (ScreenRect{64, 32, 64, 16}));
  EXPECT_TRUE(samePixels(previous, next));
}

TEST(FrameTileDiff, ChangesInOneColumnOfTilesBecomeOneRectangle) {
  Frame previous(256, 64), next(256, 64);
  for (int y = 5; y < 40; ++y) next.at(130, y)[0] ^= 1;  // tile rows 0, 1 and 2 of tile column 2
  ScreenDamage damage(256, 64);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  ASSERT_EQ(damage.rects().size(), 1u);
  EXPECT_EQ(damage.rects()[0], (ScreenRect{128, 0, 64, 48}));
  EXPECT_TRUE(samePixels(previous, next));
}

TEST(FrameTileDiff, DistantChangesStaySeparate) {
  Frame previous(1024, 256), next(1024, 256);
  next.at(0, 0)[2] ^= 1;
  next.at(1000, 250)[2] ^= 1;
  ScreenDamage damage(1024, 256);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  ASSERT_EQ(damage.rects().size(), 2u);
  EXPECT_FALSE(damage.isWhole());
  EXPECT_EQ(damage.area(), 2 * 64 * 16);
}

TEST(FrameTileDiff, TheLastPartialTileIsClippedToTheFrame) {
  Frame previous(100, 20), next(100, 20);
  next.at(99, 19)[0] ^= 0xFF;
  ScreenDamage damage(100, 20);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  ASSERT_EQ(damage.rects().size(), 1u);
  EXPECT_EQ(damage.rects()[0], (ScreenRect{64, 16, 36, 4}));
  EXPECT_TRUE(samePixels(previous, next));
}

TEST(FrameTileDiff, StridePaddingIsNeitherComparedNorCopied) {
  Frame previous(200, 40);
  Frame next(200, 40, 48, 0xEE);  // same pixels, padded source rows with other bytes
  ScreenDamage damage(200, 40);
  EXPECT_FALSE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  EXPECT_TRUE(damage.isEmpty());
  // A change in the pixels still counts, and the target's rows stay unpadded.
  next.at(199, 0)[1] ^= 1;
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  EXPECT_TRUE(samePixels(previous, next));
  EXPECT_EQ(previous.bytes.size(), 200u * 4 * 40);
}

TEST(FrameTileDiff, AWholeNewFrameCountsAsWhole) {
  Frame previous(256, 128), next(256, 128);
  for (auto& b : next.bytes) b = static_cast<std::uint8_t>(~b);
  ScreenDamage damage(256, 128);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), damage));
  EXPECT_TRUE(damage.isWhole());
  EXPECT_TRUE(samePixels(previous, next));
}

// The compare alone: the same tiles as the copying one reports, and neither frame is written,
// with both frames padded differently.
TEST(FrameTileDiff, TheCompareAloneReportsTheSameTilesAndWritesNothing) {
  Frame previous(300, 100, 16, 0x11), next(300, 100, 48, 0xEE);
  next.at(100, 37)[1] ^= 0x5A;
  next.at(299, 99)[0] ^= 1;
  const auto previousBytes = previous.bytes, nextBytes = next.bytes;
  ScreenDamage found(300, 100);
  ASSERT_TRUE(findChangedTiles(next.bytes.data(), next.stride, previous.view(), found));
  EXPECT_EQ(previous.bytes, previousBytes);
  EXPECT_EQ(next.bytes, nextBytes);
  ASSERT_EQ(found.rects().size(), 2u);
  EXPECT_EQ(found.rects()[0], (ScreenRect{64, 32, 64, 16}));
  EXPECT_EQ(found.rects()[1], (ScreenRect{256, 96, 44, 4}));
  ScreenDamage copied(300, 100);
  ASSERT_TRUE(copyChangedTiles(next.bytes.data(), next.stride, previous.view(), copied));
  EXPECT_EQ(copied.rects(), found.rects());
  // Once equal, nothing is found.
  ScreenDamage none(300, 100);
  EXPECT_FALSE(findChangedTiles(next.bytes.data(), next.stride, previous.view(), none));
  EXPECT_TRUE(none.isEmpty());
}

struct FitCase {
  const char* what;
  int width, height;
  std::int64_t stride;
  std::uint64_t offset, chunk, size;
  bool fits;
};

TEST(FrameTileDiff, ABufferMustHoldEveryRowOfTheFrame) {
  const FitCase cases[] = {
      {"exactly height strides", 1920, 1080, 7680, 0, 8294400, 8294400, true},
      {"padded rows", 1920, 1080, 7744, 0, 7744 * 1080, 7744 * 1080, true},
      {"last row without its padding", 1920, 1080, 7744, 0, 7744 * 1079 + 7680, 7744 * 1079 + 7680, true},
      {"one byte short of the buffer", 1920, 1080, 7680, 0, 8294400, 8294399, false},
      {"chunk smaller than the frame", 1920, 1080, 7680, 0, 8294399, 8294400, false},
      {"offset pushes the frame out", 1920, 1080, 7680, 1, 8294400, 8294400, false},
      {"offset past the buffer", 1920, 1080, 7680, 9000000, 8294400, 8294400, false},
      {"offset inside a larger buffer", 1920, 1080, 7680, 4096, 8294400, 8294400 + 4096, true},
      {"stride shorter than a row", 1920, 1080, 7676, 0, 8294400, 8294400, false},
      {"negative stride", 1920, 1080, -7680, 0, 8294400, 8294400, false},
      {"no width", 0, 1080, 7680, 0, 8294400, 8294400, false},
      {"no height", 1920, 0, 7680, 0, 8294400, 8294400, false},
      {"absurd stride", 1920, 1080, std::int64_t{1} << 40, 0, ~std::uint64_t{0}, ~std::uint64_t{0}, false},
      {"size near the top of the range", 16, 16, 64, ~std::uint64_t{0} - 100, 1024, ~std::uint64_t{0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(frameFitsBuffer(c.width, c.height, c.stride, c.offset, c.chunk, c.size), c.fits) << c.what;
  }
}

}  // namespace
}  // namespace vantrel
