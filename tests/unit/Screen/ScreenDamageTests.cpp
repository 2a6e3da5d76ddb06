#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/Screen/ScreenPixelConverter.hpp"

namespace vantrel {
namespace {

bool contains(const ScreenRect& outer, const ScreenRect& inner) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
         inner.y + inner.height <= outer.y + outer.height;
}

bool coveredBy(const std::vector<ScreenRect>& rects, const ScreenRect& r) {
  for (const auto& candidate : rects) {
    if (contains(candidate, r)) return true;
  }
  return false;
}

TEST(ScreenDamage, RectanglesGrowToEvenCoordinatesAndAreClippedToThePicture) {
  struct Case {
    ScreenRect in;
    int width, height;
    ScreenRect out;
  };
  const Case cases[] = {
      {{3, 5, 7, 9}, 100, 100, {2, 4, 8, 10}},       // 3..10 -> 2..10, 5..14 -> 4..14
      {{4, 4, 2, 2}, 100, 100, {4, 4, 2, 2}},        // already even
      {{0, 0, 1, 1}, 100, 100, {0, 0, 2, 2}},        // one pixel is a whole chroma block
      {{98, 97, 5, 5}, 99, 99, {98, 96, 1, 3}},      // an odd picture keeps its odd last column/row
      {{-5, -5, 8, 8}, 100, 100, {0, 0, 4, 4}},      // beyond the top-left edge
      {{95, 95, 50, 50}, 100, 100, {94, 94, 6, 6}},  // beyond the bottom-right edge
      {{100, 0, 4, 4}, 100, 100, {}},                // entirely outside
      {{10, 10, 0, 5}, 100, 100, {}},                // empty
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evenAligned(c.in, c.width, c.height), c.out)
        << c.in.x << "," << c.in.y << " " << c.in.width << "x" << c.in.height;
  }
}

TEST(ScreenDamage, CloseRectanglesMergeAndDistantOnesStayApart) {
  ScreenDamage damage(1920, 1080);
  EXPECT_TRUE(damage.isEmpty());
  damage.add({0, 0, 10, 10});
  damage.add({1000, 500, 10, 10});
  ASSERT_EQ(damage.rects().size(), 2U);
  damage.add({12, 0, 10, 10});  // the bounds 22x10 waste 20 pixels: one read
  ASSERT_EQ(damage.rects().size(), 2U);
  EXPECT_TRUE(coveredBy(damage.rects(), {0, 0, 22, 10}));
  damage.add({1004, 504, 10, 10});  // overlaps the second one
  ASSERT_EQ(damage.rects().size(), 2U);
  EXPECT_TRUE(coveredBy(damage.rects(), {1000, 500, 14, 14}));
  damage.add({-10, -10, 5, 5});  // outside: nothing
  EXPECT_EQ(damage.rects().size(), 2U);
  damage.clear();
  EXPECT_TRUE(damage.isEmpty());
}

TEST(ScreenDamage, ManyRectanglesAreMergedDownToTheLimitAndStillCoverEveryChange) {
  ScreenDamage damage(1920, 1080, 4);
  std::vector<ScreenRect> added;
  // Four clusters of scattered small changes (a caret, a clock, two menus).
  const int clusterX[] = {10, 1500, 30, 1600};
  const int clusterY[] = {20, 40, 800, 900};
  for (int i = 0; i < 40; ++i) {
    const ScreenRect r{clusterX[i % 4] + (i * 397) % 200, clusterY[i % 4] + (i * 211) % 150, 3 + i % 5,
                       2 + i % 7};
    added.push_back(r);
    damage.add(r);
    ASSERT_LE(damage.rects().size(), 4U);
  }
  ASSERT_FALSE(damage.isWhole());
  for (const auto& r : added) EXPECT_TRUE(coveredBy(damage.rects(), r)) << r.x << "," << r.y;
}

TEST(ScreenDamage, MoreThanTheShareOfThePictureIsTheWholePicture) {
  ScreenDamage damage(100, 100, 12, 512);
  damage.add({0, 0, 100, 50});  // exactly half: still parts
  EXPECT_FALSE(damage.isWhole());
  EXPECT_EQ(damage.area(), 5000);
  damage.add({0, 50, 100, 2});
  EXPECT_TRUE(damage.isWhole());
  EXPECT_TRUE(damage.rects().empty());
  EXPECT_EQ(damage.area(), 10000);
  damage.add({0, 0, 2, 2});
  EXPECT_TRUE(damage.isWhole()) << "whole stays whole until cleared";
  damage.clear();
  EXPECT_FALSE(damage.isWhole());
}

