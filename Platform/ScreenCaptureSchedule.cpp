#include "Platform/ScreenCaptureSchedule.hpp"

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
      refreshInterval_(std::max(refreshInterval, periodOf(framesPerSecond))) {}

bool ScreenFramePacer::isDue(Time now) const noexcept {
  if (!hasCaptured_) return true;
  const auto elapsed = now - lastCapture_;
  if (changePending_ && elapsed >= frameInterval_) return true;
  return elapsed >= refreshInterval_;
}

ScreenFramePacer::Time ScreenFramePacer::nextDueTime() const noexcept {
  if (!hasCaptured_) return Time{0};
  return lastCapture_ + (changePending_ ? frameInterval_ : refreshInterval_);
}

void ScreenFramePacer::didCapture(Time now) noexcept {
  hasCaptured_ = true;
  changePending_ = false;
  lastCapture_ = now;
}

KeyframePolicy::KeyframePolicy(int keyframeInterval, int framesPerSecond)
    : interval_(std::max(1, keyframeInterval)),
      maximumAge_(periodOf(framesPerSecond) * std::max(1, keyframeInterval)) {}

bool KeyframePolicy::nextIsKeyframe(Time now) const noexcept {
  if (!hasKeyframe_ || requested_) return true;
  if (picturesSinceKeyframe_ + 1 >= interval_) return true;
  return now - lastKeyframe_ >= maximumAge_;
}

void KeyframePolicy::didEncode(bool wasKeyframe, Time now) noexcept {
  if (wasKeyframe) {
    hasKeyframe_ = true;
    requested_ = false;
    picturesSinceKeyframe_ = 0;
    lastKeyframe_ = now;
  } else {
    ++picturesSinceKeyframe_;
  }
}

}  // namespace vantrel
