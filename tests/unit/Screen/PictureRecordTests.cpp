#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Platform/Ports/ScreenDamage.hpp"
#include "Platform/Screen/ScreenPixelConverter.hpp"

namespace vantrel {
namespace {

// A 34x22 picture (odd chroma width 17) with every sample different from its neighbours.
I420Picture pattern() {
  I420Picture p;
  p.width = 34;
  p.height = 22;
  p.y.resize(34 * 22);
  p.u.resize(17 * 11);
  p.v.resize(17 * 11);
  for (std::size_t i = 0; i < p.y.size(); ++i) p.y[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t i = 0; i < p.u.size(); ++i) {
    p.u[i] = static_cast<std::uint8_t>(i * 3);
    p.v[i] = static_cast<std::uint8_t>(i * 5 + 1);
  }
  return p;
}

ScreenDamage partsOf(std::vector<ScreenRect> rects, bool whole = false) {
  ScreenDamage parts(34, 22);
  for (const auto& r : rects) parts.add(r);
  if (whole) parts.addWhole();
  return parts;
}

TEST(PictureRecord, AChangeIsSeenInsideThePartsLookedAtInEveryPlane) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> I420Picture::*plane;
    std::size_t sample;  // changed sample of that plane
    ScreenDamage parts;
    bool matches;
  };
  const std::vector<Case> cases{
      {"luma inside", &I420Picture::y, 5 * 34 + 9, partsOf({{8, 4, 4, 4}}), false},
      {"luma outside", &I420Picture::y, 5 * 34 + 9, partsOf({{12, 4, 4, 4}}), true},
      {"luma in the last column", &I420Picture::y, 21 * 34 + 33, partsOf({{32, 20, 2, 2}}), false},
      {"chroma under the part", &I420Picture::u, 2 * 17 + 4, partsOf({{8, 4, 2, 2}}), false},
      {"chroma beside the part", &I420Picture::v, 2 * 17 + 5, partsOf({{8, 4, 2, 2}}), true},
      {"chroma of the odd last column", &I420Picture::v, 10 * 17 + 16, partsOf({{32, 20, 2, 2}}), false},
      {"anywhere, the whole picture", &I420Picture::u, 0, partsOf({}, true), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PictureRecord record;
    const auto before = pattern();
    record.record(before, nullptr);
    EXPECT_TRUE(record.matches(before, &c.parts));
    auto after = before;
    (after.*c.plane)[c.sample] ^= 0x40;
    EXPECT_EQ(record.matches(after, &c.parts), c.matches);
    EXPECT_FALSE(record.matches(after, nullptr)) << "looked at everywhere";
  }
}

TEST(PictureRecord, RecordsOnlyThePartsGivenAndNothingOfAnotherSize) {
  PictureRecord record;
  const auto first = pattern();
  EXPECT_FALSE(record.matches(first, nullptr)) << "nothing recorded yet";
  record.record(first, nullptr);
  auto second = first;
  second.y[3 * 34 + 3] ^= 1;    // inside the recorded part
  second.y[15 * 34 + 30] ^= 1;  // outside it
  const auto part = partsOf({{2, 2, 4, 4}});
  record.record(second, &part);
  EXPECT_TRUE(record.matches(second, &part));
  EXPECT_FALSE(record.matches(second, nullptr)) << "the change outside the part was not recorded";
  I420Picture smaller = first;
  smaller.width = 32;
  EXPECT_FALSE(record.matches(smaller, nullptr));
}

// A record forgotten during motion matches nothing, and the next record copies the whole picture
// again, whatever parts it is given: the parts only say what changed since the last picture.
TEST(PictureRecord, AfterForgettingTheNextRecordCopiesEverything) {
  PictureRecord record;
  const auto first = pattern();
  record.record(first, nullptr);
  record.forget();
  EXPECT_FALSE(record.isKept());
  EXPECT_FALSE(record.matches(first, nullptr)) << "nothing is kept";
  auto moved = first;
  for (auto& sample : moved.y) sample ^= 0x10;  // changed everywhere while nothing was kept
  const auto part = partsOf({{2, 2, 4, 4}});
  record.record(moved, &part);
  EXPECT_TRUE(record.isKept());
  EXPECT_TRUE(record.matches(moved, nullptr)) << "copied whole, not only the part";
}

TEST(PictureRecord, AQuarterOfThePictureOrMoreCoversMuch) {
  EXPECT_TRUE(coversMuch(nullptr, 34, 22));
  const auto whole = partsOf({}, true);
  EXPECT_TRUE(coversMuch(&whole, 34, 22));
  const auto small = partsOf({{0, 0, 8, 8}});  // 64 of 748 samples
  EXPECT_FALSE(coversMuch(&small, 34, 22));
  const auto large = partsOf({{0, 0, 18, 12}});  // 216 of 748: more than a quarter
  EXPECT_TRUE(coversMuch(&large, 34, 22));
}

}  // namespace
}  // namespace vantrel
