#pragma once

// When the capture thread takes a picture and which pictures become keyframes. Both are pure
// bookkeeping over a monotonic time given by the caller, so that they can be tested without a
// display or a clock.

#include <chrono>
#include <cstdint>

namespace vantrel {

// Delivers a picture when the screen changed, at most `framesPerSecond` times a second, and at
// least once per `refreshInterval` even when nothing changed (a still screen keeps producing
// pictures, so its keyframes keep coming).
class ScreenFramePacer {
 public:
  using Time = std::chrono::nanoseconds;  // monotonic, arbitrary origin

  ScreenFramePacer(int framesPerSecond, Time refreshInterval);

  Time frameInterval() const noexcept { return frameInterval_; }

  // The screen (or the cursor drawn into it) changed, or a keyframe was asked for.
  void noteChange() noexcept { changePending_ = true; }
  bool changePending() const noexcept { return changePending_; }

  // True when a picture is due at `now`: the first one, a pending change once the frame interval
  // has passed since the last picture, or the refresh interval has passed.
  bool isDue(Time now) const noexcept;

  // The earliest time at which `isDue` can become true without a new change.
  Time nextDueTime() const noexcept;

  // A picture was taken at `now` (it covers every change noted before).
  void didCapture(Time now) noexcept;

 private:
  Time frameInterval_;
  Time refreshInterval_;
  bool hasCaptured_ = false;
  bool changePending_ = false;
  Time lastCapture_{0};
};

// Keyframe placement: the first picture, a requested one, and otherwise no more than
// `keyframeInterval` pictures apart (a keyframe after keyframeInterval - 1 others). A keyframe is
// also due once the keyframe interval's worth of time at `framesPerSecond` has passed, so that a
// slowly changing screen is not left without one for long.
class KeyframePolicy {
 public:
  using Time = std::chrono::nanoseconds;

  KeyframePolicy(int keyframeInterval, int framesPerSecond);

  void request() noexcept { requested_ = true; }
  bool isRequested() const noexcept { return requested_; }

  // Whether the picture encoded at `now` must be a keyframe.
  bool nextIsKeyframe(Time now) const noexcept;

  // A picture was encoded at `now`; `wasKeyframe` is what the encoder produced.
  void didEncode(bool wasKeyframe, Time now) noexcept;

  Time maximumKeyframeAge() const noexcept { return maximumAge_; }

 private:
  std::int64_t interval_;
  Time maximumAge_;
  bool requested_ = false;
  bool hasKeyframe_ = false;
  std::int64_t picturesSinceKeyframe_ = 0;
  Time lastKeyframe_{0};
};

}  // namespace vantrel
