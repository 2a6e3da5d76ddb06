#include <gtest/gtest.h>

#include "Platform/ScreenCaptureSchedule.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::nanoseconds;

TEST(ScreenFramePacer, FirstPictureIsDueAtOnce) {
  ScreenFramePacer pacer(30, 1s);
  EXPECT_TRUE(pacer.isDue(Time{0}));
  EXPECT_TRUE(pacer.isDue(Time{123}));
}

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

TEST(ScreenFramePacer, StillScreenIsRefreshedAfterTheRefreshInterval) {
  ScreenFramePacer pacer(30, 1s);
  pacer.didCapture(10s);
  EXPECT_FALSE(pacer.isDue(10s + 999ms));
  EXPECT_TRUE(pacer.isDue(11s));
  EXPECT_EQ(pacer.nextDueTime(), 11s);
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

// Feeds the policy pictures 1/30 s apart and records which became keyframes.
std::vector<int> keyframeIndices(KeyframePolicy& policy, int pictures, Time step,
                                 std::vector<int> requests = {}) {
  std::vector<int> keys;
  Time now{1s};
  for (int i = 0; i < pictures; ++i) {
    if (std::find(requests.begin(), requests.end(), i) != requests.end()) policy.request();
    const bool key = policy.nextIsKeyframe(now);
    policy.didEncode(key, now);
    if (key) keys.push_back(i);
    now += step;
  }
  return keys;
}

TEST(KeyframePolicy, KeyframesAreAtMostTheIntervalApart) {
  KeyframePolicy policy(60, 30);
  EXPECT_EQ(keyframeIndices(policy, 181, 33'333'333ns), (std::vector<int>{0, 60, 120, 180}));
}

TEST(KeyframePolicy, RequestMakesTheNextPictureAKeyframeAndRestartsTheCount) {
  KeyframePolicy policy(60, 30);
  EXPECT_EQ(keyframeIndices(policy, 100, 33'333'333ns, {10, 11, 50}), (std::vector<int>{0, 10, 11, 50}));
}

TEST(KeyframePolicy, IntervalOfOneMakesEveryPictureAKeyframe) {
  KeyframePolicy policy(1, 30);
  EXPECT_EQ(keyframeIndices(policy, 4, 33ms), (std::vector<int>{0, 1, 2, 3}));
  KeyframePolicy clamped(0, 30);
  EXPECT_EQ(keyframeIndices(clamped, 3, 33ms), (std::vector<int>{0, 1, 2}));
}

TEST(KeyframePolicy, SlowPicturesGetAKeyframeOnceTheIntervalsTimeHasPassed) {
  KeyframePolicy policy(60, 30);
  EXPECT_EQ(policy.maximumKeyframeAge(), Time{60 * 33'333'333ns});
  // One picture a second (a still screen being refreshed): a keyframe every second picture.
  EXPECT_EQ(keyframeIndices(policy, 7, 1s), (std::vector<int>{0, 2, 4, 6}));
}

TEST(KeyframePolicy, EncoderKeyframeOnItsOwnAlsoRestartsTheCount) {
  KeyframePolicy policy(5, 30);
  Time now{0};
  policy.didEncode(true, now);
  policy.didEncode(false, now);
  policy.didEncode(true, now);  // the encoder decided on a keyframe by itself
  policy.didEncode(false, now);
  policy.didEncode(false, now);
  policy.didEncode(false, now);
  EXPECT_FALSE(policy.nextIsKeyframe(now));
  policy.didEncode(false, now);
  EXPECT_TRUE(policy.nextIsKeyframe(now));
}

}  // namespace
}  // namespace vantrel
