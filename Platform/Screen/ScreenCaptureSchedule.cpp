#include "Platform/Screen/ScreenCaptureSchedule.hpp"

#include <algorithm>

namespace vantrel {

namespace {
std::chrono::nanoseconds periodOf(int framesPerSecond) {
  const auto fps = std::max(1, framesPerSecond);
  return std::chrono::nanoseconds(std::chrono::seconds(1)) / fps;
}
}  // namespace

ScreenFramePacer::ScreenFramePacer(int framesPerSecond, Time refreshInterval)
    : frameInterval_(periodOf(framesPerSecond)),
      refreshInterval_(std::max(refreshInterval, periodOf(framesPerSecond))),
      currentRefresh_(refreshInterval_) {}

bool ScreenFramePacer::isDue(Time now) const noexcept {
  if (!hasCaptured_) return true;
  const auto elapsed = now - lastCapture_;
  if ((changePending_ || pictureRequested_) && elapsed >= frameInterval_) return true;
  return elapsed >= currentRefresh_;
}

ScreenFramePacer::Time ScreenFramePacer::nextDueTime() const noexcept {
  if (!hasCaptured_) return Time{0};
  return lastCapture_ + (changePending_ || pictureRequested_ ? frameInterval_ : currentRefresh_);
}

void ScreenFramePacer::didCapture(Time now) noexcept {
  constexpr int longestRefreshFactor = 8;
  currentRefresh_ = changePending_ || pictureRequested_ || !hasCaptured_
                        ? refreshInterval_
                        : std::min(currentRefresh_ * 2, refreshInterval_ * longestRefreshFactor);
  hasCaptured_ = true;
  changePending_ = false;
  pictureRequested_ = false;
  lastCapture_ = now;
}

KeyframePolicy::KeyframePolicy(int keyframeInterval) : interval_(std::max(1, keyframeInterval)) {}

PicturePlan KeyframePolicy::plan(bool carriesChange) const noexcept {
  PicturePlan plan;
  plan.keyframe = !hasKeyframe_ || requested_ || (carriesChange && changesSinceKeyframe_ + 1 >= interval_);
  plan.readsWhole = plan.keyframe || picturesSinceWholeRead_ + 1 >= interval_;
  if (plan.keyframe && hasKeyframe_ && !carriesChange) plan.keyframeQp = stillQp_;
  return plan;
}

void KeyframePolicy::didEncode(bool carriedChange, bool wasKeyframe, bool readWhole, int qp) noexcept {
  if (wasKeyframe) {
    hasKeyframe_ = true;
    requested_ = false;
    changesSinceKeyframe_ = 0;
  } else if (carriedChange) {
    ++changesSinceKeyframe_;
  }
  picturesSinceWholeRead_ = readWhole ? 0 : picturesSinceWholeRead_ + 1;
  if (qp > 0 && (wasKeyframe || carriedChange || stillQp_ == 0)) {
    stillQp_ = qp;
  } else if (qp > 0) {
    stillQp_ = std::min(stillQp_, qp);
  }
}

}  // namespace vantrel
