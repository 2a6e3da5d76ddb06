#pragma once

// When the capture thread takes a picture and which pictures become keyframes: pure
// bookkeeping (over a monotonic time given by the caller, for the pacing), so that both can be
// tested without a display or a clock.

#include <chrono>
#include <cstdint>

namespace vantrel {

// Delivers a picture when the screen changed, at most `framesPerSecond` times a second, and
// refreshes a still screen: `refreshInterval` after the last picture, then at doubling intervals
// up to eight times that while nothing changes (each refresh lets the encoder refine a still
// picture, and a long-still screen costs next to nothing). A change starts over.
class ScreenFramePacer {
 public:
  using Time = std::chrono::nanoseconds;  // monotonic, arbitrary origin

  ScreenFramePacer(int framesPerSecond, Time refreshInterval);

  Time frameInterval() const noexcept { return frameInterval_; }

  // The screen (or the cursor drawn into it) changed, or a keyframe was asked for.
  void noteChange() noexcept { changePending_ = true; }
  bool changePending() const noexcept { return changePending_; }

  // True when a picture is due at `now`: the first one, a pending change once the frame interval
  // has passed since the last picture, or the current refresh interval has passed.
  bool isDue(Time now) const noexcept;

  // The earliest time at which `isDue` can become true without a new change.
  Time nextDueTime() const noexcept;

  // A picture was taken at `now` (it covers every change noted before).
  void didCapture(Time now) noexcept;

 private:
  Time frameInterval_;
  Time refreshInterval_;
  Time currentRefresh_;
  bool hasCaptured_ = false;
  bool changePending_ = false;
  Time lastCapture_{0};
};

// Keyframe placement, counted in pictures only: the first picture, a requested one, and
// otherwise no more than `keyframeInterval` pictures apart (a keyframe after keyframeInterval - 1
// others). A still screen refreshed once a second therefore gets a keyframe only every
// keyframeInterval refreshes; a viewer that needs one sooner asks for it.
class KeyframePolicy {
 public:
  explicit KeyframePolicy(int keyframeInterval);

  void request() noexcept { requested_ = true; }
  bool isRequested() const noexcept { return requested_; }

  // Whether the next picture must be a keyframe.
  bool nextIsKeyframe() const noexcept;

  // A picture was encoded; `wasKeyframe` is what the encoder produced.
  void didEncode(bool wasKeyframe) noexcept;

 private:
  std::int64_t interval_;
  bool requested_ = false;
  bool hasKeyframe_ = false;
  std::int64_t picturesSinceKeyframe_ = 0;
};

}  // namespace vantrel
