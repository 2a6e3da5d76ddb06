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
// picture, and a long-still screen costs next to nothing). A change, or a picture asked for,
// starts over.
class ScreenFramePacer {
 public:
  using Time = std::chrono::nanoseconds;  // monotonic, arbitrary origin

  ScreenFramePacer(int framesPerSecond, Time refreshInterval);

  Time frameInterval() const noexcept { return frameInterval_; }

  // The screen (or the cursor drawn into it) changed.
  void noteChange() noexcept { changePending_ = true; }
  bool changePending() const noexcept { return changePending_; }
  // The change noted since the last picture turned out to change nothing: no picture is due for
  // it, and the refreshes go on as if it had not been noted.
  void dropChange() noexcept { changePending_ = false; }

  // A picture is wanted as soon as the frame rate allows although nothing changed (a keyframe
  // was asked for); the refreshes after it start over from `refreshInterval`.
  void requestPicture() noexcept { pictureRequested_ = true; }

  // True when a picture is due at `now`: the first one, a pending change or a requested picture
  // once the frame interval has passed since the last picture, or the current refresh interval
  // has passed.
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
  bool pictureRequested_ = false;
  Time lastCapture_{0};
};

// What the next picture is to be.
struct PicturePlan {
  bool keyframe = false;
  // The whole screen is read and converted again, rather than only what was reported changed.
  bool readsWhole = false;
  // The quantiser (QP) a keyframe is to be coded at; 0 leaves it to the rate control.
  int keyframeQp = 0;
};

// Which pictures are keyframes and which read the whole screen again, counted in pictures.
//
// Keyframes: the first picture, a requested one, and otherwise no more than `keyframeInterval`
// pictures that carry a change apart (a keyframe on the keyframeInterval-th changed picture
// after the previous one). A refresh of a still screen is not counted and never becomes a
// keyframe by the count: the viewer already holds that picture, and a keyframe in its place
// comes out at the rate control's keyframe quantiser, far coarser than the refined picture it
// replaces. A keyframe asked for on a still screen is coded at the quantiser of the still
// picture instead.
//
// Whole reads: every keyframe, and any picture (refreshes included) once keyframeInterval - 1
// pictures went by without one, so that whatever the damage reports missed is put right in
// bounded time. Such a picture is coded like any other (a refresh stays a predicted picture).
class KeyframePolicy {
 public:
  explicit KeyframePolicy(int keyframeInterval);

  void request() noexcept { requested_ = true; }
  bool isRequested() const noexcept { return requested_; }

  // The next picture; `carriesChange` is false for a picture of a screen that did not change
  // since the previous one (a refresh, or a picture taken only because a keyframe was asked for).
  PicturePlan plan(bool carriesChange) const noexcept;

  // A picture was encoded: whether it carried a change, whether the encoder made it a keyframe,
  // whether it read the whole screen and the quantiser it came out at (0 when unknown).
  void didEncode(bool carriedChange, bool wasKeyframe, bool readWhole, int qp) noexcept;

 private:
  std::int64_t interval_;
  bool requested_ = false;
  bool hasKeyframe_ = false;
  std::int64_t changesSinceKeyframe_ = 0;
  std::int64_t picturesSinceWholeRead_ = 0;
  // The finest quantiser since the last keyframe or change: a still screen's refreshes only
  // ever refine the picture the viewer has, so this is the quality it shows.
  int stillQp_ = 0;
};

}  // namespace vantrel
