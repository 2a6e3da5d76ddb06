#pragma once

// The screen stream's own thread: it waits for screen changes, captures the main display,
// converts and scales the picture, encodes it with libx264 and hands every access unit to a
// callback, all on that one thread. It never waits on its consumer: while the consumer still
// holds the previous picture's ticket, the loop takes no picture (it keeps gathering the changes,
// which go into the next picture once the ticket is given back).
//
// The name is historical: the display is read through openDisplayCaptureSource(), which gives the
// X server's capture or, on a GNOME Wayland session, the compositor's screen cast.

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Ports/CursorImage.hpp"
#include "Platform/Ports/DisplayCaptureSource.hpp"
#include "Platform/Screen/X264Encoder.hpp"
#include "Support/HandOffCredit.hpp"

namespace vantrel {

struct H264CaptureSettings {
  std::optional<std::string> displayName;  // DISPLAY when none (X11 only)
  int targetWidth = 0;
  int targetHeight = 0;
  bool showsCursor = true;
  int framesPerSecond = 30;
  int averageBitrate = 8'000'000;
  int keyframeInterval = 60;
  // A still screen is captured again after this long.
  std::chrono::nanoseconds refreshInterval = std::chrono::seconds(1);
};

// What one picture cost; steady-clock times.
struct CaptureTiming {
  std::chrono::steady_clock::time_point captureStarted;
  std::chrono::steady_clock::time_point encoded;
};

struct H264CaptureCallbacks {
  // Each access unit, in encoding order, on the loop thread. Must not block. The next picture is
  // taken only once the ticket is given back (it goes when its last copy goes): a consumer that
  // lets it go at once gets every picture the pacing allows, one that keeps it until the picture
  // has been sent gets no picture that would have to wait behind it.
  std::function<void(EncodedPicture, CaptureTiming, HandOffCredit::Ticket)> onPicture;
  // Called at most once, on the loop thread, when capture or encoding fails after the start
  // (an X11CaptureError, CompositorCaptureError or X264EncoderError, as a rule); the loop ends right after.
  // Not called for a stop.
  std::function<void(std::exception_ptr)> onFailure;
};

class H264CaptureLoop {
 public:
  // Starts the thread and returns once it captures and encodes; blocks the caller meanwhile.
  // Throws X11CaptureError, CompositorCaptureError or X264EncoderError when the display or the encoder cannot
  // be set up (no callback is called then).
  static std::unique_ptr<H264CaptureLoop> start(H264CaptureSettings settings, H264CaptureCallbacks callbacks);
  // Stops and joins the thread.
  ~H264CaptureLoop();
  H264CaptureLoop(const H264CaptureLoop&) = delete;
  H264CaptureLoop& operator=(const H264CaptureLoop&) = delete;

  // The next picture is a keyframe; it is taken as soon as the frame rate and the previous
  // picture's ticket allow. Any thread.
  void requestKeyframe();

  // Ends the thread and waits for it: once this returns no callback runs. Any thread except
  // the loop's own (a callback must not call it). Idempotent.
  void stop();

  // The captured area of the display.
  ScreenRect captureArea() const noexcept;
  bool usesSharedMemory() const noexcept;
  // False once the loop has ended by a failure (or a stop).
  bool isRunning() const noexcept;

  struct State;

 private:
  explicit H264CaptureLoop(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace vantrel
