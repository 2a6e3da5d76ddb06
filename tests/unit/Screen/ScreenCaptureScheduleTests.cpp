#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Platform/ScreenCaptureSchedule.hpp"

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

// Indices of the keyframes among `pictures` encoded pictures, asking for one before each of
// `requests`.
std::vector<int> keyframeIndices(int interval, int pictures, const std::vector<int>& requests = {}) {
  KeyframePolicy policy(interval);
  std::vector<int> keys;
  for (int i = 0; i < pictures; ++i) {
    if (std::find(requests.begin(), requests.end(), i) != requests.end()) policy.request();
    const bool key = policy.nextIsKeyframe();
    policy.didEncode(key);
    if (key) keys.push_back(i);
  }
  return keys;
}

TEST(KeyframePolicy, KeyframesComeByPictureCountAndOnRequest) {
  struct Case {
    int interval;
    int pictures;
    std::vector<int> requests;
    std::vector<int> keys;
  };
  const std::vector<Case> cases{
      // However slowly the pictures come (a still screen refreshed once a second), only the count
      // places keyframes.
      {60, 181, {}, {0, 60, 120, 180}},
      {60, 100, {10, 11, 50}, {0, 10, 11, 50}},
      {1, 4, {}, {0, 1, 2, 3}},
      {0, 3, {}, {0, 1, 2}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(keyframeIndices(c.interval, c.pictures, c.requests), c.keys) << c.interval;
}

TEST(KeyframePolicy, EncoderKeyframeOnItsOwnAlsoRestartsTheCount) {
  KeyframePolicy policy(5);
  for (const bool key : {true, false, true, false, false, false}) policy.didEncode(key);
  EXPECT_FALSE(policy.nextIsKeyframe());
  policy.didEncode(false);
  EXPECT_TRUE(policy.nextIsKeyframe());
}

}  // namespace
}  // namespace vantrel