TEST(ScreenDamage, ScaledRectanglesReachTheFilterMarginAndStayInThePicture) {
  // 2:1: source 100..110 -> target 50..55, two pixels of margin each side, even.
  EXPECT_EQ(ScreenPixelConverter::targetRect({100, 100, 10, 10}, 1920, 1080, 960, 540),
            (ScreenRect{48, 48, 10, 10}));
  // 4:3 (2560 -> 1920): 301 * 3 / 4 = 225 -> 223 -> 222; ceil(311 * 3 / 4) = 234 -> 236.
  EXPECT_EQ(ScreenPixelConverter::targetRect({301, 0, 10, 1}, 2560, 1440, 1920, 1080),
            (ScreenRect{222, 0, 14, 4}));
  EXPECT_EQ(ScreenPixelConverter::targetRect({3838, 2158, 2, 2}, 3840, 2160, 1920, 1080),
            (ScreenRect{1916, 1076, 4, 4}));
  EXPECT_EQ(ScreenPixelConverter::targetRect({0, 0, 0, 0}, 3840, 2160, 1920, 1080), (ScreenRect{}));
}

// --- the converter's partial path against a whole conversion of the same source ---

struct Bgra {
  int width, height;
  std::vector<std::uint8_t> pixels;
  Bgra(int w, int h, unsigned seed) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4) {
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = (i % 4 == 3) ? 0xFF : random() & 0xFF;
  }
  BgraImageView view() { return {pixels.data(), width * 4, width, height}; }
  void scribble(const ScreenRect& r, unsigned seed) {
    std::mt19937 random(seed);
    for (int y = std::max(0, r.y); y < std::min(height, r.y + r.height); ++y) {
      for (int x = std::max(0, r.x); x < std::min(width, r.x + r.width); ++x) {
        auto* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = random() & 0xFF;
        p[1] = random() & 0xFF;
        p[2] = random() & 0xFF;
      }
    }
  }
};

void expectSamePicture(const I420Picture& a, const I420Picture& b, const std::string& what) {
  ASSERT_EQ(a.width, b.width) << what;
  ASSERT_EQ(a.height, b.height) << what;
  const auto firstDifference = [](const std::vector<std::uint8_t>& x, const std::vector<std::uint8_t>& y) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i] != y[i]) return static_cast<long long>(i);
    }
    return -1LL;
  };
  EXPECT_EQ(firstDifference(a.y, b.y), -1) << what << ": Y differs (index, stride " << a.strideY() << ")";
  EXPECT_EQ(firstDifference(a.u, b.u), -1) << what << ": U differs (index, stride " << a.strideUV() << ")";
  EXPECT_EQ(firstDifference(a.v, b.v), -1) << what << ": V differs (index, stride " << a.strideUV() << ")";
}

struct PartialCase {
  const char* name;
  int sourceWidth, sourceHeight, targetWidth, targetHeight;
  std::vector<ScreenRect> changes;
};

// `count` rectangles of 1 to 3 pixels a side, scattered over `region`.
std::vector<ScreenRect> tinyRects(int count, const ScreenRect& region) {
  std::vector<ScreenRect> rects;
  rects.reserve(static_cast<std::size_t>(count));
  std::mt19937 random(99);
  for (int i = 0; i < count; ++i) {
    rects.push_back({region.x + static_cast<int>(random() % static_cast<unsigned>(region.width)),
                     region.y + static_cast<int>(random() % static_cast<unsigned>(region.height)),
                     1 + static_cast<int>(random() % 3), 1 + static_cast<int>(random() % 3)});
  }
  return rects;
}

// The first sample of `after` outside `parts` that differs from `before`, or "" when none does.
// A chroma sample counts as inside when any of the pixels it covers is.
std::string changeOutside(const I420Picture& before, const I420Picture& after, const ScreenDamage& parts) {
  if (parts.isWhole()) return "";
  std::vector<bool> inside(static_cast<std::size_t>(after.width) * static_cast<std::size_t>(after.height));
  for (const auto& r : parts.rects()) {
    for (int y = r.y; y < r.y + r.height; ++y) {
      for (int x = r.x; x < r.x + r.width; ++x)
        inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(after.width) +
               static_cast<std::size_t>(x)] = true;
    }
  }
  const auto at = [&](int x, int y) {
    return x < after.width && y < after.height &&
           inside[static_cast<std::size_t>(y) * static_cast<std::size_t>(after.width) +
                  static_cast<std::size_t>(x)];
  };
  for (int y = 0; y < after.height; ++y) {
    for (int x = 0; x < after.width; ++x) {
      const auto i =
          static_cast<std::size_t>(y) * static_cast<std::size_t>(after.width) + static_cast<std::size_t>(x);
      if (!at(x, y) && before.y[i] != after.y[i])
        return "Y at " + std::to_string(x) + "," + std::to_string(y);
    }
  }
  for (int y = 0; y < (after.height + 1) / 2; ++y) {
    for (int x = 0; x < after.strideUV(); ++x) {
      const auto i = static_cast<std::size_t>(y) * static_cast<std::size_t>(after.strideUV()) +
                     static_cast<std::size_t>(x);
      const bool covered =
          at(2 * x, 2 * y) || at(2 * x + 1, 2 * y) || at(2 * x, 2 * y + 1) || at(2 * x + 1, 2 * y + 1);
      if (!covered && (before.u[i] != after.u[i] || before.v[i] != after.v[i]))
        return "chroma at " + std::to_string(x) + "," + std::to_string(y);
    }
  }
  return "";
}

