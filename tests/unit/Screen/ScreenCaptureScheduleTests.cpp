#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Platform/Screen/ScreenCaptureSchedule.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::nanoseconds;

TEST(ScreenFramePacer, ChangesAreDeliveredAtMostAtTheFrameRate) {
  ScreenFramePacer pacer(30, 1s);
  const Time start = 5s;
  pacer.didCapture(start);
  EXPECT_EQ(pacer.frameInterval(), Time{33'333'333});
  pacer.noteChange();
  EXPECT_FALSE(pacer.isDue(start + 33'333'332ns));
  EXPECT_TRUE(pacer.isDue(start + 33'333'333ns));
  EXPECT_EQ(pacer.nextDueTime(), start + 33'333'333ns);
  pacer.didCapture(start + 40ms);
  EXPECT_FALSE(pacer.changePending());
  EXPECT_FALSE(pacer.isDue(start + 80ms)) << "no change since the last picture";
}

TEST(ScreenFramePacer, StillScreenIsRefreshedAtDoublingIntervalsUntilItChanges) {
  ScreenFramePacer pacer(30, 1s);
  pacer.didCapture(10s);
  EXPECT_FALSE(pacer.isDue(10s + 999ms));
  EXPECT_TRUE(pacer.isDue(11s));
  // Refreshes 1, 2, 4, 8, 8 seconds apart while nothing changes.
  std::vector<Time> refreshes;
  for (int i = 0; i < 5; ++i) {
    refreshes.push_back(pacer.nextDueTime());
    EXPECT_FALSE(pacer.isDue(pacer.nextDueTime() - 1ns));
    pacer.didCapture(pacer.nextDueTime());
  }
  EXPECT_EQ(refreshes, (std::vector<Time>{11s, 13s, 17s, 25s, 33s}));
  // A change starts over.
  pacer.noteChange();
  pacer.didCapture(50s);
  EXPECT_EQ(pacer.nextDueTime(), 51s);
}

TEST(ScreenFramePacer, RefreshIsNeverFasterThanTheFrameRateAndRateIsAtLeastOne) {
  ScreenFramePacer fast(10, 1ms);
  fast.didCapture(Time{0});
  EXPECT_FALSE(fast.isDue(50ms));
  EXPECT_TRUE(fast.isDue(100ms));
  ScreenFramePacer zero(0, 5s);
  EXPECT_EQ(zero.frameInterval(), Time{1s});
  ScreenFramePacer negative(-4, 5s);
  EXPECT_EQ(negative.frameInterval(), Time{1s});
}

TEST(ScreenFramePacer, ARequestedPictureComesAtTheFrameRateAndRestartsTheRefreshes) {
  ScreenFramePacer pacer(30, 1s);
  pacer.didCapture(10s);
  pacer.didCapture(11s);
  pacer.didCapture(13s);
  EXPECT_EQ(pacer.nextDueTime(), 17s) << "refreshes 1, 2, then 4 seconds apart";
  pacer.requestPicture();
  EXPECT_FALSE(pacer.changePending()) << "a picture asked for is no change";
  EXPECT_FALSE(pacer.isDue(13s + 33'333'332ns));
  EXPECT_TRUE(pacer.isDue(13s + 33'333'333ns));
  EXPECT_EQ(pacer.nextDueTime(), 13s + 33'333'333ns);
  pacer.didCapture(13s + 40ms);
  // The refreshes start over: 1, 2, 4 seconds after the requested picture.
  std::vector<Time> refreshes;
  for (int i = 0; i < 3; ++i) {
    refreshes.push_back(pacer.nextDueTime());
    pacer.didCapture(pacer.nextDueTime());
  }
  EXPECT_EQ(refreshes, (std::vector<Time>{14s + 40ms, 16s + 40ms, 20s + 40ms}));
}

TEST(ScreenFramePacer, AChangeThatChangedNothingLeavesTheRefreshesAsTheyWere) {
  ScreenFramePacer pacer(30, 1s);
  pacer.didCapture(10s);
  pacer.didCapture(11s);
  pacer.noteChange();
  EXPECT_EQ(pacer.nextDueTime(), 11s + 33'333'333ns);
  pacer.dropChange();
  EXPECT_FALSE(pacer.changePending());
  EXPECT_FALSE(pacer.isDue(12s));
  EXPECT_EQ(pacer.nextDueTime(), 13s) << "the refresh 2 s after the last, as without the change";
  pacer.didCapture(13s);
  EXPECT_EQ(pacer.nextDueTime(), 17s);
}

// One picture of a hand-written sequence: whether it carries a change, whether a keyframe is
// asked for before it, and the quantiser the encoder reports for it.
struct Step {
  bool change;
  bool request = false;
  int qp = 30;
};

// What the policy plans for each step; every planned keyframe is encoded as one.
std::vector<PicturePlan> plans(int interval, const std::vector<Step>& steps) {
  KeyframePolicy policy(interval);
  std::vector<PicturePlan> result;
  for (const auto& step : steps) {
    if (step.request) policy.request();
    const auto plan = policy.plan(step.change);
    policy.didEncode(step.change, plan.keyframe, plan.readsWhole, step.qp);
    result.push_back(plan);
  }
  return result;
}

std::vector<Step> changes(int count) {
  return std::vector<Step>(static_cast<std::size_t>(count), Step{true});
}
std::vector<Step> refreshes(int count) {
  return std::vector<Step>(static_cast<std::size_t>(count), Step{false});
}
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<int> indicesWhere(const std::vector<PicturePlan>& plans, bool PicturePlan::*field) {
  std::vector<int> indices;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].*field) indices.push_back(static_cast<int>(i));
  }
  return indices;
}

