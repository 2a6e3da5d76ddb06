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
      refreshInterval_(std::max(refreshInterval, periodOf(framesPerSecond))),
      currentRefresh_(refreshInterval_) {}

bool ScreenFramePacer::isDue(Time now) const noexcept {
  if (!hasCaptured_) return true;
  const auto elapsed = now - lastCapture_;
  if (changePending_ && elapsed >= frameInterval_) return true;
  return elapsed >= currentRefresh_;
}

ScreenFramePacer::Time ScreenFramePacer::nextDueTime() const noexcept {
  if (!hasCaptured_) return Time{0};
  return lastCapture_ + (changePending_ ? frameInterval_ : currentRefresh_);
}

void ScreenFramePacer::didCapture(Time now) noexcept {
  constexpr int longestRefreshFactor = 8;
  currentRefresh_ = changePending_ || !hasCaptured_
                        ? refreshInterval_
                        : std::min(currentRefresh_ * 2, refreshInterval_ * longestRefreshFactor);
  hasCaptured_ = true;
  changePending_ = false;
  lastCapture_ = now;
}

KeyframePolicy::KeyframePolicy(int keyframeInterval) : interval_(std::max(1, keyframeInterval)) {}

bool KeyframePolicy::nextIsKeyframe() const noexcept {
  return !hasKeyframe_ || requested_ || picturesSinceKeyframe_ + 1 >= interval_;
}

void KeyframePolicy::didEncode(bool wasKeyframe) noexcept {
  if (wasKeyframe) {
    hasKeyframe_ = true;
    requested_ = false;
    picturesSinceKeyframe_ = 0;
  } else {
    ++picturesSinceKeyframe_;
  }
}

}  // namespace vantrel