TEST(ScreenPixelConverter, ConvertingTheChangedPartsEqualsConvertingTheWholePicture) {
  const std::vector<PartialCase> cases = {
      {"odd edges", 320, 180, 320, 180, {{3, 5, 7, 9}, {101, 33, 1, 1}}},
      {"at the borders",
       320,
       180,
       320,
       180,
       {{0, 0, 5, 3}, {317, 177, 3, 3}, {319, 0, 1, 180}, {0, 179, 320, 1}}},
      {"overlapping", 320, 180, 320, 180, {{10, 10, 60, 40}, {50, 30, 60, 40}, {40, 0, 5, 100}}},
      {"many tiny", 320, 180, 320, 180, tinyRects(200, {30, 40, 120, 70})},
      {"odd picture size", 321, 181, 321, 181, {{320, 180, 1, 1}, {0, 179, 9, 2}, {157, 3, 1, 178}}},
      {"scaled 2:1", 640, 360, 320, 180, {{3, 5, 7, 9}, {637, 357, 3, 3}, {200, 100, 61, 41}}},
      {"scaled 4:3", 640, 360, 480, 270, {{3, 5, 7, 9}, {637, 357, 3, 3}, {200, 100, 61, 41}}},
      {"scaled, many tiny", 640, 360, 320, 180, tinyRects(150, {100, 80, 200, 120})},
      // Parts whose scaled width is no multiple of the scaler's SIMD width (6 and 10 pixels).
      {"scaled 2:1, narrow parts", 640, 360, 320, 180, {{10, 10, 2, 2}, {301, 201, 9, 3}}},
  };
  for (const auto& c : cases) {
    Bgra source(c.sourceWidth, c.sourceHeight, 1);
    ScreenPixelConverter partial(c.targetWidth, c.targetHeight);
    const auto before = partial.convert(source.view());
    EXPECT_TRUE(partial.changedParts().isWhole()) << c.name << ": a whole conversion changes everything";
    ScreenDamage damage(c.sourceWidth, c.sourceHeight);
    unsigned seed = 2;
    for (const auto& r : c.changes) {
      source.scribble(r, seed++);
      damage.add(r);
    }
    ASSERT_FALSE(damage.isWhole()) << c.name << ": the case must exercise the partial path";
    const auto& updated = partial.convert(source.view(), damage);
    ScreenPixelConverter whole(c.targetWidth, c.targetHeight);
    expectSamePicture(updated, whole.convert(source.view()), c.name);
    // What the encoder is told may have changed holds every sample that did.
    ASSERT_FALSE(partial.changedParts().isWhole()) << c.name;
    EXPECT_EQ(changeOutside(before, updated, partial.changedParts()), "") << c.name;
  }
}

TEST(ScreenPixelConverter, UnreportedChangesStayOutOfThePictureUntilAWholeConversion) {
  Bgra source(64, 32, 5);
  ScreenPixelConverter converter(64, 32);
  const auto before = converter.convert(source.view());
  source.scribble({40, 10, 8, 8}, 6);
  ScreenDamage elsewhere(64, 32);
  elsewhere.add({0, 0, 2, 2});
  const auto& partial = converter.convert(source.view(), elsewhere);
  EXPECT_EQ(partial.y[static_cast<std::size_t>(12 * 64 + 42)],
            before.y[static_cast<std::size_t>(12 * 64 + 42)])
      << "a part not named is not converted";
  ScreenDamage whole(64, 32);
  whole.addWhole();
  ScreenPixelConverter reference(64, 32);
  expectSamePicture(converter.convert(source.view(), whole), reference.convert(source.view()), "whole");
}

TEST(ScreenPixelConverter, TheFirstPictureAndANewSourceSizeAreConvertedWhole) {
  Bgra source(64, 32, 7);
  ScreenDamage small(64, 32);
  small.add({0, 0, 2, 2});
  ScreenPixelConverter fresh(32, 16);
  ScreenPixelConverter reference(32, 16);
  expectSamePicture(fresh.convert(source.view(), small), reference.convert(source.view()), "first picture");
  Bgra larger(128, 64, 8);
  ScreenDamage largerSmall(128, 64);
  largerSmall.add({0, 0, 2, 2});
  expectSamePicture(fresh.convert(larger.view(), largerSmall), reference.convert(larger.view()), "new size");
}

}  // namespace
}  // namespace vantrel