TEST(KeyframePolicy, AMovingScreenGetsAKeyframeEveryIntervalPictures) {
  struct Case {
    int interval;
    int pictures;
    std::vector<int> keys;
  };
  const std::vector<Case> cases{
      {60, 181, {0, 60, 120, 180}},
      {1, 4, {0, 1, 2, 3}},
      {0, 3, {0, 1, 2}},  // taken as 1
      {-5, 2, {0, 1}},
  };
  for (const auto& c : cases) {
    const auto planned = plans(c.interval, changes(c.pictures));
    EXPECT_EQ(indicesWhere(planned, &PicturePlan::keyframe), c.keys) << c.interval;
    // Keyframes read the whole screen, and so often that no other picture needs to.
    EXPECT_EQ(indicesWhere(planned, &PicturePlan::readsWhole), c.keys) << c.interval;
    for (const auto& plan : planned)
      EXPECT_EQ(plan.keyframeQp, 0) << "the rate control codes a moving screen";
  }
}

// k changed pictures (the first a keyframe), then a still screen refreshed N times: however
// near the count was to the interval, no refresh becomes a keyframe; the keyframe that fell due
// waits for the next change.
TEST(KeyframePolicy, AStillScreenIsNeverRefreshedWithAKeyframe) {
  struct Case {
    int changedBefore;
    int stillRefreshes;
    int changedAfter;
    std::vector<int> keys;
  };
  const std::vector<Case> cases{
      {1, 200, 2, {0}},
      {51, 9, 10, {0, 69}},          // 50 changes counted: the 10th change after the still phase
      {52, 13, 10, {0, 73}},         // 51 counted: the 9th change after it
      {59, 13, 3, {0, 73}},          // 58 counted: the 2nd change after it
      {60, 13, 3, {0, 73}},          // 59 counted: the first change after it
      {61, 130, 3, {0, 60}},         // the keyframe fell on the 61st change; none falls due later
      {60, 500, 61, {0, 560, 620}},  // ~65 minutes still, then a moving screen again
  };
  for (const auto& c : cases) {
    const auto planned =
        plans(60, changes(c.changedBefore) + refreshes(c.stillRefreshes) + changes(c.changedAfter));
    EXPECT_EQ(indicesWhere(planned, &PicturePlan::keyframe), c.keys)
        << c.changedBefore << " changed, " << c.stillRefreshes << " refreshes";
  }
}
// The whole screen is read again at the latest every interval pictures, refreshes counted: on a
// still screen that picture is an ordinary (predicted) one.
TEST(KeyframePolicy, TheWholeScreenIsReadAgainNowAndThenWithoutAKeyframe) {
  struct Case {
    std::vector<Step> steps;
    std::vector<int> keys;
    std::vector<int> wholeReads;
  };
  const std::vector<Case> cases{
      {changes(10) + refreshes(130), {0}, {0, 60, 120}},
      // The re-read falls on a change that is not yet due for a keyframe; the keyframe right after
      // it reads the screen whole again.
      {changes(59) + refreshes(1) + changes(3), {0, 61}, {0, 60, 61}},
      {changes(2) + refreshes(3), {0}, {0}},
  };
  for (const auto& c : cases) {
    const auto planned = plans(60, c.steps);
    EXPECT_EQ(indicesWhere(planned, &PicturePlan::keyframe), c.keys);
    EXPECT_EQ(indicesWhere(planned, &PicturePlan::readsWhole), c.wholeReads);
  }
}

// A keyframe asked for on a still screen is coded at the finest quantiser the still picture
// reached since its last change (or keyframe); elsewhere the rate control picks it.
TEST(KeyframePolicy, AKeyframeAskedForOnAStillScreenKeepsTheStillPictureQuantiser) {
  const std::vector<Step> steps{
      {true, true, 40},    // 0: the first picture, asked for or not: rate control
      {true, false, 31},   // 1
      {false, false, 28},  // 2: refreshes refine
      {false, false, 26},  // 3
      {false, false, 27},  // 4: a coarser refresh leaves the finer picture in place
      {false, true, 29},   // 5: asked for: at 26; the VBV made it 29
      {false, false, 28},  // 6
      {false, true, 30},   // 7: asked for again: at 28 (the keyframe started the count over)
      {true, true, 33},    // 8: asked for while the screen changes: rate control
      {false, false, 35},  // 9
      {false, true, 30},   // 10: at 33, the changed picture's
  };
  const auto planned = plans(60, steps);
  std::vector<int> keyframeQps;
  keyframeQps.reserve(planned.size());
  for (const auto& plan : planned) keyframeQps.push_back(plan.keyframe ? plan.keyframeQp : -1);
  EXPECT_EQ(keyframeQps, (std::vector<int>{0, -1, -1, -1, -1, 26, -1, 28, 0, -1, 33}));
  EXPECT_EQ(indicesWhere(planned, &PicturePlan::readsWhole), (std::vector<int>{0, 5, 7, 8, 10}));
}

TEST(KeyframePolicy, AKeyframeTheEncoderMadeOnItsOwnAlsoRestartsTheCount) {
  KeyframePolicy policy(5);
  for (const bool key : {true, false, true, false, false, false}) policy.didEncode(true, key, key, 30);
  EXPECT_FALSE(policy.plan(true).keyframe);
  policy.didEncode(true, false, false, 30);
  EXPECT_FALSE(policy.plan(false).keyframe) << "a refresh is not counted";
  EXPECT_TRUE(policy.plan(true).keyframe);
  EXPECT_FALSE(policy.isRequested());
  policy.request();
  EXPECT_TRUE(policy.plan(false).keyframe);
  policy.didEncode(false, true, true, 30);
  EXPECT_FALSE(policy.isRequested()) << "the keyframe answered the request";
}

}  // namespace
}  // namespace vantrel
