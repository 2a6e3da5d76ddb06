#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "Platform/ScreenSharpening.hpp"

namespace vantrel {
namespace {

using Cell = std::pair<int, int>;  // column, row

// 64 x 48 pixels: 4 x 3 macroblocks.
constexpr int width = 64, height = 48;
constexpr int target = StillSharpening::defaultTargetQp;

std::set<Cell> coarseCells(const StillSharpening& s) {
  std::set<Cell> cells;
  for (int row = 0; row < s.rows(); ++row)
    for (int column = 0; column < s.columns(); ++column)
      if (s.isCoarse(column, row)) cells.insert({column, row});
  return cells;
}

ScreenDamage damageOf(std::initializer_list<ScreenRect> rects) {
  ScreenDamage damage(width, height);
  for (const auto& rect : rects) damage.add(rect);
  return damage;
}

// Refines once with every macroblock at `error`, and returns the macroblocks asked about.
std::set<Cell> refineAll(StillSharpening& s, std::uint32_t error) {
  std::set<Cell> asked;
  s.noteRefined([&](int column, int row) {
    asked.insert({column, row});
    return error;
  });
  return asked;
}

TEST(StillSharpening, StartsWithNothingKnownAndTheWholePictureToRefine) {
  StillSharpening s(width, height, 10);
  EXPECT_EQ(s.columns(), 4);
  EXPECT_EQ(s.rows(), 3);
  EXPECT_EQ(s.coarseCount(), 12);
  EXPECT_TRUE(s.needsSharpening());
  EXPECT_EQ(s.leaveAloneMap(), std::vector<std::uint8_t>(12, 0));
  // A size that is not a multiple of 16 rounds up to whole macroblocks.
  StillSharpening odd(1921, 1080, 10);
  EXPECT_EQ(odd.columns(), 121);
  EXPECT_EQ(odd.rows(), 68);
}

TEST(StillSharpening, APictureCodedCoarselyIsRefinedAndAFineOneIsNot) {
  struct Case {
    int qp;
    bool coarse;
  };
  for (const auto& c :
       {Case{target + 1, true}, Case{target, false}, Case{target - 6, false}, Case{51, true}}) {
    StillSharpening s(width, height, 10);
    s.noteCoded(nullptr, c.qp);
    EXPECT_EQ(s.needsSharpening(), c.coarse) << "qp " << c.qp;
    EXPECT_EQ(s.coarseCount(), c.coarse ? 12 : 0) << "qp " << c.qp;
  }
}

TEST(StillSharpening, OnlyTheMacroblocksAChangeTouchedBecomeCoarse) {
  StillSharpening s(width, height, 10);
  s.noteCoded(nullptr, target);  // all fine
  // (20,0)-(30,10) lies in column 1, row 0; (30,18)-(36,34) spans columns 1-2, rows 1-2.
  auto damage = damageOf({{20, 0, 10, 10}});
  s.noteCoded(&damage, 30);
  EXPECT_EQ(coarseCells(s), (std::set<Cell>{{1, 0}}));
  damage = damageOf({{30, 18, 6, 16}});
  s.noteCoded(&damage, 35);
  EXPECT_EQ(coarseCells(s), (std::set<Cell>{{1, 0}, {1, 1}, {2, 1}, {1, 2}, {2, 2}}));
  const std::vector<std::uint8_t> expected{1, 0, 1, 1,  //
                                           1, 0, 0, 1,  //
                                           1, 0, 0, 1};
  EXPECT_EQ(s.leaveAloneMap(), expected);
  // A whole change marks every one.
  ScreenDamage whole(width, height);
  whole.addWhole();
  s.noteCoded(&whole, 30);
  EXPECT_EQ(s.coarseCount(), 12);
}

TEST(StillSharpening, AnAreaAlreadySharpIsNotSharpenedAgain) {
  StillSharpening s(width, height, 10);
  s.noteCoded(nullptr, 30);
  // Every macroblock comes out fine at the first refinement.
  EXPECT_EQ(refineAll(s, StillSharpening::fineMeanSquaredError).size(), 12u);
  EXPECT_FALSE(s.needsSharpening());
  EXPECT_EQ(s.leaveAloneMap(), std::vector<std::uint8_t>(12, 1));
  // A small change later: only its macroblock is refined, and only its error is looked at.
  auto damage = damageOf({{48, 32, 4, 4}});
  s.noteCoded(&damage, 33);
  EXPECT_TRUE(s.needsSharpening());
  EXPECT_EQ(refineAll(s, 1), (std::set<Cell>{{3, 2}}));
  EXPECT_FALSE(s.needsSharpening());
  EXPECT_TRUE(refineAll(s, 1).empty()) << "nothing left to look at";
}

TEST(StillSharpening, AMacroblockIsDoneWhenRefinementsNoLongerImproveIt) {
  // Each step: the error measured after a refinement, and whether the macroblock is still coarse.
  struct Step {
    std::uint32_t error;
    bool coarse;
  };
  const std::vector<std::vector<Step>> cases{
      // Small at once: done.
      {{StillSharpening::fineMeanSquaredError, false}},
      // Moderate, then twice no better by a tenth: what the quantiser gives, done.
      {{10, true}, {10, true}, {10, false}},
      {{12, true}, {11, true}, {12, false}},
      // Improving by more than a tenth: goes on; once stalled twice, done.
      {{40, true}, {20, true}, {12, true}, {12, true}, {12, false}},
      // Stalled once (a row the rate control's buffer held back), then improving: the count
      // starts over.
      {{12, true}, {12, true}, {8, true}, {8, true}, {8, false}},
      // Coarse and not improving (held back): tried again however often.
      {{60, true}, {60, true}, {60, true}, {30, true}, {9, true}, {9, true}, {9, false}},
      // Worse than before (cannot happen to a still picture, but must not be taken for done).
      {{20, true}, {25, true}, {25, true}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    StillSharpening s(16, 16, 100);
    s.noteCoded(nullptr, 40);
    for (std::size_t n = 0; n < cases[i].size(); ++n) {
      refineAll(s, cases[i][n].error);
      EXPECT_EQ(s.isCoarse(0, 0), cases[i][n].coarse) << "case " << i << " step " << n;
    }
  }
}

TEST(StillSharpening, AChangeSupersedesTheRefinementUnderWay) {
  StillSharpening s(width, height, 5);
  s.noteCoded(nullptr, 32);
  refineAll(s, 40);
  refineAll(s, 10);
  refineAll(s, 10);  // stalled once
  EXPECT_EQ(s.picturesSinceChange(), 3);
  EXPECT_EQ(s.coarseCount(), 12);
  // A change to one macroblock: the count of refining pictures starts over, and what was measured
  // of the changed macroblock before counts no more.
  auto damage = damageOf({{0, 0, 16, 16}});
  s.noteCoded(&damage, 32);
  EXPECT_EQ(s.picturesSinceChange(), 0);
  EXPECT_TRUE(s.needsSharpening());
  refineAll(s, 10);
  EXPECT_EQ(coarseCells(s), (std::set<Cell>{{0, 0}}))
      << "the others stalled at 10 twice and are done; the changed one was measured once since the change";
  EXPECT_EQ(s.picturesSinceChange(), 1);
  refineAll(s, 10);
  EXPECT_TRUE(s.needsSharpening()) << "stalled once since the change";
  refineAll(s, 10);
  EXPECT_FALSE(s.needsSharpening());
}

TEST(StillSharpening, RefinementStopsAfterTheBoundUntilTheNextChange) {
  StillSharpening s(width, height, 3);
  s.noteCoded(nullptr, 40);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(s.needsSharpening());
    refineAll(s, 100 - static_cast<std::uint32_t>(i) * 20);  // still improving, still coarse
  }
  EXPECT_EQ(s.coarseCount(), 12);
  EXPECT_FALSE(s.needsSharpening()) << "three refining pictures at most";
  auto damage = damageOf({{0, 0, 2, 2}});
  s.noteCoded(&damage, 40);
  EXPECT_TRUE(s.needsSharpening()) << "a change starts a new still period";
}

TEST(MacroblockLumaError, MeanSquaredErrorOfOneMacroblockClippedAtTheEdge) {
  I420Picture source;
  source.width = 20;
  source.height = 18;
  source.y.assign(20 * 18, 100);
  std::vector<std::uint8_t> decoded(32 * 32, 100);  // stride 32, larger than the picture
  // Macroblock (0,0): one pixel off by 16 -> 256 / 256 = 1.
  decoded[5 * 32 + 7] = 116;
  EXPECT_EQ(macroblockLumaError(source, decoded.data(), 32, 0, 0), 1u);
  // Macroblock (1,1) holds 4 x 2 pixels of the picture: two off by 3 -> 18 / 8 = 2.25 -> 2.
  decoded[16 * 32 + 16] = 103;
  decoded[17 * 32 + 19] = 97;
  EXPECT_EQ(macroblockLumaError(source, decoded.data(), 32, 1, 1), 2u);
  // Past the picture's edge only (and the padding beyond it) counts for nothing.
  decoded[20 * 32 + 25] = 0;
  EXPECT_EQ(macroblockLumaError(source, decoded.data(), 32, 1, 1), 2u);
  EXPECT_EQ(macroblockLumaError(source, decoded.data(), 32, 2, 0), 0u);
  // The largest error there is: 255 everywhere.
  std::vector<std::uint8_t> white(32 * 32, 255);
  source.y.assign(20 * 18, 0);
  EXPECT_EQ(macroblockLumaError(source, white.data(), 32, 0, 0), 65025u);
}

}  // namespace
}  // namespace vantrel
